#include "crypto.h"

#include <windows.h>
#include <bcrypt.h>

#include <cwchar>
#include <vector>

#include "dispatch_object.h"

namespace backend {

namespace {

std::wstring StatusText(const wchar_t* what, NTSTATUS status) {
  wchar_t text[96];
  swprintf(text, 96, L"%ls failed with status 0x%08lX", what, static_cast<unsigned long>(status));
  return text;
}

// The algorithm provider is opened once and shared; bcrypt allows that across threads.
BCRYPT_ALG_HANDLE Sha256Provider() {
  static BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    return status >= 0 ? handle : nullptr;
  }();
  if (!provider) throw BackendError{L"SHA-256 provider is not available"};
  return provider;
}

struct HashHandle {
  BCRYPT_HASH_HANDLE handle = nullptr;
  ~HashHandle() {
    if (handle) BCryptDestroyHash(handle);
  }
};

}  // namespace

void RandomFill(void* data, size_t size) {
  NTSTATUS status = BCryptGenRandom(nullptr, static_cast<PUCHAR>(data), static_cast<ULONG>(size),
                                    BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (status < 0) throw BackendError{StatusText(L"BCryptGenRandom", status)};
}

unsigned RandomBelow(unsigned bound) {
  // Rejection keeps the result uniform: the top partial range would favour small values.
  const unsigned limit = 0xFFFFFFFFu - (0xFFFFFFFFu % bound);
  for (;;) {
    unsigned value = 0;
    RandomFill(&value, sizeof value);
    if (value < limit) return value % bound;
  }
}

std::wstring RandomHex(size_t size) {
  std::vector<unsigned char> bytes(size);
  RandomFill(bytes.data(), bytes.size());
  static const wchar_t kDigits[] = L"0123456789abcdef";
  std::wstring text;
  for (unsigned char b : bytes) {
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  SecureZeroMemory(bytes.data(), bytes.size());
  return text;
}

std::wstring RandomPasscode() {
  wchar_t text[8];
  swprintf(text, 8, L"%06u", RandomBelow(1000000));
  std::wstring passcode = text;
  SecureZeroMemory(text, sizeof text);
  return passcode;
}

Digest SaltedHash(const Salt& salt, const std::wstring& text) {
  HashHandle hash;
  NTSTATUS status = BCryptCreateHash(Sha256Provider(), &hash.handle, nullptr, 0, nullptr, 0, 0);
  if (status < 0) throw BackendError{StatusText(L"BCryptCreateHash", status)};
  status = BCryptHashData(hash.handle, const_cast<PUCHAR>(salt.data()), static_cast<ULONG>(salt.size()), 0);
  if (status >= 0) {
    status = BCryptHashData(hash.handle, reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(text.data())),
                            static_cast<ULONG>(text.size() * sizeof(wchar_t)), 0);
  }
  Digest digest{};
  if (status >= 0) status = BCryptFinishHash(hash.handle, digest.data(), static_cast<ULONG>(digest.size()), 0);
  if (status < 0) throw BackendError{StatusText(L"SHA-256", status)};
  return digest;
}

bool SameDigest(const Digest& a, const Digest& b) {
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  return difference == 0;
}

}  // namespace backend
