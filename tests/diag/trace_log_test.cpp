#include "diag/trace_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>

#include "diag/debug_output.h"
#include "support/trace_capture.h"

namespace talverin {
namespace {

using Strings = std::vector<std::string>;

class TraceLogTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::MakeDir(dir_.Sub("Logs")));
    log_.SetPath(LogPath());
  }
  std::string LogPath() const { return dir_.Sub("Logs\\filter.log"); }
  Strings Messages() const { return test::LogMessages(LogPath()); }

  test::ScratchDir dir_;
  TraceLog log_;
};

// The line an administrator reads: time stamp, process and thread, a tab,
// the message as given (a percent sign is no format of Log's), CRLF; the
// file is appended to, never truncated.
TEST_F(TraceLogTest, LinesAreAppendedWithTimeProcessAndThread) {
  ASSERT_TRUE(test::WriteFileText(LogPath(), "earlier\r\n"));
  log_.Log(0, "100% sure: %s %d %n");
  log_.LogFormat(0, "%s=%d 0x%08X %i%%", "count", 7, 0x4000u, -3);
  std::ostringstream layout;
  layout << R"(^earlier\r\n\d{2}\\\d{2}\\\d{4} \d{2}:\d{2}:\d{2} - \[)" << GetCurrentProcessId() << ":"
         << GetCurrentThreadId() << R"(\] \t100% sure: %s %d %n\r\n.*\tcount=7 0x00004000 -3%\r\n$)";
  const std::string text = test::ReadFileText(LogPath());
  EXPECT_TRUE(std::regex_match(text, std::regex(layout.str()))) << text;
}

TEST_F(TraceLogTest, WritesMessagesUpToTheLevel) {
  for (unsigned level : {0u, 1u, 2u}) {
    log_.SetPath(dir_.Sub("Logs\\level" + std::to_string(level) + ".log"));
    log_.SetLevel(level);
    Strings expected;
    for (unsigned of = 0; of <= 3; ++of) {
      log_.Log(of, "plain " + std::to_string(of));
      log_.LogFormat(of, "formatted %u", of);
      if (of <= level)
        expected.insert(expected.end(), {"plain " + std::to_string(of), "formatted " + std::to_string(of)});
    }
    EXPECT_EQ(test::LogMessages(dir_.Sub("Logs\\level" + std::to_string(level) + ".log")), expected) << level;
  }
}

TEST_F(TraceLogTest, LogFormatKeepsTheLastError) {
  SetLastError(ERROR_FILE_NOT_FOUND);
  log_.LogFormat(0, "Failed to create dump file, error: %d.", 2);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // Also when the file cannot be opened, which sets an error of its own inside.
  log_.SetPath(dir_.Sub("missing\\x.log"));
  SetLastError(ERROR_ACCESS_DENIED);
  log_.LogFormat(0, "lost %d", 1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(TraceLogTest, LinesAreLostWhileLogsFolderIsMissingAndResumeAfter) {
  log_.Log(0, "before");
  test::RemoveTree(dir_.Sub("Logs"));
  log_.Log(0, "lost");
  EXPECT_FALSE(test::FileExists(LogPath()));
  ASSERT_TRUE(test::MakeDir(dir_.Sub("Logs")));
  log_.Log(0, "after");
  EXPECT_EQ(Messages(), Strings{"after"});
}

TEST_F(TraceLogTest, ConcurrentLinesAreNeverInterleaved) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 100; ++i) log_.LogFormat(0, "thread %d line %d %s", t, i, std::string(200, 'a' + t).c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();
  const Strings messages = Messages();
  ASSERT_EQ(messages.size(), 400u);
  const std::regex layout(R"(^thread (\d) line \d+ ([a-d])\2{199}$)");
  for (const std::string& message : messages) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(message, match, layout)) << message;
    EXPECT_EQ(match[1].str()[0] - '0', match[2].str()[0] - 'a');
  }
}

// The log is "Logs\<module name less its last four characters>.log" beside the module.
TEST(LogFilePathTest, FollowsTheModuleName) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      // module, log ("": none)
      {"C:\\Filters\\talverin.isa.filter.dll", "C:\\Filters\\Logs\\talverin.isa.filter.log"},
      {"\\\\?\\C:\\Filters\\f.dll", "C:\\Filters\\Logs\\f.log"},
      {"C:\\a.b\\TALVERIN.ISA.Filter.dll", "C:\\a.b\\Logs\\TALVERIN.ISA.Filter.log"},
      {"C:\\dir\\abc", "C:\\dir\\Logs\\.log"},
      {"C:\\dir\\", "C:\\dir\\Logs\\.log"},
      {"filter.dll", ""},
      {"\\\\?\\", ""},
      {"", ""}};
  for (const auto& [module, log] : cases) {
    std::string path = "untouched";
    EXPECT_EQ(ComputeLogFilePath(module, path), !log.empty()) << module;
    EXPECT_EQ(path, log.empty() ? "untouched" : log) << module;
  }
  std::string path, exe = test::ExeDir();
  char name[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, name, MAX_PATH);
  const std::string base = std::string(name).substr(exe.size());
  ASSERT_EQ(GetLogFilePath(path), S_OK);
  EXPECT_EQ(path, exe + "Logs\\" + base.substr(0, base.size() - 4) + ".log");
}

TEST(DebugOutputTest, FormatsAndCutsAt1023Characters) {
  EXPECT_EQ(FormatDebugOutput("ORVANT: %s %d\n", "Reload", 3), "ORVANT: Reload 3\n");
  const std::string out = FormatDebugOutput("ORVANT: %s", std::string(3000, 'x').c_str());
  EXPECT_EQ(out.size(), 1023u);
  EXPECT_EQ(out.substr(0, 8), "ORVANT: ");
}

}  // namespace
}  // namespace talverin
