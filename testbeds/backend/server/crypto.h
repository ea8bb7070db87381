#pragma once
// Randomness and hashing from the operating system (bcrypt.dll): passcodes
// and tokens must be unguessable, and passcodes are kept only as salted hashes.
#include <array>
#include <cstddef>
#include <string>

namespace backend {

using Digest = std::array<unsigned char, 32>;
using Salt = std::array<unsigned char, 16>;

// Fills the buffer from the system's cryptographic generator; throws
// BackendError when the generator fails.
void RandomFill(void* data, size_t size);
// A uniform number in [0, bound), bound > 0.
unsigned RandomBelow(unsigned bound);
// size random bytes as lower-case hexadecimal text.
std::wstring RandomHex(size_t size);
// A six-digit passcode, leading zeros kept.
std::wstring RandomPasscode();

// SHA-256 of salt followed by the UTF-16 units of the text.
Digest SaltedHash(const Salt& salt, const std::wstring& text);

// Compares without stopping at the first difference.
bool SameDigest(const Digest& a, const Digest& b);

}  // namespace backend
