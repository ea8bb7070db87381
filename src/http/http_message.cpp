#include "http/http_message.h"

#include <string>

#include "http/http_header_block.h"
#include "http/percent_coding.h"

using talverin::SecureString;

namespace {

constexpr std::string_view kHeaderTerminator = "\r\n\r\n";
constexpr std::string_view kLineTerminator = "\r\n";

using http_text::EqualsIgnoringCase;

SecureString Copy(std::string_view text) { return SecureString(text.data(), text.size()); }

}  // namespace

HttpMessage::HttpMessage(const void* data, std::size_t length) {
  if (data != nullptr && length > 0) raw_.assign(static_cast<const char*>(data), length);
  Split();
}

HttpMessage::HttpMessage(std::string_view text) : HttpMessage(text.data(), text.size()) {}

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

HttpHeaderBlock HttpMessage::Block() const noexcept { return HttpHeaderBlock(headers_, headersComplete_); }

SecureString HttpMessage::GetFirstToken() const { return Copy(Block().FirstToken()); }

SecureString HttpMessage::GetSecondToken() const { return Copy(Block().SecondToken()); }

int HttpMessage::GetStatusCode() const { return Block().StatusCode(); }

HttpMessage::Method HttpMessage::GetMethod() const {
  const SecureString token = GetFirstToken();
  if (EqualsIgnoringCase(token, "GET")) return Method::Get;
  if (EqualsIgnoringCase(token, "POST")) return Method::Post;
  return Method::Other;
}

bool HttpMessage::FindHeaderValue(std::string_view name, Range& value) const {
  std::string_view found;
  if (!Block().FindValue(name, found)) return false;
  value.begin = static_cast<std::size_t>(found.data() - headers_.data());
  value.end = value.begin + found.size();
  return true;
}

SecureString HttpMessage::GetHeaderValue(std::string_view name) const { return Copy(Block().Value(name)); }

std::vector<SecureString> HttpMessage::GetHeaderValues(std::string_view name) const {
  std::vector<SecureString> values;
  for (std::string_view value : Block().Values(name)) values.push_back(Copy(value));
  return values;
}

HttpMessage::BodyLength HttpMessage::GetBodyLength() const { return Block().GetBodyLength(); }

bool HttpMessage::HeaderBlockIsStrict() const { return Block().IsStrict(); }

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

bool HttpMessage::IsBodyComplete() const { return Block().FramesBodyOf(body_.size()); }

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
