#pragma once
// Reading the trace log back in tests.
#include <algorithm>
#include <string>
#include <vector>

#include "support/test_files.h"

namespace talverin::test {

// The messages of the log's lines (the text after the prefix's tab).
inline std::vector<std::string> LogMessages(const std::string& path) {
  std::string text = ReadFileText(path);
  std::vector<std::string> messages;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    std::size_t tab = line.find('\t');
    messages.push_back(tab == std::string::npos ? "<malformed> " + line : line.substr(tab + 1));
    start = end + 2;
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

inline std::string Banner(const std::string& name) {
  return name.size() >= 80 ? name : name + std::string(80 - name.size(), '=');
}

}  // namespace talverin::test
