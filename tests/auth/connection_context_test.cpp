#include "auth/connection_context.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "support/fake_filter_context.h"

namespace {

using talverin::test::FakeFilterContext;
using talverin::test::LogCapture;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

// A session reference for tests that only look at whether one is held: it
// points at a stand-in that is never dereferenced, and shares ownership with
// `owner` so that its release can be observed.
std::shared_ptr<Stub::Session> StandInSession(const std::shared_ptr<int>& owner) {
  return std::shared_ptr<Stub::Session>(owner, reinterpret_cast<Stub::Session*>(owner.get()));
}

void ExpectFresh(const ConnectionContext& context) {
  EXPECT_TRUE(context.username.empty());
  EXPECT_TRUE(context.passcode.empty());
  EXPECT_TRUE(context.key.empty());
  EXPECT_TRUE(context.url.empty());
  EXPECT_TRUE(context.urlLower.empty());
  EXPECT_TRUE(context.referer.empty());
  EXPECT_TRUE(context.clientAddress.empty());
  EXPECT_EQ(context.session, nullptr);
  EXPECT_FALSE(context.bypassAllowed);
  EXPECT_FALSE(context.urlIsProtected);
  EXPECT_EQ(context.formAction, FormAction::None);
  EXPECT_FALSE(context.responseHeadersRead);
  EXPECT_FALSE(context.requestHeadersRead);
  EXPECT_FALSE(context.authorizationHeaderPresent);
  EXPECT_EQ(context.checkAuthenticationAllowedResult, 0);
  EXPECT_TRUE(context.ResponseData().empty());
}

// --- Registry over the host's slot ----------------------------------------------

TEST(ConnectionContextRegistryTest, CreatesFreshContextInEmptySlotAndReturnsItAfterwards) {
  LogCapture log;
  FakeFilterContext host;
  ConnectionContext& created = ConnectionContextRegistry::CreateOrGet(host.pfc());
  EXPECT_EQ(host.pfc()->pFilterContext, &created);
  ExpectFresh(created);

  created.requestHeadersRead = true;
  ConnectionContext& again = ConnectionContextRegistry::CreateOrGet(host.pfc());
  EXPECT_EQ(&again, &created);
  EXPECT_TRUE(again.requestHeadersRead);
  EXPECT_EQ(ConnectionContextRegistry::Get(host.pfc(), true), &created);

  const std::string text = log.Text();
  EXPECT_THAT(text, HasSubstr("Connection context has been created: 0x"));
  EXPECT_THAT(text, HasSubstr("Return existing context: 0x"));
  EXPECT_THAT(text, HasSubstr("Connection context has been returned: 0x"));
  ConnectionContextRegistry::Destroy(host.pfc());
}

TEST(ConnectionContextRegistryTest, RequiredContextMissingThrowsStandardException) {
  LogCapture log;
  FakeFilterContext host;
  try {
    ConnectionContextRegistry::Get(host.pfc(), true);
    FAIL() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_NE(dynamic_cast<const ConnectionContextNotFoundException*>(&e), nullptr);
    EXPECT_STREQ(e.what(), "Connection context has not been found!");
  }
  EXPECT_THAT(log.Text(), HasSubstr("Connection context has NOT been created!\r\n"));
  EXPECT_EQ(host.pfc()->pFilterContext, nullptr);
}

TEST(ConnectionContextRegistryTest, OptionalContextMissingIsNull) {
  FakeFilterContext host;
  EXPECT_EQ(ConnectionContextRegistry::Get(host.pfc(), false), nullptr);
}

TEST(ConnectionContextRegistryTest, DestroyReleasesContextAndSession) {
  LogCapture log;
  FakeFilterContext host;
  auto owner = std::make_shared<int>(0);
  ConnectionContextRegistry::CreateOrGet(host.pfc()).session = StandInSession(owner);
  EXPECT_EQ(owner.use_count(), 2);

  ConnectionContextRegistry::Destroy(host.pfc());
  EXPECT_EQ(host.pfc()->pFilterContext, nullptr);
  EXPECT_EQ(owner.use_count(), 1);
  EXPECT_THAT(log.Text(), HasSubstr("Connection context destroyed: 0x"));
  EXPECT_THAT(log.Text(), Not(HasSubstr("WARNING")));
}

TEST(ConnectionContextRegistryTest, DestroyWithoutContextOnlyWarns) {
  LogCapture log;
  FakeFilterContext host;
  ConnectionContextRegistry::Destroy(host.pfc());
  EXPECT_EQ(host.pfc()->pFilterContext, nullptr);
  EXPECT_THAT(log.Text(), HasSubstr("WARNING: Attempt to destroy non-existing context!\r\n"));
}

TEST(ConnectionContextRegistryTest, NextRequestOnKeptAliveConnectionStartsFresh) {
  FakeFilterContext host;
  ConnectionContext& first = ConnectionContextRegistry::CreateOrGet(host.pfc());
  first.formAction = FormAction::IsaTmgLogon;
  first.username = "alice";
  first.passcode = "123456";
  first.key = "k";
  first.requestHeadersRead = true;
  first.checkAuthenticationAllowedResult = 3;
  first.AppendResponseData("HTTP/1.1 200 OK\r\n", 17);
  ConnectionContextRegistry::Destroy(host.pfc());

  ExpectFresh(ConnectionContextRegistry::CreateOrGet(host.pfc()));
  ConnectionContextRegistry::Destroy(host.pfc());
}

// --- Operations on a context ----------------------------------------------------

TEST(ConnectionContextTest, ValidSessionMeansAReferenceIsHeld) {
  LogCapture log;
  ConnectionContext context;
  EXPECT_FALSE(context.HasValidSession());
  auto owner = std::make_shared<int>(0);
  context.session = StandInSession(owner);
  EXPECT_TRUE(context.HasValidSession());
  const std::string text = log.Text();
  EXPECT_THAT(text, HasSubstr("Valid session present: No\r\n"));
  EXPECT_THAT(text, HasSubstr("Valid session present: Yes\r\n"));
}

TEST(ConnectionContextTest, ChunksAreHandedToHostAsOneBlock) {
  LogCapture log;
  FakeFilterContext host;
  ConnectionContext context;
  char first[] = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n";
  char second[] = "\r\nbodyTRAILING";
  HTTP_FILTER_RAW_DATA chunk1{first, sizeof first - 1, sizeof first, 0};
  HTTP_FILTER_RAW_DATA chunk2{second, sizeof second - 1, 6, 0};  // the buffer size bounds the data
  context.AppendResponseData(chunk1);
  context.AppendResponseData(chunk2);

  HTTP_FILTER_RAW_DATA out{second, 1, 1, 0};
  ASSERT_TRUE(context.HandResponseDataToHost(host.pfc(), &out));

  const std::string expected = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody";
  EXPECT_THAT(host.allocations, ElementsAre(expected.size()));
  EXPECT_EQ(out.pvInData, host.lastBlock());
  EXPECT_EQ(out.cbInData, expected.size());
  EXPECT_EQ(out.cbInBuffer, expected.size());
  EXPECT_EQ(std::string(static_cast<const char*>(out.pvInData), out.cbInData), expected);
  EXPECT_THAT(log.Text(), HasSubstr("Memory allocated address:  0x"));
}

TEST(ConnectionContextTest, WithoutHostMemoryRecordIsLeftUntouched) {
  FakeFilterContext host;
  host.allocFails = true;
  ConnectionContext context;
  context.AppendResponseData("HTTP/1.1 200 OK\r\n\r\nsecret", 25);
  char original[] = "partial";
  HTTP_FILTER_RAW_DATA record{original, 7, 8, 0};

  EXPECT_FALSE(context.HandResponseDataToHost(host.pfc(), &record));

  EXPECT_EQ(record.pvInData, static_cast<void*>(original));
  EXPECT_EQ(record.cbInData, 7u);
  EXPECT_EQ(record.cbInBuffer, 8u);
  EXPECT_EQ(context.ResponseData().size(), 25u);  // still there for the caller
}

TEST(ConnectionContextTest, EmptyBufferIsHandedOverAsNoDataWithoutBlock) {
  FakeFilterContext host;
  ConnectionContext context;
  char original[] = "x";
  HTTP_FILTER_RAW_DATA record{original, 1, 2, 0};
  EXPECT_TRUE(context.HandResponseDataToHost(host.pfc(), &record));
  EXPECT_EQ(record.cbInData, 0u);
  EXPECT_TRUE(host.allocations.empty());
}

TEST(ConnectionContextTest, ClearWipesGatheredBytesAndKeepsRoom) {
  ConnectionContext context;
  context.AppendResponseData("Set-Cookie: cadata=secret", 25);
  const char* storage = context.ResponseData().data();
  const std::size_t capacity = context.ResponseData().capacity();

  context.ClearResponseData();

  EXPECT_TRUE(context.ResponseData().empty());
  EXPECT_EQ(context.ResponseData().capacity(), capacity);
  EXPECT_EQ(context.ResponseData().data(), storage);
  for (std::size_t i = 0; i < 25; ++i) EXPECT_EQ(storage[i], 0) << i;

  context.AppendResponseData("new", 3);
  EXPECT_EQ(std::string(context.ResponseData().begin(), context.ResponseData().end()), "new");
}

}  // namespace
