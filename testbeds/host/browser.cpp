#include "host/browser.h"

#include <cstdlib>

#include "host/fba.h"
#include "host/isa_config.h"

namespace talverin::host {
namespace {

std::string FormEncode(const std::string& text) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                 c == '.' || c == '~';
    if (plain) {
      out += c;
    } else if (c == ' ') {
      out += '+';
    } else {
      auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += digits[byte >> 4];
      out += digits[byte & 0xF];
    }
  }
  return out;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A cookie is removed by an empty value, a Max-Age of zero or less, or an
// expiry date in a year long past.
bool RemovesCookie(const std::string& value, const std::string& attributes) {
  if (value.empty() || value == "\"\"") return true;
  std::string lower = ToLowerAscii(attributes);
  if (size_t at = lower.find("max-age="); at != std::string::npos && std::atoi(lower.c_str() + at + 8) <= 0) {
    return true;
  }
  if (size_t at = lower.find("expires="); at != std::string::npos) {
    size_t end = lower.find(';', at);
    std::string date = lower.substr(at + 8, end == std::string::npos ? std::string::npos : end - at - 8);
    for (size_t i = 0; i + 4 <= date.size(); ++i) {
      int year = std::atoi(date.c_str() + i);
      if (year >= 1900 && year < 2000 && date.find_first_not_of("0123456789", i) == i + 4) return true;
    }
  }
  return false;
}

}  // namespace

std::vector<std::string> Reply::SetCookies() const {
  std::vector<std::string> lines;
  for (const auto& [name, value] : headers.Fields()) {
    if (EqualsIgnoringCase(name, "Set-Cookie")) lines.push_back(value);
  }
  return lines;
}

Reply ReadReply(const std::string& raw) {
  Reply reply;
  reply.raw = raw;
  size_t end = raw.find("\r\n\r\n");
  if (raw.compare(0, 5, "HTTP/") != 0 || end == std::string::npos) return reply;
  reply.headers = HeaderBlock::Parse(std::string_view(raw).substr(0, end + 4));
  const std::string& line = reply.headers.FirstLine();
  size_t blank = line.find(' ');
  if (blank != std::string::npos) reply.status = std::atoi(line.c_str() + blank + 1);
  reply.body = raw.substr(end + 4);
  return reply;
}

std::string PathOfLocation(const std::string& location) {
  size_t scheme = location.find("://");
  if (scheme == std::string::npos) return location;
  size_t slash = location.find('/', scheme + 3);
  return slash == std::string::npos ? "/" : location.substr(slash);
}

Browser::Browser(IsaServer& server, BrowserOptions options) : server_(server), options_(std::move(options)) {}

std::string Browser::Origin() const { return std::string(options_.client.secure ? "https://" : "http://") + options_.host; }

std::string Browser::Compose(const std::string& method, const std::string& url, const std::string& body,
                             const HeaderList& extra) const {
  return ComposeWithReferer(method, url, body, extra, page_);
}

std::string Browser::ComposeWithReferer(const std::string& method, const std::string& url, const std::string& body,
                                        const HeaderList& extra, const std::string& referer) const {
  std::string request = method + " " + url + " HTTP/1.1\r\nHost: " + options_.host +
                        "\r\nUser-Agent: Mozilla/5.0 (talverin test browser)\r\nAccept: */*\r\n";
  if (!referer.empty()) request += "Referer: " + referer + "\r\n";
  if (!cookies_.empty()) {
    std::string cookie;
    for (const auto& [name, value] : cookies_) cookie += (cookie.empty() ? "" : "; ") + name + "=" + value;
    request += "Cookie: " + cookie + "\r\n";
  }
  request += options_.keepAlive ? "Connection: Keep-Alive\r\n" : "Connection: close\r\n";
  for (const auto& [name, value] : extra) request += name + ": " + value + "\r\n";
  if (method == "POST" || !body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return request + "\r\n" + body;
}

Reply Browser::Get(const std::string& url, const HeaderList& extra) { return Send("GET", url, {}, extra); }

Reply Browser::PostForm(const std::string& url, const FormList& fields, const HeaderList& extra) {
  std::string body;
  for (const auto& [name, value] : fields) body += (body.empty() ? "" : "&") + FormEncode(name) + "=" + FormEncode(value);
  HeaderList headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  headers.insert(headers.end(), extra.begin(), extra.end());
  return Send("POST", url, body, headers);
}

Reply Browser::Send(const std::string& method, const std::string& url, const std::string& body,
                    const HeaderList& extra) {
  return Exchange(url, {Compose(method, url, body, extra)});
}

Reply Browser::SendRaw(const std::string& url, const std::string& bytes) { return Exchange(url, {bytes}); }

Reply Browser::SendPieces(const std::string& url, const std::vector<std::string>& pieces) {
  return Exchange(url, pieces);
}

Reply Browser::Exchange(const std::string& url, const std::vector<std::string>& pieces) {
  if (!connection_ || connection_->IsClosed()) connection_ = server_.Connect(options_.client);
  std::string bytes;
  std::vector<std::string_view> chunks;
  for (const std::string& piece : pieces) {
    bytes += piece;
    chunks.push_back(piece);
  }
  talverin::host::Exchange exchange = server_.Handle(*connection_, chunks);
  Reply reply = ReadReply(exchange.sent);
  reply.url = url;
  reply.referer = HeaderBlock::Parse(bytes).Get("Referer").value_or("");
  // The page on display: what the browser refers to from its next request.
  if (reply.status < 300 || reply.status > 399) page_ = Origin() + url;
  reply.end = exchange.end;
  reply.connectionClosed = exchange.connectionClosed;
  reply.user = exchange.user;
  if (!options_.keepAlive) connection_.reset();
  TakeCookies(reply);
  history_.push_back(reply);
  return reply;
}

void Browser::TakeCookies(const Reply& reply) {
  for (const std::string& line : reply.SetCookies()) {
    size_t semicolon = line.find(';');
    std::string pair = line.substr(0, semicolon);
    std::string attributes = semicolon == std::string::npos ? std::string() : line.substr(semicolon + 1);
    size_t equals = pair.find('=');
    if (equals == std::string::npos) continue;
    std::string name = Trim(pair.substr(0, equals));
    std::string value = Trim(pair.substr(equals + 1));
    if (RemovesCookie(value, attributes)) {
      cookies_.erase(name);
    } else {
      cookies_[name] = value;
    }
  }
}

std::optional<Reply> Browser::Follow(const Reply& reply) {
  if (reply.status < 300 || reply.status > 399) return std::nullopt;
  std::string location = reply.Header("Location");
  if (location.empty()) return std::nullopt;
  // A redirect keeps the referrer of the request that was redirected.
  std::string url = PathOfLocation(location);
  return Exchange(url, {ComposeWithReferer("GET", url, {}, {}, reply.referer)});
}

Reply Browser::Visit(const std::string& url, int hops) { return FollowAll(Get(url), hops); }

Reply Browser::FollowAll(Reply reply, int hops) {
  while (hops-- > 0) {
    std::optional<Reply> next = Follow(reply);
    if (!next) break;
    reply = std::move(*next);
  }
  return reply;
}

std::optional<std::string> Browser::Cookie(const std::string& name) const {
  auto it = cookies_.find(name);
  if (it == cookies_.end()) return std::nullopt;
  return it->second;
}

}  // namespace talverin::host
