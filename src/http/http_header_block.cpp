#include "http/http_header_block.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

constexpr std::string_view kHeaderTerminator = "\r\n\r\n";
constexpr std::string_view kOptionalWhiteSpace = " \t";

char AsciiLower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Where the next CR is, eight bytes at a time: every answer's header block is
// scanned for its line ends, and the hosts' C libraries look for a byte one
// byte at a time.
std::size_t FindCr(std::string_view text, std::size_t from) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  constexpr std::uint64_t kCrs = kOnes * static_cast<unsigned char>('\r');
  const char* const data = text.data();
  const std::size_t size = text.size();
  std::size_t at = from;
  for (; size >= 8 && at <= size - 8; at += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + at, sizeof word);
    const std::uint64_t crsZeroed = word ^ kCrs;
    // Nonzero exactly when one of the eight bytes was a CR.
    if (((crsZeroed - kOnes) & ~crsZeroed & kHighBits) != 0) break;
  }
  for (; at < size; ++at) {
    if (data[at] == '\r') return at;
  }
  return std::string_view::npos;
}

}  // namespace

bool HttpHeaderBlock::MatchFieldName(std::string_view line, std::string_view name, std::string_view& value) noexcept {
  if (line.size() <= name.size() || !http_text::EqualsIgnoringCase(line.substr(0, name.size()), name)) return false;
  std::size_t colon = name.size();
  while (colon < line.size() && (line[colon] == ' ' || line[colon] == '\t')) ++colon;
  if (colon >= line.size() || line[colon] != ':') return false;
  const std::size_t first = line.find_first_not_of(kOptionalWhiteSpace, colon + 1);
  if (first == std::string_view::npos) {
    value = line.substr(line.size());
    return true;
  }
  value = line.substr(first, line.find_last_not_of(kOptionalWhiteSpace) + 1 - first);
  return true;
}

namespace http_text {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

std::uint64_t LeadingDecimal(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  std::uint64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const unsigned digit = static_cast<unsigned>(text[i] - '0');
    if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace http_text

std::size_t HttpHeaderBlock::FindLineEnd(std::string_view text, std::size_t from) noexcept {
  for (std::size_t cr = FindCr(text, from); cr != std::string_view::npos; cr = FindCr(text, cr + 1)) {
    if (cr + 1 < text.size() && text[cr + 1] == '\n') return cr;
  }
  return std::string_view::npos;
}

std::size_t HttpHeaderBlock::FindEnd(std::string_view bytes, std::size_t from) noexcept {
  for (std::size_t cr = FindCr(bytes, from); cr != std::string_view::npos; cr = FindCr(bytes, cr + 1)) {
    if (bytes.substr(cr, kHeaderTerminator.size()) == kHeaderTerminator) return cr;
  }
  return std::string_view::npos;
}

HttpHeaderBlock HttpHeaderBlock::Read(std::string_view bytes) noexcept {
  const std::size_t end = FindEnd(bytes);
  if (end == std::string_view::npos) return HttpHeaderBlock(bytes, false);
  return HttpHeaderBlock(bytes.substr(0, end), true);
}

std::string_view HttpHeaderBlock::StartLine() const noexcept { return text_.substr(0, FindLineEnd(text_, 0)); }

std::string_view HttpHeaderBlock::FirstToken() const noexcept {
  const std::string_view line = StartLine();
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return {};
  return line.substr(0, blank);
}

std::string_view HttpHeaderBlock::SecondToken() const noexcept {
  const std::string_view line = StartLine();
  const std::size_t first = line.find(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t second = line.find(' ', first + 1);
  if (second == std::string_view::npos) return {};
  return line.substr(first + 1, second - first - 1);
}

int HttpHeaderBlock::StatusCode() const noexcept {
  return static_cast<int>(std::min<std::uint64_t>(http_text::LeadingDecimal(SecondToken()), INT_MAX));
}

bool HttpHeaderBlock::FindValue(std::string_view name, std::string_view& value) const noexcept {
  bool found = false;
  VisitLines([&](std::string_view line) { return found = MatchField(line, name, value); });
  return found;
}

std::string_view HttpHeaderBlock::Value(std::string_view name) const noexcept {
  std::string_view value;
  return FindValue(name, value) ? value : std::string_view();
}

std::vector<std::string_view> HttpHeaderBlock::Values(std::string_view name) const {
  std::vector<std::string_view> values;
  VisitLines([&](std::string_view line) {
    std::string_view value;
    if (MatchField(line, name, value)) values.push_back(value);
    return false;
  });
  return values;
}

namespace {

bool AllDigits(std::string_view text) noexcept {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

HttpHeaderBlock::BodyLength HttpHeaderBlock::GetBodyLength() const {
  BodyLength result;
  VisitLines([&](std::string_view line) {
    std::string_view value;
    if (MatchField(line, "Transfer-Encoding", value)) {
      result.kind = BodyLength::Kind::Invalid;
    } else if (MatchField(line, "Content-Length", value)) {
      // Twenty digits and more overflow 64 bits; no body of this filter's
      // interest comes near that, so such a length is as good as invalid.
      const std::uint64_t length = http_text::LeadingDecimal(value);
      if (!AllDigits(value) || value.size() > 19 ||
          (result.kind == BodyLength::Kind::Length && length != result.length)) {
        result.kind = BodyLength::Kind::Invalid;
      } else {
        result.kind = BodyLength::Kind::Length;
        result.length = length;
      }
    }
    return result.kind == BodyLength::Kind::Invalid;
  });
  if (result.kind == BodyLength::Kind::Invalid) result.length = 0;
  return result;
}

bool HttpHeaderBlock::FramesBodyOf(std::size_t bodySize) const {
  const BodyLength length = GetBodyLength();
  return length.kind != BodyLength::Kind::Invalid && bodySize == length.length;
}

bool HttpHeaderBlock::IsWholeMessage(std::string_view bytes) {
  const HttpHeaderBlock block = Read(bytes);
  return block.Complete() && block.FramesBodyOf(bytes.size() - block.Text().size() - kHeaderTerminator.size());
}

bool HttpHeaderBlock::IsStrict() const noexcept {
  const std::string_view headers = text_;
  for (std::size_t i = 0; i < headers.size(); ++i) {
    const char c = headers[i];
    if (c == '\0') return false;
    if (c == '\r' && (i + 1 >= headers.size() || headers[i + 1] != '\n')) return false;
    if (c == '\n') {
      if (i == 0 || headers[i - 1] != '\r') return false;
      if (i + 1 < headers.size() && (headers[i + 1] == ' ' || headers[i + 1] == '\t')) return false;
    }
  }
  return true;
}
