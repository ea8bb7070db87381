#include "auth/connection_context.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "support/fake_filter_context.h"

namespace {

using talverin::test::FakeFilterContext;
using testing::ElementsAre;

void ExpectFresh(const ConnectionContext& context) {
  EXPECT_TRUE(context.username.empty() && context.passcode.empty() && context.key.empty() && context.url.empty());
  EXPECT_TRUE(context.urlLower.empty() && context.referer.empty() && context.clientAddress.empty());
  EXPECT_EQ(context.session, nullptr);
  EXPECT_EQ(context.formAction, FormAction::None);
  EXPECT_FALSE(context.bypassAllowed || context.requestHeadersRead || context.responseHeadersRead);
  EXPECT_FALSE(context.urlIsProtected || context.authorizationHeaderPresent);
  EXPECT_EQ(context.checkAuthenticationAllowedResult, 0);
  EXPECT_TRUE(context.ResponseData().empty());
}

TEST(ConnectionContextRegistryTest, CreatesOnceReturnsItAndStartsFreshAfterDestroy) {
  FakeFilterContext host;
  EXPECT_EQ(ConnectionContextRegistry::Get(host.pfc(), false), nullptr);
  ConnectionContext& created = ConnectionContextRegistry::CreateOrGet(host.pfc());
  EXPECT_EQ(host.pfc()->pFilterContext, &created);
  ExpectFresh(created);
  EXPECT_EQ(&ConnectionContextRegistry::CreateOrGet(host.pfc()), &created);
  EXPECT_EQ(ConnectionContextRegistry::Get(host.pfc(), true), &created);

  // The next request of a kept-alive connection knows nothing of this one,
  // and the session reference is let go.
  EXPECT_FALSE(created.HasValidSession());
  auto owner = std::make_shared<int>(0);
  // A stand-in never dereferenced, sharing ownership with owner so that its release shows.
  created.session = std::shared_ptr<Stub::Session>(owner, reinterpret_cast<Stub::Session*>(owner.get()));
  EXPECT_TRUE(created.HasValidSession());
  created.formAction = FormAction::IsaTmgLogon;
  created.username = "alice";
  created.passcode = "123456";
  created.key = "k";
  created.requestHeadersRead = true;
  created.checkAuthenticationAllowedResult = 3;
  created.urlIsProtected = created.authorizationHeaderPresent = true;
  created.referer = created.clientAddress = created.urlLower = "x";
  created.AppendResponseData("HTTP/1.1 200 OK\r\n", 17);
  ConnectionContextRegistry::Destroy(host.pfc());
  EXPECT_EQ(host.pfc()->pFilterContext, nullptr);
  EXPECT_EQ(owner.use_count(), 1);
  ExpectFresh(ConnectionContextRegistry::CreateOrGet(host.pfc()));
  ConnectionContextRegistry::Destroy(host.pfc());

}

TEST(ConnectionContextRegistryTest, MissingContextThrowsWhenRequiredAndDestroyLeavesNothing) {
  FakeFilterContext host;
  try {
    ConnectionContextRegistry::Get(host.pfc(), true);
    FAIL() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_NE(dynamic_cast<const ConnectionContextNotFoundException*>(&e), nullptr);
    EXPECT_STREQ(e.what(), "Connection context has not been found!");
  }
  ConnectionContextRegistry::Destroy(host.pfc());
  EXPECT_EQ(host.pfc()->pFilterContext, nullptr);
}

TEST(ConnectionContextTest, ChunksAreHandedToHostAsOneBlockWhenThereIsMemory) {
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
  EXPECT_EQ(out.cbInBuffer, expected.size());
  EXPECT_EQ(std::string(static_cast<const char*>(out.pvInData), out.cbInData), expected);

  // Nothing gathered: no data and no block.
  ConnectionContext empty;
  EXPECT_TRUE(empty.HandResponseDataToHost(host.pfc(), &out));
  EXPECT_EQ(out.cbInData, 0u);
  EXPECT_EQ(host.allocations.size(), 1u);

  // Without host memory the record is left as it was.
  host.allocFails = true;
  char original[] = "partial";
  HTTP_FILTER_RAW_DATA record{original, 7, 8, 0};
  EXPECT_FALSE(context.HandResponseDataToHost(host.pfc(), &record));
  EXPECT_EQ(record.pvInData, static_cast<void*>(original));
  EXPECT_EQ(record.cbInData, 7u);
  EXPECT_EQ(record.cbInBuffer, 8u);
  EXPECT_EQ(context.ResponseData().size(), expected.size());  // still there for the caller
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
