#include "http/http_message.h"

#include <algorithm>
#include <climits>
#include <string>

#include "http/percent_coding.h"

using talverin::SecureString;

namespace {

constexpr std::string_view kHeaderTerminator = "\r\n\r\n";
constexpr std::string_view kLineTerminator = "\r\n";

char AsciiLower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// Leading decimal digits after optional blanks, as the C library's atoi
// reads them; 0 when there are none. Saturates instead of overflowing.
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

SecureString Copy(std::string_view text) { return SecureString(text.data(), text.size()); }

}  // namespace

HttpMessage::HttpMessage(const void* data, std::size_t length) {
  if (data != nullptr && length > 0) raw_.assign(static_cast<const char*>(data), length);
  Split();
}

HttpMessage::HttpMessage(std::string_view text) : HttpMessage(text.data(), text.size()) {}

HttpMessage HttpMessage::FromRawDataRecord(const void* data, std::uint32_t bytesOfData, std::uint32_t bufferSize) {
  return HttpMessage(data, std::min(bytesOfData, bufferSize));
}

void HttpMessage::Split() {
  if (raw_.empty()) return;
  const std::size_t end = std::string_view(raw_).find(kHeaderTerminator);
  if (end == std::string_view::npos) {
    headers_ = raw_;
    headersComplete_ = false;
    return;
  }
  headers_.assign(raw_, 0, end);
  body_.assign(raw_, end + kHeaderTerminator.size(), SecureString::npos);
  headersComplete_ = true;
}

std::string_view HttpMessage::StartLine() const {
  const std::string_view headers(headers_);
  return headers.substr(0, headers.find(kLineTerminator));
}

SecureString HttpMessage::GetFirstToken() const {
  const std::string_view line = StartLine();
  const std::size_t blank = line.find(' ');
  if (blank == std::string_view::npos) return {};
  return Copy(line.substr(0, blank));
}

SecureString HttpMessage::GetSecondToken() const {
  const std::string_view line = StartLine();
  const std::size_t first = line.find(' ');
  if (first == std::string_view::npos) return {};
  const std::size_t second = line.find(' ', first + 1);
  if (second == std::string_view::npos) return {};
  return Copy(line.substr(first + 1, second - first - 1));
}

int HttpMessage::GetStatusCode() const {
  return static_cast<int>(std::min<std::uint64_t>(LeadingDecimal(GetSecondToken()), INT_MAX));
}

HttpMessage::Method HttpMessage::GetMethod() const {
  const SecureString token = GetFirstToken();
  if (EqualsIgnoringCase(token, "GET")) return Method::Get;
  if (EqualsIgnoringCase(token, "POST")) return Method::Post;
  return Method::Other;
}

template <class Visit>
void HttpMessage::VisitHeaderLines(Visit visit) const {
  const std::string_view headers(headers_);
  std::size_t begin = headers.find(kLineTerminator);
  if (begin == std::string_view::npos) return;  // start line only
  begin += kLineTerminator.size();
  for (;;) {
    std::size_t end = headers.find(kLineTerminator, begin);
    if (end == std::string_view::npos) end = headers.size();
    if (visit(Range{begin, end})) return;
    if (end == headers.size()) return;
    begin = end + kLineTerminator.size();
  }
}

