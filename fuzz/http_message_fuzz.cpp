// HttpMessage over arbitrary bytes: the split, every query and every edit,
// with the properties that must hold whatever the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_message.h"

namespace {

using talverin::SecureString;

void Check(bool condition) {
  if (!condition) std::abort();
}

bool HasLineEnd(std::string_view text) { return text.find("\r\n") != std::string_view::npos; }

void CheckSplit(const HttpMessage& m) {
  const SecureString raw = m.GetRaw();
  const SecureString headers = m.GetHeaders();
  const SecureString body = m.GetBody();
  if (m.HeadersComplete()) {
    SecureString joined = headers;
    joined.append("\r\n\r\n");
    joined.append(body);
    Check(joined == raw);
    Check(std::string_view(headers).find("\r\n\r\n") == std::string_view::npos);
    Check(m.Serialize() == raw);
  } else {
    Check(headers == raw);
    Check(body.empty());
  }
}

void CheckQueries(const HttpMessage& m, std::string_view name) {
  const SecureString first = m.GetFirstToken();
  const SecureString second = m.GetSecondToken();
  Check(first.find(' ') == SecureString::npos && !HasLineEnd(first));
  Check(second.find(' ') == SecureString::npos && !HasLineEnd(second));
  Check(m.GetStatusCode() >= 0);
  const HttpMessage::Method method = m.GetMethod();
  Check(method == HttpMessage::Method::Get || method == HttpMessage::Method::Post ||
        method == HttpMessage::Method::Other);

  const SecureString value = m.GetHeaderValue(name);
  Check(!HasLineEnd(value));
  const auto values = m.GetHeaderValues(name);
  Check(values.empty() ? value.empty() : values.front() == value);
  for (const SecureString& v : values) Check(!HasLineEnd(v));

  const SecureString field = m.GetFormField(name);
  Check(field.size() <= m.GetBody().size());
  const auto occurrences = m.GetFormFieldOccurrences(name);
  // Without escapes or '=' in the name, the raw name match is one of the
  // occurrences (a name with '=' is cut at its first '=' when fields are
  // split into name and value; the filter's field names have none).
  if (!field.empty() && name.find_first_of("%=") == std::string_view::npos) Check(!occurrences.empty());
  (void)m.IsBodyComplete();
}

void CheckEdits(const HttpMessage& original, std::string_view name, std::string_view value) {
  {
    HttpMessage m = original;
    const bool present = !m.GetHeaderValues(name).empty();
    Check(m.ReplaceHeaderValue(name, value) == present);
    Check(m.GetBody() == original.GetBody());
    if (!present) Check(m.GetHeaders() == original.GetHeaders());
  }
  {
    HttpMessage m = original;
    // With one Content-Length and no Transfer-Encoding the edit keeps the
    // framing true.
    const bool oneLength = m.GetHeaderValues("Content-Length").size() == 1 && m.GetHeaderValues("Transfer-Encoding").empty();
    if (m.ReplaceFormFieldEncoded(name, value)) {
      Check(std::string_view(m.GetFormField(name)) == value);
      if (oneLength) Check(m.IsBodyComplete());
    } else {
      Check(m.GetBody() == original.GetBody());
      Check(m.GetHeaders() == original.GetHeaders());
    }
    Check(m.GetRaw() == original.GetRaw());
  }
  {
    HttpMessage m = original;
    m.AddHeader(name, value);
    m.AppendHeaderLine(value);
    const SecureString out = m.Serialize();
    Check(out.size() >= m.GetHeaders().size() + 2 + m.GetBody().size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string name = input.ConsumeRandomLengthString(24);
  const std::string value = input.ConsumeRandomLengthString(48);
  input.ConsumeIntegral<std::uint32_t>();  // four bytes the seeds carry before the text
  const std::string text = input.ConsumeRemainingBytesAsString();

  const HttpMessage message(text.data(), text.size());
  Check(message.GetRaw().size() == text.size());
  CheckSplit(message);
  CheckQueries(message, name);
  CheckEdits(message, name, value);

  // Read in place, an answer's header block says what the copy says.
  const HttpHeaderBlock block = HttpHeaderBlock::Read(text);
  Check(block.Complete() == message.HeadersComplete());
  Check(block.StatusCode() == message.GetStatusCode());
  const std::vector<std::string_view> inPlace = block.Values(name);
  const std::vector<SecureString> copied = message.GetHeaderValues(name);
  Check(inPlace.size() == copied.size());
  for (std::size_t i = 0; i < inPlace.size(); ++i) Check(inPlace[i] == std::string_view(copied[i]));
  Check(HttpHeaderBlock::IsWholeMessage(text) == (message.HeadersComplete() && message.IsBodyComplete()));
  return 0;
}
