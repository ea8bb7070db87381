#pragma once
// Reading the trace log back in tests: the messages of a log file (the text after each line's time and thread
// prefix), and a capture that points the process-wide log at a scratch file for the life of a test.
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "diag/trace_log.h"
#include "support/test_files.h"

namespace talverin::test {

// A line without the prefix's tab is kept whole, marked, so that it differs from every message.
inline std::vector<std::string> LogMessages(const std::string& path) {
  std::istringstream text(ReadFileText(path));
  std::vector<std::string> messages;
  for (std::string line; std::getline(text, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t tab = line.find('\t');
    messages.push_back(tab == std::string::npos ? "<malformed> " + line : line.substr(tab + 1));
  }
  return messages;
}

inline std::size_t CountOf(const std::vector<std::string>& messages, const std::string& message) {
  return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), message));
}

inline bool Contains(const std::vector<std::string>& messages, const std::string& message) {
  return CountOf(messages, message) > 0;
}

// Index of the first occurrence, or messages.size().
inline std::size_t IndexOf(const std::vector<std::string>& messages, const std::string& message) {
  return static_cast<std::size_t>(std::find(messages.begin(), messages.end(), message) - messages.begin());
}

// The banner line the log writes around a named block.
inline std::string Banner(const std::string& name) {
  return name.size() >= 80 ? name : name + std::string(80 - name.size(), '=');
}

class TraceCapture {
 public:
  // Level 2 writes every message the code has.
  explicit TraceCapture(unsigned level = 2)
      : oldPath_(TraceLog::Instance().Path()), oldLevel_(TraceLog::Instance().Level()) {
    TraceLog::Instance().SetPath(Path());
    TraceLog::Instance().SetLevel(level);
  }
  ~TraceCapture() {
    TraceLog::Instance().SetPath(oldPath_);
    TraceLog::Instance().SetLevel(oldLevel_);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::string Path() const { return dir_.Sub("trace.log"); }
  std::string Text() const { return ReadFileText(Path()); }
  std::vector<std::string> Messages() const { return LogMessages(Path()); }
  bool Has(const std::string& message) const { return Contains(Messages(), message); }
  std::size_t Count(const std::string& message) const { return CountOf(Messages(), message); }

 private:
  ScratchDir dir_;
  std::string oldPath_;
  unsigned oldLevel_;
};

}  // namespace talverin::test
