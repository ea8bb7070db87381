#include "http/responses.h"

#include <cstring>

#include "base/secure.h"
#include "diag/trace_log.h"

using talverin::SecureString;

namespace {

constexpr std::string_view kRedirectStatus = "302 Moved temporarily";
constexpr std::string_view kOkStatus = "200 Ok";
constexpr std::string_view kRedirectBody = "<html><body>Moved</body></html>";
constexpr std::string_view kRawRedirectStatusLine = "HTTP/1.1 302 Moved Temporarily";
constexpr std::string_view kExpiredCookieTail = "=; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT\r\n";

// Builds header text from pieces; wiping, since cookie values are session keys.
class HeaderText {
 public:
  HeaderText& operator<<(std::string_view piece) {
    text_.append(piece.data(), piece.size());
    return *this;
  }
  HeaderText& operator<<(std::size_t number) { return *this << std::string_view(std::to_string(number)); }
  char* Data() { return &text_[0]; }

 private:
  SecureString text_;
};

// Status and headers through the host, then the body; the host's answers do
// not change what the filter does next, so they are not examined.
void SendDirect(HTTP_FILTER_CONTEXT* pfc, std::string_view status, HeaderText& headers, const void* body,
                std::size_t size) {
  std::string statusText(status);
  pfc->ServerSupportFunction(pfc, SF_REQ_SEND_RESPONSE_HEADER, &statusText[0],
                             reinterpret_cast<ULONG_PTR>(headers.Data()), 0);
  DWORD bytes = static_cast<DWORD>(size);
  pfc->WriteClient(pfc, const_cast<void*>(body), &bytes, 0);
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

void IsapiRedirect(HTTP_FILTER_CONTEXT* pfc, const std::string& whereTo, const std::string& cookieName,
                   const std::string& cookieValue, bool setExpired, const std::string& cookieDomain) {
  TLOGF(1, "ISAPI Redirect. Where to: %s. Cookie name: %s. Cookie value: %s. Set expired: %s. Cookie domain: %s",
        whereTo.c_str(), cookieName.c_str(), cookieValue.c_str(), setExpired ? "Yes" : "No", cookieDomain.c_str());
  HeaderText headers;
  headers << "Location: " << whereTo << "\r\n"
          << "Connection: close\r\n"
          << "Content-Length: " << kRedirectBody.size() << "\r\n";
  if (!cookieName.empty()) {
    if (!setExpired) {
      headers << "Set-Cookie: " << cookieName << "=" << cookieValue << ";path=/\r\n";
    } else if (cookieDomain.empty()) {
      headers << "Set-Cookie: " << cookieName << kExpiredCookieTail;
    } else {
      headers << "Set-Cookie: " << cookieName << "=; Domain=" << cookieDomain
              << "; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT\r\n";
    }
  }
  headers << "\r\n";
  SendDirect(pfc, kRedirectStatus, headers, kRedirectBody.data(), kRedirectBody.size());
}

void SendStaticTextResponse(HTTP_FILTER_CONTEXT* pfc, std::string_view text) {
  HeaderText headers;
  headers << "Connection: close\r\n"
          << "Content-Length: " << text.size() << "\r\n"
          << "Content-Type: text/css\r\n"
          << "\r\n";
  SendDirect(pfc, kOkStatus, headers, text.data(), text.size());
}

void SendPictureResponse(HTTP_FILTER_CONTEXT* pfc, const void* bytes, std::size_t size) {
  HeaderText headers;
  headers << "Connection: close\r\n"
          << "Content-Length: " << size << "\r\n"
          << "Content-Type: image/gif\r\n"
          << "\r\n";
  SendDirect(pfc, kOkStatus, headers, bytes, size);
}

void SendHtmlPageResponse(HTTP_FILTER_CONTEXT* pfc, std::string_view html, const std::string& cookieName,
                          const std::string& cookieValue) {
  HeaderText headers;
  headers << "Cache-Control: no-cache\r\n"
          << "Connection: close\r\n"
          << "Content-Length: " << html.size() << "\r\n"
          << "Content-Type: text/html\r\n";
  if (!cookieName.empty()) {
    if (!cookieValue.empty()) {
      headers << "Set-Cookie: " << cookieName << "=" << cookieValue << ";path=/\r\n";
    } else {
      headers << "Set-Cookie: " << cookieName << kExpiredCookieTail;
    }
  }
  headers << "\r\n";
  SendDirect(pfc, kOkStatus, headers, html.data(), html.size());
}

void SendStoredResponse(HTTP_FILTER_CONTEXT* pfc, std::string_view storedHeaders, std::string_view storedBody) {
  std::string_view lines = storedHeaders;
  if (StartsWithIgnoringCase(lines, "HTTP/")) {
    const std::size_t end = lines.find("\r\n");
    lines = end == std::string_view::npos ? std::string_view() : lines.substr(end + 2);
  }
  HeaderText headers;
  if (!lines.empty()) headers << lines << "\r\n";
  headers << "\r\n";
  SendDirect(pfc, kOkStatus, headers, storedBody.data(), storedBody.size());
}

DWORD RawRedirect(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record, const std::string& location,
                  std::string_view cookieText) {
  TLOGF(1, "Redirecting to location in raw: '%s'", location.c_str());
  HttpMessage redirect;
  redirect.AppendHeaderLine(kRawRedirectStatusLine);
  redirect.AddHeader("Connection", "close");
  redirect.AddHeader("Location", location);
  if (!cookieText.empty()) redirect.AddHeader("Set-Cookie", cookieText);
  redirect.AddHeader("Content-Length", "0");
  if (!WriteToRawData(pfc, record, redirect)) return SF_STATUS_REQ_FINISHED;
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

bool WriteToRawData(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record, const HttpMessage& message) {
  const SecureString bytes = message.Serialize();
  return HandBytesToHost(pfc, record, bytes.data(), bytes.size());
}

bool HandBytesToHost(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record, const void* bytes, std::size_t size) {
  if (size == 0) {
    // Nothing to hand over; no block is needed to say so.
    record->cbInData = 0;
    return true;
  }
  if (size > MAXDWORD) {
    TLOGF(0, "Raw data of %llu bytes is too long for the host.", static_cast<unsigned long long>(size));
    return false;
  }
  const DWORD length = static_cast<DWORD>(size);
  void* block = pfc->AllocMem(pfc, length, 0);
  if (block == nullptr) {
    TLOGF(0, "Memory allocation of %lu bytes failed.", static_cast<unsigned long>(length));
    return false;
  }
  TLOGF(1, "Memory allocated address:  0x%p", block);
  std::memset(block, 0, length);
  std::memcpy(block, bytes, length);
  record->pvInData = block;
  record->cbInData = length;
  record->cbInBuffer = length;
  return true;
}
