#include "http_client.h"

#include "host/fba.h"
#include "host/http_framing.h"

namespace talverin::gateway_test {

std::string Request(const std::string& method, const std::string& url, uint16_t port, const Fields& fields,
                    const std::string& body) {
  std::string text = method + " " + url + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
  for (const auto& [name, value] : fields) text += name + ": " + value + "\r\n";
  if (!body.empty() || method == "POST") text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
}

std::string FormBody(const Fields& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (!body.empty()) body += "&";
    body += host::PercentEncodeUrl(name) + "=" + host::PercentEncodeUrl(value);
  }
  return body;
}

HttpClient::HttpClient(uint16_t port) {
  std::string error;
  socket_ = gateway::ConnectTo("127.0.0.1", port, &error);
}

bool HttpClient::Send(std::string_view bytes) { return socket_ && gateway::SendAll(socket_.Get(), bytes); }

std::optional<Response> HttpClient::Read(const std::string& method, int milliseconds) {
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
  char piece[8192];
  while (true) {
    host::Frame frame = host::FrameResponse(buffer_, method, closed_);
    if (frame.status == host::FrameStatus::Complete) {
      Response response;
      response.raw = buffer_.substr(0, frame.length);
      response.headers = host::HeaderBlock::Parse(std::string_view(buffer_).substr(0, frame.headerBytes));
      response.status = std::atoi(buffer_.c_str() + 9);
      response.body = host::BodyOf(buffer_, frame);
      buffer_.erase(0, frame.length);
      return response;
    }
    if (frame.status != host::FrameStatus::Incomplete || closed_ || !socket_) return std::nullopt;
    ULONGLONG now = GetTickCount64();
    if (now >= deadline) return std::nullopt;
    if (gateway::WaitReadable(socket_.Get(), static_cast<int>(deadline - now)) != gateway::WaitResult::Readable) {
      return std::nullopt;
    }
    int got = recv(socket_.Get(), piece, sizeof piece, 0);
    if (got <= 0) {
      closed_ = true;
      continue;
    }
    buffer_.append(piece, static_cast<size_t>(got));
    received_.append(piece, static_cast<size_t>(got));
  }
}

std::optional<Response> HttpClient::Exchange(const std::string& request, const std::string& method) {
  if (!Send(request)) return std::nullopt;
  return Read(method);
}

bool HttpClient::ServerCloses(int milliseconds) {
  if (closed_) return true;
  ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(milliseconds);
  char piece[4096];
  for (ULONGLONG now = GetTickCount64(); now < deadline; now = GetTickCount64()) {
    if (gateway::WaitReadable(socket_.Get(), static_cast<int>(deadline - now)) != gateway::WaitResult::Readable) {
      return false;
    }
    int got = recv(socket_.Get(), piece, sizeof piece, 0);
    if (got <= 0) {
      closed_ = true;
      return true;
    }
    buffer_.append(piece, static_cast<size_t>(got));
    received_.append(piece, static_cast<size_t>(got));
  }
  return false;
}

std::string CookieSetBy(const Response& response, const std::string& name) {
  for (const auto& [field, value] : response.headers.Fields()) {
    if (!host::EqualsIgnoringCase(field, "Set-Cookie") || value.compare(0, name.size() + 1, name + "=") != 0) continue;
    return value.substr(name.size() + 1, value.find(';') - name.size() - 1);
  }
  return {};
}

}  // namespace talverin::gateway_test
