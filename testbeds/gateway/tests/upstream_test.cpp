// Publishing an upstream server: what it is sent, how its responses come
// back, and a server that is not there.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>

#include "gateway/upstream_site.h"
#include "gateway_fixture.h"
#include "host/http_framing.h"

namespace talverin::gateway_test {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;
using testing::SizeIs;

// A server that answers every request with the same response, written in
// the pieces given with a pause between them, and then closes.
class Upstream {
 public:
  explicit Upstream(std::vector<std::string> pieces, int pauseMilliseconds = 0)
      : pieces_(std::move(pieces)), pause_(pauseMilliseconds) {
    listener_.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(listener_.Get(), 16) != 0) return;
    getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Upstream() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  uint16_t Port() const { return port_; }
  std::vector<std::string> Requests() const {
    std::lock_guard<std::mutex> lock(lock_);
    return requests_;
  }

 private:
  void Run() {
    while (!stop_) {
      if (gateway::WaitReadable(listener_.Get(), 50) != gateway::WaitResult::Readable) continue;
      gateway::UniqueSocket connection(accept(listener_.Get(), nullptr, nullptr));
      if (!connection) continue;
      std::string request;
      char piece[4096];
      host::Frame frame;
      while ((frame = host::FrameRequest(request)).status == host::FrameStatus::Incomplete) {
        if (gateway::WaitReadable(connection.Get(), 5000) != gateway::WaitResult::Readable) break;
        int got = recv(connection.Get(), piece, sizeof piece, 0);
        if (got <= 0) break;
        request.append(piece, static_cast<size_t>(got));
      }
      {
        std::lock_guard<std::mutex> lock(lock_);
        requests_.push_back(request);
      }
      for (const std::string& part : pieces_) {
        if (!gateway::SendAll(connection.Get(), part)) break;
        if (pause_) Sleep(pause_);
      }
      gateway::CloseGracefully(connection, 1000);
    }
  }

