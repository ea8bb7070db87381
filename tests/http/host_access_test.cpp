#include "http/host_access.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_filter_context.h"
#include "support/trace_capture.h"

namespace {

using talverin::test::FakeFilterContext;
using talverin::test::TraceCapture;

// The first call offers 1024 bytes; a longer value is read again with the
// size the host reported (its NUL included) and one byte more.
TEST(GetServerVariableTextTest, ReadsValuesOfEveryLengthWithAsFewCallsAsNeeded) {
  struct Row {
    std::size_t length;
    std::vector<DWORD> offered;
  };
  for (const Row& r : {Row{13, {1024}}, Row{1023, {1024}}, Row{1024, {1024, 1026}}, Row{3002, {1024, 3004}}}) {
    SCOPED_TRACE(r.length);
    TraceCapture trace;
    FakeFilterContext host;
    host.serverVariables["HTTP_COOKIE"] = std::string(r.length, 'x');
    EXPECT_EQ(GetServerVariableText(host.pfc(), "HTTP_COOKIE"), host.serverVariables["HTTP_COOKIE"]);
    std::vector<DWORD> offered;
    for (const auto& lookup : host.variableLookups) offered.push_back(lookup.bufferSize);
    EXPECT_EQ(offered, r.offered);
    EXPECT_EQ(host.variableLookups[0].name, "HTTP_COOKIE");
    EXPECT_EQ(trace.Text().find("failed"), std::string::npos);
  }
}

TEST(GetServerVariableTextTest, FailuresAreLoggedAndReadEmpty) {
  TraceCapture trace;
  FakeFilterContext host;
  EXPECT_EQ(GetServerVariableText(host.pfc(), "LISTENER_GUID"), "");
  EXPECT_EQ(host.variableLookups.size(), 1u);
  host.alwaysTooSmall = true;
  host.serverVariables["REMOTE_ADDR"] = "10.0.0.1";
  EXPECT_EQ(GetServerVariableText(host.pfc(), "REMOTE_ADDR"), "");
  EXPECT_EQ(host.variableLookups.size(), 3u);
  EXPECT_TRUE(trace.Has("Calling GetServerVariable with variable 'LISTENER_GUID' failed with error 1413."));
  EXPECT_TRUE(trace.Has("Calling GetServerVariable with variable 'REMOTE_ADDR' failed with error 122."));
}

TEST(GetRequestHeaderTextTest, ReadsHeadersByNameWithColonAndLongOnesInFull) {
  TraceCapture trace;
  FakeFilterContext host;
  host.requestHeaders["Referer:"] = "https://mail.example.com/owa/";
  EXPECT_EQ(GetRequestHeaderText(host.headerRecord(), host.pfc(), "Referer:"), "https://mail.example.com/owa/");
  ASSERT_EQ(host.headerLookups.size(), 1u);
  EXPECT_EQ(host.headerLookups[0].bufferSize, 1024u);
  // Absent reads empty without a log line; a long header is not taken for absent.
  const std::string before = trace.Text();
  EXPECT_EQ(GetRequestHeaderText(host.headerRecord(), host.pfc(), "Authorization:"), "");
  EXPECT_EQ(trace.Text(), before);
  host.requestHeaders["Authorization:"] = "Negotiate " + std::string(4000, 'Y');
  EXPECT_EQ(GetRequestHeaderText(host.headerRecord(), host.pfc(), "Authorization:"),
            host.requestHeaders["Authorization:"]);
  EXPECT_EQ(host.headerLookups.size(), 4u);
}

}  // namespace
