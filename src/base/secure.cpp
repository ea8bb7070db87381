#include "base/secure.h"

#include <cstring>

namespace talverin {
namespace {

// Called through a volatile pointer, so the compiler cannot prove the store
// dead and drop it, yet it still runs at memset's speed.
void* (*const volatile wipe)(void*, int, std::size_t) = std::memset;

}  // namespace

void SecureZero(void* data, std::size_t size) noexcept {
  if (size != 0) wipe(data, 0, size);
}

}  // namespace talverin
