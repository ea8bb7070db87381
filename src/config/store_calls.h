#pragma once
// The one way the filter walks the configuration store, whether it reads the
// listeners at start-up or adds itself to the array's web filters: a failed
// call, or one that answered success without its object, raises a
// Configuration error and the walk ends there.
#include <windows.h>
#include <oleauto.h>

#include "base/error.h"
#include "base/win.h"
#include "config/com_text.h"

namespace talverin {

inline void ThrowIfStoreFailed(HRESULT hr) { ThrowIfFailed(ErrorCategory::Configuration, hr); }
inline void ThrowIfStoreNotOk(HRESULT hr) { ThrowIfNotOk(ErrorCategory::Configuration, hr); }

// E_POINTER for a call that succeeded but left its object out: used further
// down, it would be a null pointer.
template <class T>
HRESULT StoreResult(HRESULT hr, const ComPtr<T>& object) {
  return SUCCEEDED(hr) && !object ? E_POINTER : hr;
}

template <class T>
void ThrowIfMissing(const ComPtr<T>& object) {
  ThrowIfStoreFailed(StoreResult(S_OK, object));
}

// A name or value for a store call; E_OUTOFMEMORY when it cannot be made.
inline UniqueBstr StoreText(const char* text) {
  UniqueBstr value = NarrowToBstr(text);
  if (!value) ThrowIfStoreFailed(E_OUTOFMEMORY);
  return value;
}

// The key of a collection's Item or Remove call: a name, or a 1-based index.
inline void SetStoreKey(UniqueVariant& key, const char* name) {
  key->bstrVal = StoreText(name).Take();
  key->vt = VT_BSTR;
}
inline void SetStoreKey(UniqueVariant& key, long index) {
  key->vt = VT_I4;
  key->lVal = index;
}

}  // namespace talverin
