#include "gateway/upstream_site.h"

#include <cstdlib>
#include <utility>

#include "gateway/socket.h"
#include "host/fba.h"
#include "host/header_block.h"
#include "host/http_framing.h"

namespace talverin::gateway {
namespace {

using host::EqualsIgnoringCase;

host::SiteResponse Failure(int status, const char* reason, const std::string& text) {
  host::SiteResponse response;
  response.status = status;
  response.reason = reason;
  response.headers = {{"Content-Type", "text/html"}, {"Cache-Control", "no-cache"}};
  response.body = host::ProxyMessagePage(reason, text);
  return response;
}

bool NamedIn(const std::string& name, const std::string& list) {
  size_t at = 0;
  while (at <= list.size()) {
    size_t comma = list.find(',', at);
    if (comma == std::string::npos) comma = list.size();
    std::string token = list.substr(at, comma - at);
    size_t first = token.find_first_not_of(" \t"), last = token.find_last_not_of(" \t");
    if (first != std::string::npos && EqualsIgnoringCase(token.substr(first, last - first + 1), name)) return true;
    at = comma + 1;
  }
  return false;
}

std::string ValueOf(const std::vector<std::pair<std::string, std::string>>& fields, const char* name) {
  for (const auto& [field, value] : fields) {
    if (EqualsIgnoringCase(field, name)) return value;
  }
  return {};
}

}  // namespace

bool IsHopByHop(const std::string& name, const std::string& connectionField) {
  for (const char* hop : {"Connection", "Keep-Alive", "Proxy-Connection", "Proxy-Authenticate", "Proxy-Authorization",
                          "TE", "Trailer", "Transfer-Encoding", "Upgrade"}) {
    if (EqualsIgnoringCase(name, hop)) return true;
  }
  return NamedIn(name, connectionField);
}

UpstreamSite::UpstreamSite(std::string host, uint16_t port, size_t pieceBytes, int timeoutSeconds)
    : host_(std::move(host)), port_(port), pieceBytes_(pieceBytes ? pieceBytes : 1), timeoutSeconds_(timeoutSeconds) {}

host::SiteResponse UpstreamSite::Serve(const host::SiteRequest& request) {
  std::string error;
  UniqueSocket socket = ConnectTo(host_, port_, &error);
  if (!socket) return Failure(502, "Bad Gateway", "The published server cannot be reached (" + error + ").");
  DWORD timeout = static_cast<DWORD>(timeoutSeconds_) * 1000;
  setsockopt(socket.Get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  setsockopt(socket.Get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);

  // The request as the proxy lets it through: its own connection fields
  // dropped, the body's length as decoded, and who the proxy let in.
  const std::string connectionField = ValueOf(request.headers, "Connection");
  std::string text = request.method + " " + request.url + " HTTP/1.1\r\n";
  bool hasHost = false;
  for (const auto& [name, value] : request.headers) {
    if (IsHopByHop(name, connectionField) || EqualsIgnoringCase(name, "Content-Length") ||
        EqualsIgnoringCase(name, "X-Forwarded-User") || EqualsIgnoringCase(name, "Expect")) {
      continue;
    }
    hasHost = hasHost || EqualsIgnoringCase(name, "Host");
    text += name + ": " + value + "\r\n";
  }
  if (!hasHost) text += "Host: " + host_ + ":" + std::to_string(port_) + "\r\n";
  if (!request.remoteAddress.empty()) text += "X-Forwarded-For: " + request.remoteAddress + "\r\n";
  if (!request.user.empty()) text += "X-Forwarded-User: " + request.user + "\r\n";
  if (!request.body.empty() || request.method == "POST" || request.method == "PUT") {
    text += "Content-Length: " + std::to_string(request.body.size()) + "\r\n";
  }
  text += "Connection: close\r\n\r\n";
  text += request.body;
  if (!SendAll(socket.Get(), text)) {
    return Failure(502, "Bad Gateway", "The published server took no request (" + SocketErrorText(WSAGetLastError()) + ").");
  }

  std::string bytes;
  std::vector<size_t> ends;  // where each read from the server ended in `bytes`
  std::string piece(pieceBytes_, '\0');
  bool closed = false;
  host::Frame frame;
  while (true) {
    frame = host::FrameResponse(bytes, request.method, closed);
    if (frame.status == host::FrameStatus::Complete) {
      int status = std::atoi(bytes.c_str() + 9);
      if (status < 100 || status >= 200) break;
      // An interim answer ("100 Continue") comes before the real one.
      bytes.erase(0, frame.length);
      std::vector<size_t> left;
      for (size_t end : ends) {
        if (end > frame.length) left.push_back(end - frame.length);
      }
      ends = std::move(left);
      continue;
    }
    if (frame.status != host::FrameStatus::Incomplete) {
      return Failure(502, "Bad Gateway", "The published server's response cannot be read (" + frame.problem + ").");
    }
    int got = recv(socket.Get(), piece.data(), static_cast<int>(piece.size()), 0);
    if (got < 0) {
      int failure = WSAGetLastError();
      if (failure == WSAETIMEDOUT) return Failure(504, "Gateway Timeout", "The published server did not answer in time.");
      return Failure(502, "Bad Gateway", "The published server's connection failed (" + SocketErrorText(failure) + ").");
    }
    if (got == 0) {
      closed = true;
      continue;
    }
    bytes.append(piece.data(), static_cast<size_t>(got));
    ends.push_back(bytes.size());
  }

  host::HeaderBlock head = host::HeaderBlock::Parse(std::string_view(bytes).substr(0, frame.headerBytes));
  host::SiteResponse response;
  const std::string& line = head.FirstLine();
  response.status = std::atoi(line.c_str() + 9);
  response.reason = line.size() > 13 ? line.substr(13) : std::string();
  const std::string responseConnection = head.Get("Connection").value_or("");
  for (const auto& [name, value] : head.Fields()) {
    if (IsHopByHop(name, responseConnection) || EqualsIgnoringCase(name, "Content-Length")) continue;
    response.headers.emplace_back(name, value);
  }
  // The content, and how much of it each read brought.
  std::vector<size_t> perRead(ends.size(), 0);
  size_t read = 0;
  for (const host::BodySpan& span : frame.body) {
    response.body.append(bytes, span.offset, span.length);
    size_t at = span.offset, left = span.length;
    while (left > 0) {
      while (ends[read] <= at) ++read;
      size_t take = std::min(left, ends[read] - at);
      perRead[read] += take;
      at += take;
      left -= take;
    }
  }
  for (size_t size : perRead) {
    if (size) response.bodyChunks.push_back(size);
  }
  return response;
}

}  // namespace talverin::gateway
