// Cost of splitting and querying the messages the filter sees on every
// request: a 1 KiB logon post and a response with a 4 KiB header block.
// Prints nanoseconds per operation.
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

#include "http/http_message.h"
#include "http/percent_coding.h"

namespace {

volatile std::size_t g_sink = 0;

std::string Pad(std::string text, std::size_t size, const std::string& padLinePrefix, const char* tail) {
  std::size_t n = 0;
  while (text.size() + std::string(tail).size() < size) {
    std::string line = padLinePrefix + std::to_string(n++) + ": ";
    line.append(60, 'v');
    line += "\r\n";
    if (text.size() + line.size() + std::string(tail).size() > size) break;
    text += line;
  }
  // One shorter line takes up the rest.
  const std::size_t rest = size - text.size() - std::string(tail).size();
  if (rest >= 9) text += "X-Fill: " + std::string(rest - 10, 'f') + "\r\n";
  return text + tail;
}

std::string LogonRequest() {
  const std::string body = "curl=Z2Fowa&flags=0&forcedownlevel=0&formdir=1&trusted=0&username=alice%40example.com"
                           "&password=Secret%21Pass&SubmitCreds=Log+On&isUtf8=1";
  std::string head =
      "POST /CookieAuth.dll?Logon HTTP/1.1\r\n"
      "Host: mail.example.com\r\n"
      "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko)\r\n"
      "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
      "Accept-Language: en-US,en;q=0.5\r\n"
      "Referer: https://mail.example.com/CookieAuth.dll?GetLogon?curl=Z2Fowa&reason=0&formdir=1\r\n"
      "Content-Type: application/x-www-form-urlencoded\r\n"
      "Cookie: logondata=acc=0&lgn=alice; PBack=0\r\n"
      "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return Pad(head, 1024 - body.size(), "X-Pad-", "\r\n") + body;
}

std::string ResponseHeaders() {
  const std::string head =
      "HTTP/1.1 302 Moved Temporarily\r\n"
      "Location: https://mail.example.com/owa/\r\n"
      "Set-Cookie: cadata=\"1abcdefghijklmnopqrstuvwxyz0123456789\"; HttpOnly; secure; path=/\r\n"
      "Set-Cookie: cadataTTL=\"\"; path=/\r\n"
      "Cache-Control: no-cache\r\n";
  return Pad(head, 4096, "X-Server-Info-", "Content-Length: 0\r\n\r\n");
}

template <class Work>
void Measure(const char* label, std::size_t iterations, Work work) {
  for (std::size_t i = 0; i < iterations / 10; ++i) g_sink = g_sink + work();  // warm-up
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < iterations; ++i) g_sink = g_sink + work();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const double ns = std::chrono::duration<double, std::nano>(elapsed).count() / static_cast<double>(iterations);
  std::printf("%-48s %10.0f ns/op\n", label, ns);
}

}  // namespace

int main() {
  const std::string request = LogonRequest();
  const std::string response = ResponseHeaders();
  std::printf("request: %zu bytes, response: %zu bytes\n", request.size(), response.size());
  const std::size_t n = 50000;

  Measure("request: split", n, [&] {
    return static_cast<std::size_t>(HttpMessage(request.data(), request.size()).HeadersComplete());
  });
  const HttpMessage post(request.data(), request.size());
  Measure("request: method + URL", n, [&] {
    return static_cast<std::size_t>(post.GetMethod()) + post.GetSecondToken().size();
  });
  Measure("request: IsBodyComplete", n, [&] { return static_cast<std::size_t>(post.IsBodyComplete()); });
  Measure("request: Cookie header", n, [&] { return post.GetHeaderValue("Cookie").size(); });
  Measure("request: form fields username + password", n, [&] {
    return post.GetFormField("username").size() + post.GetFormField("password").size();
  });
  Measure("request: duplicate check (2 names)", n, [&] {
    return post.GetFormFieldOccurrences("username").size() + post.GetFormFieldOccurrences("password").size();
  });
  Measure("request: split + empty credentials + serialize", n, [&] {
    HttpMessage m(request.data(), request.size());
    m.ReplaceFormFieldEncoded("username", "");
    m.ReplaceFormFieldEncoded("password", "");
    return m.Serialize().size();
  });

  Measure("response 4 KiB: split", n, [&] {
    return static_cast<std::size_t>(HttpMessage(response.data(), response.size()).HeadersComplete());
  });
  const HttpMessage reply(response.data(), response.size());
  Measure("response 4 KiB: status code", n, [&] { return static_cast<std::size_t>(reply.GetStatusCode()); });
  Measure("response 4 KiB: Location (early line)", n, [&] { return reply.GetHeaderValue("Location").size(); });
  Measure("response 4 KiB: Content-Length (last line)", n, [&] {
    return reply.GetHeaderValue("Content-Length").size();
  });
  Measure("response 4 KiB: every Set-Cookie", n, [&] { return reply.GetHeaderValues("Set-Cookie").size(); });
  Measure("response 4 KiB: absent header", n, [&] { return reply.GetHeaderValue("X-Absent").size(); });
  Measure("percent encode 64 bytes", n, [&] {
    return PercentEncode("https://mail.example.com/owa/?ae=Folder&t=IPF.Note&id=LgAAAAB%3d").size();
  });
  return 0;
}
