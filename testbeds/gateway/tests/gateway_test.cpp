// The gateway on real sockets: keep-alive, request framing, pipelining,
// closing, idle connections, refused requests, concurrent clients, and the
// pieces in which requests reach the filter.
#include <atomic>
#include <cstdio>
#include <thread>

#include "gateway_fixture.h"
#include "host/published_site.h"

namespace talverin::gateway_test {
namespace {

using testing::AllOf;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing::SizeIs;
using testing::StartsWith;

// The sizes in the probe filter's "probe: raw N" lines, in order.
std::vector<unsigned long> ProbeRawSizes(const std::string& text) {
  std::vector<unsigned long> sizes;
  for (size_t at = text.find("probe: raw "); at != std::string::npos; at = text.find("probe: raw ", at + 1)) {
    unsigned long size = 0;
    if (std::sscanf(text.c_str() + at, "probe: raw %lu", &size) == 1) sizes.push_back(size);
  }
  return sizes;
}

TEST_F(GatewayTest, KeptAliveConnectionCarriesSeveralRequests) {
  Start();
  HttpClient client(Port());
  ASSERT_TRUE(client.Connected());
  std::optional<Response> page = client.Exchange(Get("/public/"));
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_TRUE(host::CarriesSitePage(page->body, "/public/"));

  std::optional<Response> redirect = client.Exchange(Get("/owa/"));
  ASSERT_TRUE(redirect);
  EXPECT_EQ(redirect->status, 302);
  // Plain HTTP, and the host the browser named.
  EXPECT_EQ(redirect->Header("Location"), "http://127.0.0.1:" + std::to_string(Port()) +
                                              "/CookieAuth.dll?GetLogon?curl=/owa/&reason=0&formdir=1");

  std::optional<Response> other = client.Exchange(Get("/public/info.html", {{"Host", "mail.contoso.test:8443"}}));
  ASSERT_TRUE(other);
  EXPECT_TRUE(host::CarriesSitePage(other->body, "/public/info.html"));

  const auto& received = gateway_->BuiltinSite()->Received();
  ASSERT_THAT(received, SizeIs(2));
  EXPECT_EQ(received[0].client, received[1].client) << "one connection";
  EXPECT_THAT(AccessLog(), ElementsAre(MatchesRegex("127\\.0\\.0\\.1:\\d+ \"GET /public/\" -> 200"),
                                       MatchesRegex(".* \"GET /owa/\" -> 302"),
                                       MatchesRegex(".* \"GET /public/info.html\" -> 200")));
}

TEST_F(GatewayTest, ChunkedLogonPostSentInSeveralPiecesLogsOn) {
  Start();
  const std::string body = FormBody({{"curl", "/owa/inbox.html"}, {"username", "CONTOSO\\alice"}, {"password", "Alice-2fa!"}});
  char sizes[2][16];
  std::snprintf(sizes[0], sizeof sizes[0], "%zx", body.size() / 2);
  std::snprintf(sizes[1], sizeof sizes[1], "%zx", body.size() - body.size() / 2);
  const std::vector<std::string> pieces = {
      "POST /CookieAuth.dll?Logon HTTP/1.1\r\nHost: 127.0.0.1\r\n",
      "Content-Type: application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\n\r\n",
      std::string(sizes[0]) + "\r\n" + body.substr(0, body.size() / 2) + "\r\n",
      std::string(sizes[1]) + "\r\n" + body.substr(body.size() / 2) + "\r\n",
      "0\r\n\r\n"};
  HttpClient client(Port());
  for (const std::string& piece : pieces) {
    ASSERT_TRUE(client.Send(piece));
    Sleep(50);
  }
  std::optional<Response> logon = client.Read();
  ASSERT_TRUE(logon);
  EXPECT_EQ(logon->status, 302) << logon->raw;
  EXPECT_EQ(logon->Header("Location"), "http://127.0.0.1/owa/inbox.html");
  const std::string key = CookieSetBy(*logon, "cadata");
  ASSERT_EQ(key.size(), 32u);

  std::optional<Response> page = client.Exchange(Get("/owa/inbox.html", {{"Cookie", "cadata=" + key}}));
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_THAT(page->body, HasSubstr("Inbox of CONTOSO\\alice"));
}

TEST_F(GatewayTest, ClientThatExpectsContinueIsToldToSendItsBody) {
  Start();
  const std::string post = LogonPost();
  const size_t split = post.find("\r\n\r\n") + 4;
  std::string head = post.substr(0, split - 2) + "Expect: 100-continue\r\n\r\n";
  HttpClient client(Port());
  std::optional<Response> interim = client.Exchange(head);
  ASSERT_TRUE(interim);
  EXPECT_EQ(interim->status, 100);
  std::optional<Response> logon = client.Exchange(post.substr(split));
  ASSERT_TRUE(logon);
  EXPECT_EQ(logon->status, 302);
  EXPECT_EQ(CookieSetBy(*logon, "cadata").size(), 32u);
}

TEST_F(GatewayTest, PipelinedRequestsAreAnsweredInOrder) {
  Start();
  HttpClient client(Port());
  ASSERT_TRUE(client.Send(Get("/public/") + LogonPost("wrong") + Get("/public/info.html")));
  std::optional<Response> first = client.Read();
  std::optional<Response> second = client.Read();
  std::optional<Response> third = client.Read();
  ASSERT_TRUE(first && second && third);
  EXPECT_TRUE(host::CarriesSitePage(first->body, "/public/"));
  EXPECT_EQ(second->status, 302);
  EXPECT_THAT(second->Header("Location"), HasSubstr("reason=2"));
  EXPECT_TRUE(host::CarriesSitePage(third->body, "/public/info.html"));
  EXPECT_FALSE(client.ServerCloses(200));
}

TEST_F(GatewayTest, ConnectionCloseAndHttp10EndTheConnectionAfterTheAnswer) {
  Start();
  HttpClient closing(Port());
  std::optional<Response> answer = closing.Exchange(Get("/public/", {{"Connection", "close"}}));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_TRUE(closing.ServerCloses(5000));

  HttpClient old(Port());
  ASSERT_TRUE(old.Exchange("GET /public/ HTTP/1.0\r\n\r\n"));
  EXPECT_TRUE(old.ServerCloses(5000));

  HttpClient kept(Port());
  std::optional<Response> first = kept.Exchange("GET /public/ HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Header("Connection"), "Keep-Alive");
  std::optional<Response> again = kept.Exchange("GET /public/info.html HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 200);
}

TEST_F(GatewayTest, IdleConnectionsAreClosedAfterTheIdleTime) {
  Start("idle-seconds = 1\n");
  HttpClient used(Port());
  HttpClient silent(Port());
  ASSERT_TRUE(used.Exchange(Get("/public/")));
  EXPECT_FALSE(used.ServerCloses(300)) << "not idle long enough yet";
  EXPECT_TRUE(used.ServerCloses(5000));
  EXPECT_TRUE(silent.ServerCloses(5000));
}

struct Refusal {
  const char* name;
  std::string request;
  int status;
};

class GatewayRefusalTest : public GatewayTest, public testing::WithParamInterface<Refusal> {};

TEST_P(GatewayRefusalTest, IsAnsweredAndTheConnectionClosed) {
  Start();
  HttpClient client(Port());
  std::optional<Response> answer = client.Exchange(GetParam().request);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, GetParam().status);
  EXPECT_EQ(answer->Header("Connection"), "close");
  EXPECT_TRUE(client.ServerCloses(5000));
  EXPECT_THAT(gateway_->BuiltinSite()->Received(), testing::IsEmpty());
  EXPECT_THAT(AccessLog(), ElementsAre(testing::EndsWith("-> " + std::to_string(GetParam().status))));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, GatewayRefusalTest,
    testing::Values(Refusal{"Garbage", "hello there\r\n\r\n", 400},
                    Refusal{"BareLineFeeds", "GET /public/ HTTP/1.1\nHost: h\n\n", 400},
                    Refusal{"BadChunk", "POST /public/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nxyz\r\n", 400},
                    Refusal{"HugeHeaderBlock", "GET /public/ HTTP/1.1\r\nX-Big: " + std::string(70000, 'a'), 413},
                    Refusal{"HugeBody", "POST /public/ HTTP/1.1\r\nContent-Length: 999999999\r\n\r\n", 413}),
    [](const testing::TestParamInfo<Refusal>& info) { return info.param.name; });

TEST_F(GatewayTest, ConcurrentClientsAreAllServedByFewerWorkers) {
  Start("threads = 2\n");
  const std::string key = LogOn();
  constexpr int kClients = 6, kRounds = 15;
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&] {
      HttpClient client(Port());
      for (int round = 0; round < kRounds; ++round) {
        std::optional<Response> page = client.Exchange(Get("/owa/", {{"Cookie", "cadata=" + key}}));
        std::optional<Response> pub = client.Exchange(Get("/public/info.html"));
        if (page && page->status == 200 && host::CarriesSitePage(page->body, "/owa/") && pub && pub->status == 200) ++good;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(good.load(), kClients * kRounds);
}

TEST_F(GatewayTest, StopLetsTheRunningRequestFinishAndClosesIdleConnections) {
  Start("download-kib = 16384\n");
  const std::string key = LogOn();
  HttpClient idle(Port());
  ASSERT_TRUE(idle.Exchange(Get("/public/")));
  HttpClient downloading(Port());
  ASSERT_TRUE(downloading.Send(Get("/download/big.bin", {{"Cookie", "cadata=" + key}})));
  // The download is under way when the stop comes.
  ASSERT_TRUE(downloading.WaitForBytes(1, 10000));
  std::thread stopper([&] { gateway_->Stop(); });
  std::optional<Response> download = downloading.Read();
  stopper.join();
  ASSERT_TRUE(download);
  EXPECT_EQ(download->body.size(), 16384u * 1024);
  EXPECT_TRUE(idle.ServerCloses(2000));
  EXPECT_FALSE(HttpClient(Port()).Connected());
}

TEST_F(GatewayTest, FilterSeesEachPieceOfTheRequestAsItArrived) {
  GatewayOptions options;
  options.serverVariables = {{"PROBE_READ_RAW_DATA", "rawsize"}};
  Start("filter = " + ProbeFilterPath() + "\n", {}, options);
  const std::vector<std::string> pieces = {"GET /public/ HTTP/1.1\r\n", "Host: h\r\nConnection: close\r\n", "\r\n"};
  HttpClient client(Port());
  for (const std::string& piece : pieces) {
    ASSERT_TRUE(client.Send(piece));
    Sleep(300);
  }
  EXPECT_TRUE(client.ServerCloses(10000));
  EXPECT_THAT(ProbeRawSizes(client.Received()), ElementsAre(pieces[0].size(), pieces[1].size(), pieces[2].size()));
  EXPECT_TRUE(host::CarriesSitePage(client.Received(), "/public/"));
}

TEST_F(GatewayTest, ReloadReachesTheFilterAndTellsItsAnswer) {
  Start("filter = " + ProbeFilterPath() + "\n");
  EXPECT_EQ(gateway_->Reload(), "Filter configuration reloaded");
  SetEnvironmentVariableA("PROBE_FAIL_ReloadWPXFilterConfiguration", "1359");
  EXPECT_EQ(gateway_->Reload(), "Filter configuration not reloaded: ReloadWPXFilterConfiguration failed (last error 1359)");
  SetEnvironmentVariableA("PROBE_FAIL_ReloadWPXFilterConfiguration", nullptr);
}

TEST_F(GatewayTest, ReloadWithoutAFilterSaysSo) {
  Start();
  EXPECT_THAT(gateway_->Reload(), StartsWith("No filter is loaded"));
}

}  // namespace
}  // namespace talverin::gateway_test
