#include "base/secure.h"

namespace talverin {

void SecureZero(void* data, std::size_t size) noexcept {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (size--) *p++ = 0;
}

}  // namespace talverin
