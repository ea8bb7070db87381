#include "http/host_access.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/fake_filter_context.h"

namespace {

using talverin::test::FakeFilterContext;
using talverin::test::LogCapture;
using testing::HasSubstr;
using testing::Not;

TEST(GetServerVariableTextTest, ShortValueIsReadWithOneCall) {
  FakeFilterContext host;
  host.serverVariables["URL"] = "/owa/auth.owa";
  EXPECT_EQ(GetServerVariableText(host.pfc(), "URL"), "/owa/auth.owa");
  ASSERT_EQ(host.variableLookups.size(), 1u);
  EXPECT_EQ(host.variableLookups[0].name, "URL");
  EXPECT_EQ(host.variableLookups[0].bufferSize, 1024u);
}

TEST(GetServerVariableTextTest, LongValueIsReadAgainWithTheSizeTheHostAsksFor) {
  LogCapture log;
  FakeFilterContext host;
  const std::string cookies = "a=" + std::string(3000, 'x');
  host.serverVariables["HTTP_COOKIE"] = cookies;
  EXPECT_EQ(GetServerVariableText(host.pfc(), "HTTP_COOKIE"), cookies);
  ASSERT_EQ(host.variableLookups.size(), 2u);
  EXPECT_EQ(host.variableLookups[1].bufferSize, cookies.size() + 2);  // reported size (NUL included) + 1
  EXPECT_THAT(log.Text(), Not(HasSubstr("failed")));
}

TEST(GetServerVariableTextTest, ValueOfExactlyTheFirstBufferSizeNeedsNoSecondCall) {
  FakeFilterContext host;
  host.serverVariables["HTTP_HOST"] = std::string(1023, 'h');
  EXPECT_EQ(GetServerVariableText(host.pfc(), "HTTP_HOST").size(), 1023u);
  EXPECT_EQ(host.variableLookups.size(), 1u);
}

TEST(GetServerVariableTextTest, MissingVariableIsLoggedAndReadsEmpty) {
  LogCapture log;
  FakeFilterContext host;
  EXPECT_EQ(GetServerVariableText(host.pfc(), "LISTENER_GUID"), "");
  EXPECT_EQ(host.variableLookups.size(), 1u);
  EXPECT_THAT(log.Text(),
              HasSubstr("Calling GetServerVariable with variable 'LISTENER_GUID' failed with error 1413.\r\n"));
}

TEST(GetServerVariableTextTest, SecondFailureIsLoggedAndReadsEmpty) {
  LogCapture log;
  FakeFilterContext host;
  host.alwaysTooSmall = true;
  host.serverVariables["REMOTE_ADDR"] = "10.0.0.1";
  EXPECT_EQ(GetServerVariableText(host.pfc(), "REMOTE_ADDR"), "");
  EXPECT_EQ(host.variableLookups.size(), 2u);
  EXPECT_THAT(log.Text(),
              HasSubstr("Calling GetServerVariable with variable 'REMOTE_ADDR' failed with error 122.\r\n"));
}

TEST(GetRequestHeaderTextTest, ReadsHeaderByNameWithColon) {
  FakeFilterContext host;
  host.requestHeaders["Referer:"] = "https://mail.example.com/owa/";
  EXPECT_EQ(GetRequestHeaderText(host.headerRecord(), host.pfc(), "Referer:"), "https://mail.example.com/owa/");
  ASSERT_EQ(host.headerLookups.size(), 1u);
  EXPECT_EQ(host.headerLookups[0].bufferSize, 1024u);
}

TEST(GetRequestHeaderTextTest, AbsentHeaderReadsEmptyWithoutLog) {
  LogCapture log;
  FakeFilterContext host;
  EXPECT_EQ(GetRequestHeaderText(host.headerRecord(), host.pfc(), "Authorization:"), "");
  EXPECT_EQ(host.headerLookups.size(), 1u);
  EXPECT_EQ(log.Text(), "");
}

TEST(GetRequestHeaderTextTest, LongHeaderIsNotTakenForAbsent) {
  FakeFilterContext host;
  const std::string negotiate = "Negotiate " + std::string(4000, 'Y');
  host.requestHeaders["Authorization:"] = negotiate;
  EXPECT_EQ(GetRequestHeaderText(host.headerRecord(), host.pfc(), "Authorization:"), negotiate);
  EXPECT_EQ(host.headerLookups.size(), 2u);
}

}  // namespace