  gateway::WinsockSession winsock_;
  std::vector<std::string> pieces_;
  int pause_;
  gateway::UniqueSocket listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

std::string Chunk(const std::string& data) {
  char size[16];
  std::snprintf(size, sizeof size, "%zx", data.size());
  return std::string(size) + "\r\n" + data + "\r\n";
}

class GatewayUpstreamTest : public GatewayTest {
 protected:
  void Publish(const Upstream& upstream, GatewayOptions options = {}, const std::string& lines = {}) {
    Start("site = http://127.0.0.1:" + std::to_string(upstream.Port()) + "/\n" + lines, {}, std::move(options));
  }
};

const std::string kChunkedHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive, X-Hop\r\n"
    "X-Hop: 1\r\nX-Site: upstream\r\n\r\n";

TEST_F(GatewayUpstreamTest, ChunkedResponseReachesTheClientDecodedWithItsLength) {
  const std::string body = "PUBSITE page=/public/upstream\nhello from upstream\n";
  Upstream upstream({kChunkedHead, Chunk(body.substr(0, 10)), Chunk(body.substr(10)), "0\r\n\r\n"}, 20);
  Publish(upstream);
  HttpClient client(Port());
  std::optional<Response> response = client.Exchange(Get("/public/upstream"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 200);
  EXPECT_EQ(response->body, body);
  EXPECT_EQ(response->Header("Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(response->Header("Transfer-Encoding"), "");
  EXPECT_EQ(response->Header("X-Hop"), "") << "named in the upstream's Connection field";
  EXPECT_EQ(response->Header("Connection"), "");
  EXPECT_EQ(response->Header("X-Site"), "upstream");
  // The client's connection is the gateway's: it stays open.
  ASSERT_TRUE(client.Exchange(Get("/public/upstream")));
  EXPECT_THAT(upstream.Requests(), SizeIs(2));
}

TEST_F(GatewayUpstreamTest, UpstreamIsSentTheRequestAsTheProxyLetsItThroughWithTheUser) {
  Upstream upstream({"HTTP/1.1 204 No Content\r\n\r\n"});
  Publish(upstream);
  const std::string key = LogOn();
  HttpClient client(Port());
  std::string body = "a=1&b=2";
  std::string request = "POST /owa/inbox.html?x=1 HTTP/1.1\r\nHost: mail.contoso.test\r\nCookie: cadata=" + key +
                        "\r\nConnection: keep-alive, X-Hop\r\nX-Hop: secret\r\nX-Forwarded-User: forged\r\n"
                        "Transfer-Encoding: chunked\r\n\r\n" +
                        Chunk(body) + "0\r\n\r\n";
  std::optional<Response> response = client.Exchange(request);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 204);

  ASSERT_THAT(upstream.Requests(), SizeIs(1));
  const std::string seen = upstream.Requests()[0];
  host::HeaderBlock head = host::HeaderBlock::Parse(seen);
  EXPECT_EQ(head.FirstLine(), "POST /owa/inbox.html?x=1 HTTP/1.1");
  EXPECT_EQ(head.Get("Host"), "mail.contoso.test");
  EXPECT_EQ(head.Get("X-Forwarded-User"), "CONTOSO\\alice");
  EXPECT_EQ(head.Get("X-Forwarded-For"), "127.0.0.1");
  EXPECT_EQ(head.Get("Content-Length"), std::to_string(body.size()));
  EXPECT_EQ(head.Get("Connection"), "close");
  EXPECT_FALSE(head.Get("X-Hop"));
  EXPECT_FALSE(head.Get("Transfer-Encoding"));
  EXPECT_EQ(seen.substr(seen.size() - body.size()), body);
}

TEST_F(GatewayUpstreamTest, ProtectedPagesStillNeedTheLogon) {
  Upstream upstream({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"});
  Publish(upstream);
  HttpClient client(Port());
  std::optional<Response> response = client.Exchange(Get("/owa/"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 302);
  EXPECT_THAT(upstream.Requests(), IsEmpty());
}

TEST_F(GatewayUpstreamTest, ServerThatIsNotThereGivesBadGateway) {
  uint16_t port = 0;
  {
    Upstream gone({});
    port = gone.Port();
  }
  Start("site = http://127.0.0.1:" + std::to_string(port) + "\n");
  HttpClient client(Port());
  for (int i = 0; i < 2; ++i) {
    std::optional<Response> response = client.Exchange(Get("/public/"));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status, 502);
    EXPECT_THAT(response->body, HasSubstr("cannot be reached"));
  }
  EXPECT_THAT(AccessLog(), ElementsAre(testing::EndsWith("-> 502"), testing::EndsWith("-> 502")));
}

TEST_F(GatewayUpstreamTest, ServerThatSendsNoWholeResponseGivesBadGateway) {
  Upstream upstream({"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\ntoo short"});
  Publish(upstream);
  HttpClient client(Port());
  std::optional<Response> response = client.Exchange(Get("/public/"));
  ASSERT_TRUE(response);
  EXPECT_EQ(response->status, 502);
  EXPECT_THAT(response->body, Not(HasSubstr("too short")));
}

TEST_F(GatewayUpstreamTest, FilterSeesTheBodyInThePiecesInWhichItArrived) {
  const std::vector<std::string> parts = {"PUBSITE page=/public/\n", std::string(40, 'a'), std::string(300, 'b')};
  Upstream upstream({kChunkedHead, Chunk(parts[0]), Chunk(parts[1]), Chunk(parts[2]), "0\r\n\r\n"}, 300);
  GatewayOptions options;
  options.serverVariables = {{"PROBE_SEND_RAW_DATA", "rawsize"}};
  Publish(upstream, options, "filter = " + ProbeFilterPath() + "\n[proxy]\nresponse-chunk = 256\n");
  HttpClient client(Port());
  ASSERT_TRUE(client.Send(Get("/public/", {{"Connection", "close"}})));
  EXPECT_TRUE(client.ServerCloses(20000));
  std::vector<unsigned long> sizes;
  const std::string& text = client.Received();
  for (size_t at = text.find("probe: raw "); at != std::string::npos; at = text.find("probe: raw ", at + 1)) {
    sizes.push_back(std::strtoul(text.c_str() + at + 11, nullptr, 10));
  }
  // The header block, then the body as it came; the gateway reads at most
  // the proxy's size at a time, so the large chunk ("12c\r\n" and its 300
  // bytes) comes in two reads.
  ASSERT_THAT(sizes, SizeIs(5));
  EXPECT_THAT(std::vector<unsigned long>(sizes.begin() + 1, sizes.end()),
              ElementsAre(parts[0].size(), parts[1].size(), 256 - 5, 300 - (256 - 5)));
}

}  // namespace
}  // namespace talverin::gateway_test
