#include "diag/trace_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/trace_capture.h"

namespace talverin {
namespace {

using Strings = std::vector<std::string>;

// The line an administrator reads: time stamp, process and thread, a tab, the message as given (a percent sign is
// no format of Log's), CRLF; the file is appended to, never truncated. Messages above the level are not written,
// and all are lost while the Logs folder is missing. Logging never changes the caller's last error.
TEST(TraceLogTest, AppendsLinesUpToTheLevelWithTimeProcessAndThreadKeepingTheLastError) {
  test::ScratchDir dir;
  const std::string path = dir.Sub("Logs\\filter.log");
  ASSERT_TRUE(test::MakeDir(dir.Sub("Logs")));
  TraceLog log;
  log.SetPath(path);
  ASSERT_TRUE(test::WriteFileText(path, "earlier\r\n"));
  log.SetLevel(1);
  log.Log(1, "100% sure: %s %d %n");
  log.Log(2, "plain 2");
  log.LogFormat(2, "formatted %u", 2u);
  log.LogFormat(1, "%s=%d 0x%08X %i%%", "count", 7, 0x4000u, -3);
  std::ostringstream layout;
  layout << R"(^earlier\r\n\d{2}\\\d{2}\\\d{4} \d{2}:\d{2}:\d{2} - \[)" << GetCurrentProcessId() << ":"
         << GetCurrentThreadId() << R"(\] \t100% sure: %s %d %n\r\n.*\tcount=7 0x00004000 -3%\r\n$)";
  const std::string text = test::ReadFileText(path);
  EXPECT_TRUE(std::regex_match(text, std::regex(layout.str()))) << text;

  test::RemoveTree(dir.Sub("Logs"));
  SetLastError(ERROR_ACCESS_DENIED);
  log.LogFormat(0, "lost %d", 1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_TRUE(test::MakeDir(dir.Sub("Logs")));
  log.LogFormat(0, "after %d", 2);
  EXPECT_EQ(test::LogMessages(path), Strings{"after 2"});
}

// The log is "Logs\<module name less its last four characters>.log" beside the module ("": none).
TEST(LogFilePathTest, FollowsTheModuleName) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"C:\\Filters\\talverin.isa.filter.dll", "C:\\Filters\\Logs\\talverin.isa.filter.log"},
      {"\\\\?\\C:\\Filters\\f.dll", "C:\\Filters\\Logs\\f.log"},
      {"C:\\dir\\", "C:\\dir\\Logs\\.log"},
      {"filter.dll", ""},
      {"\\\\?\\", ""},
      {"", ""}};
  for (const auto& [module, log] : cases) {
    std::string path = "untouched";
    EXPECT_EQ(ComputeLogFilePath(module, path), !log.empty()) << module;
    EXPECT_EQ(path, log.empty() ? "untouched" : log) << module;
  }
}

}  // namespace
}  // namespace talverin
