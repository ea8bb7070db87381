#include "host/http_framing.h"

#include <cstdlib>

#include "host/header_block.h"

namespace talverin::host {
namespace {

constexpr size_t kMaxChunkLine = 1024;

std::string LowerTrimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

Frame Fail(FrameStatus status, std::string problem) {
  Frame frame;
  frame.status = status;
  frame.problem = std::move(problem);
  return frame;
}

// The end of the header block (after its empty line), 0 while it is not all
// there; every line must end in CRLF, as the proxy reads none other.
size_t HeaderEnd(std::string_view bytes, bool* malformed) {
  size_t at = 0;
  while (true) {
    size_t lf = bytes.find('\n', at);
    if (lf == std::string_view::npos) return 0;
    if (lf == at || bytes[lf - 1] != '\r') {
      *malformed = true;
      return 0;
    }
    if (lf == at + 1) return at == 0 ? (*malformed = true, 0) : lf + 1;
    at = lf + 1;
  }
}

bool ParseDecimal(std::string_view text, size_t* value) {
  if (text.empty() || text.size() > 15) return false;
  size_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<size_t>(c - '0');
  }
  *value = number;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The body after the header block: by Content-Length, chunked coding, or (for
// a response only, `toClose`) up to the end of the connection.
void FrameBody(std::string_view bytes, const HeaderBlock& headers, bool toClose, bool closed,
               const FrameLimits& limits, Frame& frame) {
  std::optional<std::string> coding = headers.Get("Transfer-Encoding");
  std::optional<std::string> length;
  for (const auto& [name, value] : headers.Fields()) {
    if (!EqualsIgnoringCase(name, "Content-Length")) continue;
    if (length && *length != LowerTrimmed(value)) {
      frame = Fail(FrameStatus::Malformed, "conflicting Content-Length fields");
      return;
    }
    length = LowerTrimmed(value);
  }
  const size_t start = frame.headerBytes;
  if (coding) {
    if (LowerTrimmed(*coding) != "chunked") {
      frame = Fail(FrameStatus::Malformed, "unsupported transfer coding \"" + *coding + "\"");
      return;
    }
    if (length) {
      frame = Fail(FrameStatus::Malformed, "both Content-Length and chunked coding");
      return;
    }
    frame.chunked = true;
    size_t at = start, total = 0;
    while (true) {
      size_t lf = bytes.find("\r\n", at);
      if (lf == std::string_view::npos) {
        if (bytes.size() - at > kMaxChunkLine) frame = Fail(FrameStatus::Malformed, "chunk size line too long");
        return;
      }
      std::string_view line = bytes.substr(at, lf - at);
      std::string_view digits = line.substr(0, line.find(';'));
      while (!digits.empty() && (digits.back() == ' ' || digits.back() == '\t')) digits.remove_suffix(1);
      if (digits.empty() || digits.size() > 15) {
        frame = Fail(FrameStatus::Malformed, "bad chunk size");
        return;
      }
      size_t size = 0;
      for (char c : digits) {
        if (HexDigit(c) < 0) {
          frame = Fail(FrameStatus::Malformed, "bad chunk size");
          return;
        }
        size = size * 16 + static_cast<size_t>(HexDigit(c));
      }
      at = lf + 2;
      if (size == 0) break;
      total += size;
      if (total > limits.bodyBytes) {
        frame = Fail(FrameStatus::TooLarge, "body larger than " + std::to_string(limits.bodyBytes) + " bytes");
        return;
      }
      if (bytes.size() < at + size + 2) return;
      if (bytes.compare(at + size, 2, "\r\n") != 0) {
        frame = Fail(FrameStatus::Malformed, "chunk not followed by CRLF");
        return;
      }
      frame.body.push_back({at, size});
      at += size + 2;
    }
    // Trailer fields up to an empty line; the proxy keeps none of them.
    while (true) {
      size_t lf = bytes.find("\r\n", at);
      if (lf == std::string_view::npos) {
        if (bytes.size() - at > limits.headerBytes) frame = Fail(FrameStatus::TooLarge, "trailer too long");
        return;
      }
      bool empty = lf == at;
      at = lf + 2;
      if (empty) break;
    }
    frame.length = at;
    frame.status = FrameStatus::Complete;
    return;
  }
  if (length) {
    size_t size = 0;
    if (!ParseDecimal(*length, &size)) {
      frame = Fail(FrameStatus::Malformed, "bad Content-Length \"" + *length + "\"");
      return;
    }
    if (size > limits.bodyBytes) {
      frame = Fail(FrameStatus::TooLarge, "body larger than " + std::to_string(limits.bodyBytes) + " bytes");
      return;
    }
    if (bytes.size() < start + size) return;
    if (size) frame.body.push_back({start, size});
    frame.length = start + size;
    frame.status = FrameStatus::Complete;
    return;
  }
  if (toClose) {
    if (bytes.size() - start > limits.bodyBytes) {
      frame = Fail(FrameStatus::TooLarge, "body larger than " + std::to_string(limits.bodyBytes) + " bytes");
      return;
    }
    if (!closed) return;
    if (bytes.size() > start) frame.body.push_back({start, bytes.size() - start});
  }
  frame.length = toClose ? bytes.size() : start;
  frame.status = FrameStatus::Complete;
}

Frame FrameHead(std::string_view bytes, const FrameLimits& limits, HeaderBlock* headers) {
  bool malformed = false;
  size_t end = HeaderEnd(bytes, &malformed);
  if (malformed) return Fail(FrameStatus::Malformed, "header lines must end with CRLF and the block must not be empty");
  if (end == 0) {
    if (bytes.size() > limits.headerBytes) {
      return Fail(FrameStatus::TooLarge, "header block larger than " + std::to_string(limits.headerBytes) + " bytes");
    }
    return {};
  }
  if (end > limits.headerBytes) {
    return Fail(FrameStatus::TooLarge, "header block larger than " + std::to_string(limits.headerBytes) + " bytes");
  }
  *headers = HeaderBlock::Parse(bytes.substr(0, end));
  // Every line after the first is a field or continues one.
  size_t at = bytes.find("\r\n") + 2;
  while (at + 2 < end) {
    size_t lf = bytes.find("\r\n", at);
    std::string_view line = bytes.substr(at, lf - at);
    if (line.find(':') == std::string_view::npos && line.front() != ' ' && line.front() != '\t') {
      return Fail(FrameStatus::Malformed, "header line without a colon");
    }
    at = lf + 2;
  }
  Frame frame;
  frame.headerBytes = end;
  return frame;
}

}  // namespace

Frame FrameRequest(std::string_view bytes, const FrameLimits& limits) {
  HeaderBlock headers;
  Frame frame = FrameHead(bytes, limits, &headers);
  if (frame.headerBytes == 0) return frame;
  std::string method = headers.Method(), url = headers.Url(), version = headers.Version();
  const std::string& line = headers.FirstLine();
  if (method.empty() || url.empty() || version.compare(0, 7, "HTTP/1.") != 0 || version.size() != 8 ||
      method.size() + url.size() + version.size() + 2 != line.size()) {
    return Fail(FrameStatus::Malformed, "bad request line");
  }
  FrameBody(bytes, headers, false, false, limits, frame);
  return frame;
}

Frame FrameResponse(std::string_view bytes, std::string_view requestMethod, bool closed, const FrameLimits& limits) {
  HeaderBlock headers;
  Frame frame = FrameHead(bytes, limits, &headers);
  if (frame.headerBytes == 0) {
    if (closed && frame.status == FrameStatus::Incomplete) {
      return Fail(FrameStatus::Malformed, "connection closed before the response's header block ended");
    }
    return frame;
  }
  const std::string& line = headers.FirstLine();
  if (line.compare(0, 7, "HTTP/1.") != 0 || line.size() < 12 || line[8] != ' ') {
    return Fail(FrameStatus::Malformed, "bad status line");
  }
  int status = std::atoi(line.c_str() + 9);
  bool bodiless = requestMethod == "HEAD" || (status >= 100 && status < 200) || status == 204 || status == 304;
  if (bodiless) {
    frame.length = frame.headerBytes;
    frame.status = FrameStatus::Complete;
    return frame;
  }
  FrameBody(bytes, headers, true, closed, limits, frame);
  if (frame.status == FrameStatus::Incomplete && closed) {
    return Fail(FrameStatus::Malformed, "connection closed before the response's body ended");
  }
  return frame;
}

std::string BodyOf(std::string_view bytes, const Frame& frame) {
  std::string body;
  for (const BodySpan& span : frame.body) body.append(bytes.substr(span.offset, span.length));
  return body;
}

std::string DecodeChunked(std::string_view chunked, bool* ok) {
  // Framed behind a minimal header block, so that one parser reads both.
  std::string message = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(chunked);
  Frame frame = FrameRequest(message);
  *ok = frame.status == FrameStatus::Complete && frame.length == message.size();
  return *ok ? BodyOf(message, frame) : std::string();
}

}  // namespace talverin::host
