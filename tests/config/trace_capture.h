#pragma once
// Sends the process-wide trace log to a scratch file for the life of the
// object and reads its messages back without their time and thread prefix.
#include <algorithm>
#include <string>
#include <vector>

#include "diag/trace_log.h"
#include "support/test_files.h"

namespace talverin::test {

class TraceCapture {
 public:
  explicit TraceCapture(unsigned level = 2)
      : oldPath_(TraceLog::Instance().Path()), oldLevel_(TraceLog::Instance().Level()) {
    TraceLog::Instance().SetPath(dir_.Sub("trace.log"));
    TraceLog::Instance().SetLevel(level);
  }
  ~TraceCapture() {
    TraceLog::Instance().SetPath(oldPath_);
    TraceLog::Instance().SetLevel(oldLevel_);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    const std::string text = ReadFileText(dir_.Sub("trace.log"));
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      const std::size_t tab = line.find('\t');
      messages.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
      start = end + 2;
    }
    return messages;
  }

  bool Has(const std::string& message) const {
    const std::vector<std::string> all = Messages();
    return std::find(all.begin(), all.end(), message) != all.end();
  }

 private:
  ScratchDir dir_;
  std::string oldPath_;
  unsigned oldLevel_;
};

}  // namespace talverin::test
