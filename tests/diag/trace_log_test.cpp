#include "diag/trace_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/trace_capture.h"

namespace talverin {
namespace {

using Strings = std::vector<std::string>;

class TraceLogTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::MakeDir(dir_.Sub("Logs")));
    log_.SetPath(path_);
  }

  test::ScratchDir dir_;
  std::string path_ = dir_.Sub("Logs\\filter.log");
  TraceLog log_;
};

// The line an administrator reads: time stamp, process and thread, a tab, the message as given (a percent sign is
// no format of Log's), CRLF; the file is appended to, never truncated. Messages above the level are not written,
// and all are lost while the Logs folder is missing. Logging never changes the caller's last error.
TEST_F(TraceLogTest, AppendsLinesUpToTheLevelWithTimeProcessAndThreadKeepingTheLastError) {
  ASSERT_TRUE(test::WriteFileText(path_, "earlier\r\n"));
  log_.SetLevel(1);
  log_.Log(1, "100% sure: %s %d %n");
  log_.Log(2, "plain 2");
  log_.LogFormat(2, "formatted %u", 2u);
  log_.LogFormat(1, "%s=%d 0x%08X %i%%", "count", 7, 0x4000u, -3);
  std::ostringstream layout;
  layout << R"(^earlier\r\n\d{2}\\\d{2}\\\d{4} \d{2}:\d{2}:\d{2} - \[)" << GetCurrentProcessId() << ":"
         << GetCurrentThreadId() << R"(\] \t100% sure: %s %d %n\r\n.*\tcount=7 0x00004000 -3%\r\n$)";
  const std::string text = test::ReadFileText(path_);
  EXPECT_TRUE(std::regex_match(text, std::regex(layout.str()))) << text;

  test::RemoveTree(dir_.Sub("Logs"));
  SetLastError(ERROR_ACCESS_DENIED);
  log_.LogFormat(0, "lost %d", 1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(test::FileExists(path_));
  ASSERT_TRUE(test::MakeDir(dir_.Sub("Logs")));
  SetLastError(ERROR_FILE_NOT_FOUND);
  log_.LogFormat(0, "after %d", 2);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(test::LogMessages(path_), Strings{"after 2"});
}

// The log is "Logs\<module name less its last four characters>.log" beside the module ("": none).
TEST(LogFilePathTest, FollowsTheModuleName) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"C:\\Filters\\talverin.isa.filter.dll", "C:\\Filters\\Logs\\talverin.isa.filter.log"},
      {"\\\\?\\C:\\Filters\\f.dll", "C:\\Filters\\Logs\\f.log"},
      {"C:\\a.b\\TALVERIN.ISA.Filter.dll", "C:\\a.b\\Logs\\TALVERIN.ISA.Filter.log"},
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
