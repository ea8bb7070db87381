#include "diag/trace_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug_output.h"
#include "support/test_files.h"

namespace talverin {
namespace {

using test::FileExists;
using test::MakeDir;
using test::ReadFileText;
using test::RemoveTree;
using test::ScratchDir;

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));  // a line without CRLF: kept, so it fails the layout checks
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

// The message part of a line: everything after the tab of the prefix.
std::string MessageOf(const std::string& line) {
  std::size_t tab = line.find('\t');
  return tab == std::string::npos ? std::string() : line.substr(tab + 1);
}

class TraceLogTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(MakeDir(dir_.Sub("Logs")));
    log_.SetPath(LogPath());
  }
  std::string LogPath() const { return dir_.Sub("Logs\\filter.log"); }
  std::vector<std::string> Lines() const { return SplitLines(ReadFileText(LogPath())); }

  ScratchDir dir_;
  TraceLog log_;
};

TEST_F(TraceLogTest, LineCarriesTimeStampProcessAndThreadThenMessageAndCrLf) {
  log_.Log(0, "Settings have been loaded successfully.");
  std::string text = ReadFileText(LogPath());
  std::ostringstream expected;
  expected << R"(^\d{2}\\\d{2}\\\d{4} \d{2}:\d{2}:\d{2} - \[)" << GetCurrentProcessId() << ":" << GetCurrentThreadId()
           << R"(\] \tSettings have been loaded successfully\.\r\n$)";
  EXPECT_TRUE(std::regex_match(text, std::regex(expected.str()))) << text;
}

TEST_F(TraceLogTest, AppendsAndNeverTruncates) {
  ASSERT_TRUE(test::WriteFileText(LogPath(), "earlier\r\n"));
  log_.Log(0, "one");
  log_.Log(0, "two");
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "earlier");
  EXPECT_EQ(MessageOf(lines[1]), "one");
  EXPECT_EQ(MessageOf(lines[2]), "two");
}

class TraceLevelTest : public TraceLogTest, public testing::WithParamInterface<unsigned> {};

TEST_P(TraceLevelTest, WritesMessagesUpToTheLevel) {
  log_.SetLevel(GetParam());
  for (unsigned level = 0; level <= 3; ++level) {
    log_.Log(level, "plain " + std::to_string(level));
    log_.LogFormat(level, "formatted %u", level);
  }
  std::vector<std::string> messages;
  for (const std::string& line : Lines()) messages.push_back(MessageOf(line));
  std::vector<std::string> expected;
  for (unsigned level = 0; level <= GetParam(); ++level) {
    expected.push_back("plain " + std::to_string(level));
    expected.push_back("formatted " + std::to_string(level));
  }
  EXPECT_EQ(messages, expected);
}

INSTANTIATE_TEST_SUITE_P(Levels, TraceLevelTest, testing::Values(0u, 1u, 2u));

TEST_F(TraceLogTest, LogWritesPercentSignsLiterally) {
  log_.Log(0, "100% sure: %s %d %n");
  log_.LogFormat(0, "%s=%d 0x%08X %i%%", "count", 7, 0x4000u, -3);
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(MessageOf(lines[0]), "100% sure: %s %d %n");
  EXPECT_EQ(MessageOf(lines[1]), "count=7 0x00004000 -3%");
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
  RemoveTree(dir_.Sub("Logs"));
  log_.Log(0, "lost");
  EXPECT_FALSE(FileExists(LogPath()));
  ASSERT_TRUE(MakeDir(dir_.Sub("Logs")));
  log_.Log(0, "after");
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(MessageOf(lines[0]), "after");
}

TEST_F(TraceLogTest, ConcurrentLinesAreNeverInterleaved) {
  constexpr int kThreads = 4;
  constexpr int kLines = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kLines; ++i) log_.LogFormat(0, "thread %d line %d %s", t, i, std::string(200, 'a' + t).c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  std::regex layout(R"(^\d{2}\\\d{2}\\\d{4} \d{2}:\d{2}:\d{2} - \[\d+:\d+\] \tthread (\d) line \d+ ([a-d])\2{199}$)");
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, layout)) << line;
    EXPECT_EQ(match[1].str()[0] - '0', match[2].str()[0] - 'a');
  }
}

struct PathCase {
  const char* module;
  const char* log;  // nullptr: no path
};

class LogFilePathTest : public testing::TestWithParam<PathCase> {};

TEST_P(LogFilePathTest, FollowsTheModuleName) {
  std::string path = "untouched";
  bool ok = ComputeLogFilePath(GetParam().module, path);
  if (GetParam().log) {
    ASSERT_TRUE(ok);
    EXPECT_EQ(path, GetParam().log);
  } else {
    EXPECT_FALSE(ok);
    EXPECT_EQ(path, "untouched");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, LogFilePathTest,
    testing::Values(PathCase{"C:\\Filters\\talverin.isa.filter.dll", "C:\\Filters\\Logs\\talverin.isa.filter.log"},
                    PathCase{"\\\\?\\C:\\Filters\\f.dll", "C:\\Filters\\Logs\\f.log"},
                    PathCase{"C:\\a.b\\TALVERIN.ISA.Filter.dll", "C:\\a.b\\Logs\\TALVERIN.ISA.Filter.log"},
                    PathCase{"C:\\dir\\abc", "C:\\dir\\Logs\\.log"},  // base shorter than four characters
                    PathCase{"C:\\dir\\", "C:\\dir\\Logs\\.log"},
                    PathCase{"filter.dll", nullptr}, PathCase{"\\\\?\\", nullptr}, PathCase{"", nullptr}));

TEST(ThisModuleLogPathTest, IsBesideTheRunningModule) {
  std::string path;
  ASSERT_EQ(GetLogFilePath(path), S_OK);
  std::string exe = test::ExeDir();
  char name[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, name, MAX_PATH);
  std::string base = std::string(name).substr(exe.size());
  EXPECT_EQ(path, exe + "Logs\\" + base.substr(0, base.size() - 4) + ".log");
}

TEST(DebugOutputTest, FormatsAndCutsAt1023Characters) {
  EXPECT_EQ(FormatDebugOutput("ORVANT: %s %d\n", "Reload", 3), "ORVANT: Reload 3\n");
  std::string longText(3000, 'x');
  std::string out = FormatDebugOutput("ORVANT: %s", longText.c_str());
  EXPECT_EQ(out.size(), 1023u);
  EXPECT_EQ(out.substr(0, 8), "ORVANT: ");
}

}  // namespace
}  // namespace talverin
