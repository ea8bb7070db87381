#pragma once
// Sends the process-wide trace log to a scratch file for the life of a test,
// so that tests can read back the messages the code under test wrote.
#include <windows.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "diag/trace_log.h"
#include "support/test_files.h"

namespace stubtest {

class LogCapture {
 public:
  LogCapture()
      : previousPath_(talverin::TraceLog::Instance().Path()), previousLevel_(talverin::TraceLog::Instance().Level()) {
    talverin::TraceLog::Instance().SetPath(dir_.Sub("trace.log"));
    talverin::TraceLog::Instance().SetLevel(0);
  }
  ~LogCapture() {
    talverin::TraceLog::Instance().SetPath(previousPath_);
    talverin::TraceLog::Instance().SetLevel(previousLevel_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The messages, without time stamp, ids and line end.
  std::vector<std::string> Messages() const {
    std::vector<std::string> messages;
    std::istringstream lines(talverin::test::ReadFileText(dir_.Sub("trace.log")));
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t tab = line.find('\t');
      messages.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
    }
    return messages;
  }
  long Count(const std::string& message) const {
    const auto messages = Messages();
    return static_cast<long>(std::count(messages.begin(), messages.end(), message));
  }

 private:
  talverin::test::ScratchDir dir_;
  std::string previousPath_;
  unsigned previousLevel_;
};

}  // namespace stubtest
