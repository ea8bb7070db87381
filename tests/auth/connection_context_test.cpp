#include "auth/connection_context.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/fake_filter_context.h"

namespace {

using talverin::test::FakeFilterContext;

TEST(ConnectionContextRegistryTest, CreatesOnceReturnsItAndStartsFreshAfterDestroy) {
  FakeFilterContext host;
  EXPECT_EQ(ConnectionContextRegistry::Get(host.pfc(), false), nullptr);
  ConnectionContext& created = ConnectionContextRegistry::CreateOrGet(host.pfc());
  EXPECT_EQ(host.pfc()->pFilterContext, &created);
  EXPECT_EQ(&ConnectionContextRegistry::CreateOrGet(host.pfc()), &created);
  EXPECT_EQ(ConnectionContextRegistry::Get(host.pfc(), true), &created);

  // The next request of a kept-alive connection knows nothing of this one, and the session reference is let go.
  EXPECT_FALSE(created.HasValidSession());
  auto owner = std::make_shared<int>(0);
  // A stand-in never dereferenced, sharing ownership with owner so that its release shows.
  created.session = std::shared_ptr<Stub::Session>(owner, reinterpret_cast<Stub::Session*>(owner.get()));
  EXPECT_TRUE(created.HasValidSession());
  created.username = "alice";
  created.passcode = "123456";
  created.AppendResponseData("HTTP/1.1 200 OK\r\n", 17);
  ConnectionContextRegistry::Destroy(host.pfc());
  EXPECT_EQ(host.pfc()->pFilterContext, nullptr);
  EXPECT_EQ(owner.use_count(), 1);
  const ConnectionContext& fresh = ConnectionContextRegistry::CreateOrGet(host.pfc());
  EXPECT_TRUE(fresh.username.empty() && fresh.passcode.empty() && fresh.ResponseData().empty());
  EXPECT_EQ(fresh.session, nullptr);
  ConnectionContextRegistry::Destroy(host.pfc());
}

TEST(ConnectionContextRegistryTest, MissingContextThrowsWhenRequiredAndDestroyLeavesNothing) {
  FakeFilterContext host;
  EXPECT_THROW(ConnectionContextRegistry::Get(host.pfc(), true), ConnectionContextNotFoundException);
  ConnectionContextRegistry::Destroy(host.pfc());
  EXPECT_EQ(host.pfc()->pFilterContext, nullptr);
}

// Handing the held answer over as one block is walked by every held answer of the end-to-end roads.
TEST(ConnectionContextTest, WithoutHostMemoryTheRecordAndTheHeldBytesStay) {
  FakeFilterContext host;
  host.allocFails = true;
  ConnectionContext context;
  char data[] = "HTTP/1.1 200 OK\r\nTRAILING";
  HTTP_FILTER_RAW_DATA chunk{data, sizeof data - 1, 17, 0};  // the buffer size bounds the data
  context.AppendResponseData(chunk);
  char original[] = "partial";
  HTTP_FILTER_RAW_DATA record{original, 7, 8, 0};
  EXPECT_FALSE(context.HandResponseDataToHost(host.pfc(), &record));
  EXPECT_EQ(record.pvInData, static_cast<void*>(original));
  EXPECT_EQ(record.cbInData, 7u);
  EXPECT_EQ(record.cbInBuffer, 8u);
  EXPECT_EQ(std::string(context.ResponseData().begin(), context.ResponseData().end()), "HTTP/1.1 200 OK\r\n");
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
