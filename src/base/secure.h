#pragma once
// Zero-wiping storage for texts that may hold user names, passwords or
// passcodes. Pure C++: no Windows headers.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace talverin {

// Overwrites memory with zeros in a way the optimizer may not drop.
void SecureZero(void* data, std::size_t size) noexcept;

// Wipes every block it gives back, so grown-out-of buffers leave nothing behind.
template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    SecureZero(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
  template <class U>
  bool operator!=(const WipingAllocator<U>&) const noexcept { return false; }
};

using WipingStringBase = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// A string whose characters are zeroed before its memory is released, the
// short-string buffer included.
class SecureString : public WipingStringBase {
 public:
  using WipingStringBase::WipingStringBase;
  SecureString() = default;
  SecureString(const std::string& s) : WipingStringBase(s.data(), s.size()) {}
  SecureString(const SecureString&) = default;
  SecureString(SecureString&& other) noexcept : WipingStringBase(std::move(other)) { other.Wipe(); }
  SecureString& operator=(const SecureString&) = default;
  SecureString& operator=(SecureString&& other) noexcept {
    Wipe();
    WipingStringBase::operator=(std::move(other));
    other.Wipe();
    return *this;
  }
  ~SecureString() { Wipe(); }

  // Zeroes the whole buffer (capacity, not just size) and empties the string.
  void Wipe() noexcept {
    const std::size_t cap = capacity();
    resize(cap);  // never reallocates: cap is already there
    SecureZero(&(*this)[0], cap);
    clear();
  }
  std::string str() const { return std::string(data(), size()); }
};

class SecureBytes : public std::vector<unsigned char, WipingAllocator<unsigned char>> {
 public:
  using std::vector<unsigned char, WipingAllocator<unsigned char>>::vector;
  ~SecureBytes() { Wipe(); }
  void Wipe() noexcept {
    if (!empty()) SecureZero(data(), size());
    clear();
  }
};

}  // namespace talverin
