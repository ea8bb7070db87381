#pragma once
// A plain HTTP client for the gateway's tests: one socket, bytes sent exactly
// as the test writes them, responses framed as they come.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gateway/socket.h"
#include "host/header_block.h"

namespace talverin::gateway_test {

struct Response {
  int status = 0;
  host::HeaderBlock headers;
  std::string body;  // decoded
  std::string raw;   // as received
  std::string Header(std::string_view name) const { return headers.Get(name).value_or(""); }
};

using Fields = std::vector<std::pair<std::string, std::string>>;

// "GET /x HTTP/1.1" with Host and the fields given, and the body with its
// Content-Length when there is one.
std::string Request(const std::string& method, const std::string& url, uint16_t port, const Fields& fields = {},
                    const std::string& body = {});
// A form body, percent-encoded.
std::string FormBody(const Fields& fields);

class HttpClient {
 public:
  explicit HttpClient(uint16_t port);
  bool Connected() const { return socket_.IsValid(); }
  bool Send(std::string_view bytes);
  // The next whole response; nullopt when the connection ended or nothing
  // whole came within the time.
  std::optional<Response> Read(const std::string& method = "GET", int milliseconds = 20000);
  // Send, then Read.
  std::optional<Response> Exchange(const std::string& request, const std::string& method = "GET");
  // Whether the server ends the connection within the time (no more bytes).
  bool ServerCloses(int milliseconds);
  // Everything received so far.
  const std::string& Received() const { return received_; }

 private:
  gateway::UniqueSocket socket_;
  std::string buffer_;  // received, not yet read as a response
  std::string received_;
  bool closed_ = false;
};

// The value of a cookie that a response sets ("cadata=XYZ; path=/").
std::string CookieSetBy(const Response& response, const std::string& name);

}  // namespace talverin::gateway_test
