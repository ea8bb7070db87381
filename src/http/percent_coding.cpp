#include "http/percent_coding.h"

namespace {

bool IsAsciiAlnum(unsigned char c) noexcept {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

int HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

talverin::SecureString PercentEncode(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::size_t escaped = 0;
  for (char c : bytes) {
    if (!IsAsciiAlnum(static_cast<unsigned char>(c))) ++escaped;
  }
  talverin::SecureString out;
  out.reserve(bytes.size() + 2 * escaped);
  for (char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (IsAsciiAlnum(byte)) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
  return out;
}

talverin::SecureString PercentDecode(std::string_view text) {
  talverin::SecureString out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = HexValue(text[i + 1]);
      const int low = HexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>((high << 4) | low));
        i += 3;
        continue;
      }
    }
    out.push_back(text[i]);
    ++i;
  }
  return out;
}
