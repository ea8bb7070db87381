#include "http/host_access.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "support/fake_filter_context.h"
#include "support/trace_capture.h"

namespace {

using talverin::test::FakeFilterContext;
using talverin::test::TraceCapture;

// The first call offers 1024 bytes; a longer value (a Negotiate token, say,
// which must not read as absent) is read again with the size the host
// reported (its NUL included) and one byte more.
TEST(GetServerVariableTextTest, ReadsValuesOfEveryLengthWithAsFewCallsAsNeeded) {
  const std::pair<std::size_t, std::vector<DWORD>> rows[] = {
      {13, {1024}}, {1023, {1024}}, {1024, {1024, 1026}}, {3002, {1024, 3004}}};
  for (const auto& [length, offered] : rows) {
    for (const bool header : {false, true}) {
      SCOPED_TRACE(testing::Message() << length << (header ? " byte header" : " byte variable"));
      TraceCapture trace;
      FakeFilterContext host;
      const std::string value(length, 'x');
      (header ? host.requestHeaders["Authorization:"] : host.serverVariables["HTTP_COOKIE"]) = value;
      EXPECT_EQ(header ? GetRequestHeaderText(host.headerRecord(), host.pfc(), "Authorization:")
                       : GetServerVariableText(host.pfc(), "HTTP_COOKIE"),
                value);
      const std::vector<FakeFilterContext::Lookup>& lookups = header ? host.headerLookups : host.variableLookups;
      std::vector<DWORD> sizes;
      for (const auto& lookup : lookups) sizes.push_back(lookup.bufferSize);
      ASSERT_EQ(sizes, offered);
      EXPECT_EQ(trace.Text().find("failed"), std::string::npos);
    }
  }
}

// A variable the host fails to give is logged; an absent header is not.
TEST(GetServerVariableTextTest, FailuresReadEmpty) {
  TraceCapture trace;
  FakeFilterContext host;
  EXPECT_EQ(GetRequestHeaderText(host.headerRecord(), host.pfc(), "Authorization:"), "");
  EXPECT_EQ(trace.Text().find("Authorization"), std::string::npos);
  EXPECT_EQ(GetServerVariableText(host.pfc(), "LISTENER_GUID"), "");
  EXPECT_EQ(host.variableLookups.size(), 1u);
  host.alwaysTooSmall = true;
  host.serverVariables["REMOTE_ADDR"] = "10.0.0.1";
  EXPECT_EQ(GetServerVariableText(host.pfc(), "REMOTE_ADDR"), "");
  EXPECT_EQ(host.variableLookups.size(), 3u);
  EXPECT_TRUE(trace.Has("Calling GetServerVariable with variable 'LISTENER_GUID' failed with error 1413."));
  EXPECT_TRUE(trace.Has("Calling GetServerVariable with variable 'REMOTE_ADDR' failed with error 122."));
}

}  // namespace
