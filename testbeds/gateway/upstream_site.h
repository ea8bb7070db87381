#pragma once
// A web server behind the gateway, published in place of the built-in site:
// each request the proxy lets through is sent to it on a connection of its
// own, and its response comes back whole, its body decoded from chunked
// coding and the sizes of the pieces in which it arrived kept for the
// proxy's send notifications.
#include <cstdint>
#include <string>

#include "host/published_site.h"

namespace talverin::gateway {

class UpstreamSite : public host::SiteServer {
 public:
  // `pieceBytes`: how much one read from the server takes at most.
  UpstreamSite(std::string host, uint16_t port, size_t pieceBytes, int timeoutSeconds = 30);

  // 502 when the server cannot be reached or answers nothing readable, 504
  // when it does not answer in time.
  host::SiteResponse Serve(const host::SiteRequest& request) override;

 private:
  std::string host_;
  uint16_t port_;
  size_t pieceBytes_;
  int timeoutSeconds_;
};

// Whether a header field is the connection's business and is not forwarded
// (Connection, Keep-Alive, Transfer-Encoding, ..., and the fields the
// Connection field names).
bool IsHopByHop(const std::string& name, const std::string& connectionField);

}  // namespace talverin::gateway