namespace {

constexpr std::string_view kOptionalWhiteSpace = " \t";

// The value range of a header line of that name, relative to the line; none
// when the line is no such field.
bool MatchHeaderLine(std::string_view line, std::string_view name, std::size_t& valueBegin, std::size_t& valueEnd) {
  if (line.size() <= name.size() || !EqualsIgnoringCase(line.substr(0, name.size()), name)) return false;
  std::size_t colon = name.size();
  while (colon < line.size() && (line[colon] == ' ' || line[colon] == '\t')) ++colon;
  if (colon >= line.size() || line[colon] != ':') return false;
  const std::size_t first = line.find_first_not_of(kOptionalWhiteSpace, colon + 1);
  if (first == std::string_view::npos) {
    valueBegin = valueEnd = line.size();
    return true;
  }
  valueBegin = first;
  valueEnd = line.find_last_not_of(kOptionalWhiteSpace) + 1;
  return true;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool HttpMessage::FindHeaderValue(std::string_view name, Range& value) const {
  bool found = false;
  VisitHeaderLines([&](Range line) {
    std::size_t begin = 0, end = 0;
    if (!MatchHeaderLine(View(headers_, line), name, begin, end)) return false;
    value.begin = line.begin + begin;
    value.end = line.begin + end;
    found = true;
    return true;
  });
  return found;
}

SecureString HttpMessage::GetHeaderValue(std::string_view name) const {
  Range value;
  if (!FindHeaderValue(name, value)) return {};
  return Copy(View(headers_, value));
}

std::vector<SecureString> HttpMessage::GetHeaderValues(std::string_view name) const {
  std::vector<SecureString> values;
  VisitHeaderLines([&](Range line) {
    const std::string_view text = View(headers_, line);
    std::size_t begin = 0, end = 0;
    if (MatchHeaderLine(text, name, begin, end)) values.push_back(Copy(text.substr(begin, end - begin)));
    return false;
  });
  return values;
}

HttpMessage::BodyLength HttpMessage::GetBodyLength() const {
  BodyLength result;
  if (!GetHeaderValues("Transfer-Encoding").empty()) {
    result.kind = BodyLength::Kind::Invalid;
    return result;
  }
  for (const SecureString& value : GetHeaderValues("Content-Length")) {
    const std::string_view digits(value);
    // Twenty digits and more overflow 64 bits; no body of this filter's
    // interest comes near that, so such a length is as good as invalid.
    if (!AllDigits(digits) || digits.size() > 19) {
      result.kind = BodyLength::Kind::Invalid;
      return result;
    }
    const std::uint64_t length = LeadingDecimal(digits);
    if (result.kind == BodyLength::Kind::Length && length != result.length) {
      result.kind = BodyLength::Kind::Invalid;
      return result;
    }
    result.kind = BodyLength::Kind::Length;
    result.length = length;
  }
  return result;
}

bool HttpMessage::HeaderBlockIsStrict() const {
  const std::string_view headers(headers_);
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

template <class Visit>
void HttpMessage::VisitFormFields(Visit visit) const {
  const std::string_view body(body_);
  std::size_t begin = 0;
  for (;;) {
    std::size_t end = body.find('&', begin);
    if (end == std::string_view::npos) end = body.size();
    if (visit(Range{begin, end})) return;
    if (end == body.size()) return;
    begin = end + 1;
  }
}

bool HttpMessage::FindFormFieldValue(std::string_view name, Range& value) const {
  if (body_.empty()) return false;
  bool found = false;
  VisitFormFields([&](Range field) {
    const std::string_view text = View(body_, field);
    if (text.size() <= name.size() || text[name.size()] != '=' || text.substr(0, name.size()) != name) return false;
    value.begin = field.begin + name.size() + 1;
    value.end = field.end;
    found = true;
    return true;
  });
  return found;
}

SecureString HttpMessage::GetFormField(std::string_view name) const {
  Range value;
  if (!FindFormFieldValue(name, value)) return {};
  return PercentDecode(View(body_, value));
}

std::vector<SecureString> HttpMessage::GetFormFieldOccurrences(std::string_view name) const {
  std::vector<SecureString> values;
  if (body_.empty()) return values;
  VisitFormFields([&](Range field) {
    const std::string_view text = View(body_, field);
    if (text.empty()) return false;
    const std::size_t equals = text.find('=');
    const std::string_view rawName = text.substr(0, equals);
    if (EqualsIgnoringCase(PercentDecode(rawName), name)) {
      values.push_back(equals == std::string_view::npos ? SecureString() : PercentDecode(text.substr(equals + 1)));
    }
    return false;
  });
  return values;
}

bool HttpMessage::IsBodyComplete() const {
  const BodyLength length = GetBodyLength();
  return length.kind != BodyLength::Kind::Invalid && body_.size() == length.length;
}

void HttpMessage::AppendHeaderLine(std::string_view line) {
  headers_.append(line.data(), line.size());
  headers_.append(kLineTerminator.data(), kLineTerminator.size());
}

void HttpMessage::AddHeader(std::string_view name, std::string_view value) {
  headers_.reserve(headers_.size() + name.size() + value.size() + 4);
  headers_.append(name.data(), name.size());
  headers_.append(": ", 2);
  headers_.append(value.data(), value.size());
  headers_.append(kLineTerminator.data(), kLineTerminator.size());
}

bool HttpMessage::ReplaceHeaderValue(std::string_view name, std::string_view text) {
  Range value;
  if (!FindHeaderValue(name, value)) return false;
  headers_.replace(value.begin, value.end - value.begin, text.data(), text.size());
  return true;
}

bool HttpMessage::ReplaceFormFieldEncoded(std::string_view name, std::string_view value) {
  Range range;
  if (!FindFormFieldValue(name, range)) return false;
  const SecureString encoded = PercentEncode(value);
  body_.replace(range.begin, range.end - range.begin, encoded.data(), encoded.size());
  ReplaceHeaderValue("Content-Length", std::to_string(body_.size()));
  return true;
}

SecureString HttpMessage::Serialize() const {
  const std::string_view headers(headers_);
  const bool endsWithLine = headers.size() >= kLineTerminator.size() &&
                            headers.substr(headers.size() - kLineTerminator.size()) == kLineTerminator;
  const std::string_view closing = endsWithLine ? kLineTerminator : kHeaderTerminator;
  SecureString out;
  out.reserve(headers_.size() + closing.size() + body_.size());
  out.append(headers_);
  out.append(closing.data(), closing.size());
  out.append(body_);
  return out;
}
