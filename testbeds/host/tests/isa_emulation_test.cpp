// What the filter's road tests take on trust from the emulated proxy and could not see go wrong: the request and
// the response cut into raw-data chunks as the proxy cuts them, judged with no filter loaded.
#include <gmock/gmock.h>

#include "host/isa_server.h"

namespace talverin::host {
namespace {

// A server behind the proxy that answers with one body in the pieces it names.
struct PiecewiseSite : SiteServer {
  SiteResponse Serve(const SiteRequest&) override {
    SiteResponse response;
    response.headers = {{"Content-Type", "text/plain"}};
    response.body = std::string(kSiteMarker) + " page=/scripted\n" + std::string(100, 'x');
    response.bodyChunks = {5, 100, 18};
    return response;
  }
};

TEST(IsaEmulationTest, RequestAndResponseArePresentedInChunksAsTheyArrivedAndCutOnlyWhenTooLarge) {
  FilterModule module;
  PiecewiseSite site;
  IsaOptions options;
  options.requestChunkBytes = 16;
  options.responseChunkBytes = 64;
  IsaServer server(module, ParseListeners("[listener]\nname = A\npersistent-name = {A}\ncookie-name = c\n"), {}, site,
                   options);
  auto connection = server.Connect({});
  Exchange exchange = server.Handle(*connection, {"GET /public/ HTTP/1.1\r\n", "Host: h\r\n", "\r\n"});
  EXPECT_TRUE(CarriesSitePage(exchange.sent, "/scripted"));
  size_t reads = 0;
  for (const NotificationResult& n : connection->Filter().Notifications()) reads += n.type == SF_NOTIFY_READ_RAW_DATA;
  EXPECT_EQ(reads, 4u) << "16 + 7, then 9 and 2";
  // The header block (66 bytes) in pieces of the proxy's size; then the body
  // as it came, a piece larger than the proxy's size cut.
  std::vector<size_t> sent;
  for (const ClientWrite& write : connection->Filter().ClientWrites()) {
    if (write.source == ClientBytesSource::RawSend) sent.push_back(write.bytes.size());
  }
  EXPECT_THAT(sent, testing::ElementsAre(64, 2, 5, 64, 36, 18));
  EXPECT_THAT(exchange.sent, testing::HasSubstr("Content-Length: 123\r\n"));
}

}  // namespace
}  // namespace talverin::host
