#pragma once
// Small owners for Windows resources: one type per resource, so that no
// function needs hand-written cleanup on its error paths.
#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace talverin {

// Any handle whose "none" is one or two sentinel values and whose close is a
// plain function. Closing keeps the thread's last error, so an owner going out
// of scope between a failing call and GetLastError does not disturb it.
template <class H, class Traits>
class UniqueResource {
 public:
  UniqueResource() noexcept = default;
  explicit UniqueResource(H h) noexcept : h_(h) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& o) noexcept : h_(o.Take()) {}
  UniqueResource& operator=(UniqueResource&& o) noexcept {
    if (this != &o) Reset(o.Take());
    return *this;
  }
  ~UniqueResource() { Reset(); }

  void Reset(H h = Traits::None()) noexcept {
    if (Traits::IsValid(h_)) {
      DWORD error = GetLastError();
      Traits::Close(h_);
      SetLastError(error);
    }
    h_ = h;
  }
  [[nodiscard]] H Take() noexcept { return std::exchange(h_, Traits::None()); }
  H Get() const noexcept { return h_; }
  H* Put() noexcept { Reset(); return &h_; }
  bool IsValid() const noexcept { return Traits::IsValid(h_); }
  explicit operator bool() const noexcept { return IsValid(); }

 private:
  H h_ = Traits::None();
};

struct HandleTraits {
  static HANDLE None() noexcept { return nullptr; }
  static bool IsValid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) noexcept { CloseHandle(h); }
};
using UniqueHandle = UniqueResource<HANDLE, HandleTraits>;

struct FindTraits {
  static HANDLE None() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsValid(HANDLE h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(HANDLE h) noexcept { FindClose(h); }
};
using UniqueFindHandle = UniqueResource<HANDLE, FindTraits>;

struct HkeyTraits {
  static HKEY None() noexcept { return nullptr; }
  static bool IsValid(HKEY h) noexcept { return h != nullptr; }
  static void Close(HKEY h) noexcept { RegCloseKey(h); }
};
using UniqueHkey = UniqueResource<HKEY, HkeyTraits>;

struct ModuleTraits {
  static HMODULE None() noexcept { return nullptr; }
  static bool IsValid(HMODULE h) noexcept { return h != nullptr; }
  static void Close(HMODULE h) noexcept { FreeLibrary(h); }
};
using UniqueModule = UniqueResource<HMODULE, ModuleTraits>;

struct LocalMemTraits {
  static HLOCAL None() noexcept { return nullptr; }
  static bool IsValid(HLOCAL h) noexcept { return h != nullptr; }
  static void Close(HLOCAL h) noexcept { LocalFree(h); }
};
using UniqueLocalMem = UniqueResource<HLOCAL, LocalMemTraits>;

struct BstrTraits {
  static BSTR None() noexcept { return nullptr; }
  static bool IsValid(BSTR b) noexcept { return b != nullptr; }
  static void Close(BSTR b) noexcept { SysFreeString(b); }
};
using UniqueBstr = UniqueResource<BSTR, BstrTraits>;

// A critical section that lives as long as its owner.
class CriticalSection {
 public:
  CriticalSection() noexcept { InitializeCriticalSection(&cs_); }
  ~CriticalSection() { DeleteCriticalSection(&cs_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  void Enter() noexcept { EnterCriticalSection(&cs_); }
  void Leave() noexcept { LeaveCriticalSection(&cs_); }

 private:
  CRITICAL_SECTION cs_;
};

class CsLock {
 public:
  explicit CsLock(CriticalSection& cs) noexcept : cs_(cs) { cs_.Enter(); }
  ~CsLock() { cs_.Leave(); }
  CsLock(const CsLock&) = delete;
  CsLock& operator=(const CsLock&) = delete;

 private:
  CriticalSection& cs_;
};

// One AddRef'd COM interface pointer.
template <class T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  // Takes a new reference (AddRef).
  static ComPtr Copy(T* p) noexcept {
    ComPtr r;
    r.p_ = p;
    if (p) p->AddRef();
    return r;
  }
  // Adopts a reference the caller already owns.
  static ComPtr Attach(T* p) noexcept {
    ComPtr r;
    r.p_ = p;
    return r;
  }
  ComPtr(const ComPtr& o) noexcept : p_(o.p_) { if (p_) p_->AddRef(); }
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  void Reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  [[nodiscard]] T* Detach() noexcept { return std::exchange(p_, nullptr); }
  T* Get() const noexcept { return p_; }
  T** Put() noexcept { Reset(); return &p_; }
  void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// A zero-filled VARIANT, cleared when it goes. A text it holds is overwritten
// before it is freed: back-end arguments and results carry user names,
// passwords and passcodes. Zero-filled, not just VT_EMPTY, because a VT_EMPTY
// answer is read through its value word as 0, false or a null string.
class UniqueVariant {
 public:
  UniqueVariant() noexcept : v_() {}
  ~UniqueVariant() { Clear(); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  VARIANT* Get() noexcept { return &v_; }
  const VARIANT* Get() const noexcept { return &v_; }
  VARIANT* operator->() noexcept { return &v_; }
  const VARIANT* operator->() const noexcept { return &v_; }
  // Wipes a held text, clears, and zero-fills again.
  void Clear() noexcept {
    if (v_.vt == VT_BSTR && v_.bstrVal != nullptr) SecureZeroMemory(v_.bstrVal, SysStringByteLen(v_.bstrVal));
    VariantClear(&v_);
    v_ = VARIANT();
  }

 private:
  VARIANT v_;
};

}  // namespace talverin
