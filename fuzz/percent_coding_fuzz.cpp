// Percent coding: decoding undoes encoding for every byte string, encoding
// writes only letters, digits and escapes, and decoding never grows a text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http/percent_coding.h"

namespace {

bool IsAlnum(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }
bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const talverin::SecureString encoded = PercentEncode(bytes);
  std::size_t escaped = 0;
  for (char c : bytes) escaped += IsAlnum(c) ? 0 : 1;
  Check(encoded.size() == bytes.size() + 2 * escaped);
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%') {
      Check(i + 2 < encoded.size() && IsUpperHex(encoded[i + 1]) && IsUpperHex(encoded[i + 2]));
      i += 2;
    } else {
      Check(IsAlnum(encoded[i]));
    }
  }
  Check(std::string_view(PercentDecode(encoded)) == bytes);

  // Arbitrary text: decoded once, never longer, and fixed by a second encode
  // and decode.
  const talverin::SecureString decoded = PercentDecode(bytes);
  Check(decoded.size() <= bytes.size());
  Check(PercentDecode(PercentEncode(decoded)) == decoded);
  return 0;
}
