#pragma once
// A hand-written IDispatch: members are looked up by name without regard to
// case, invoked as gets, puts or method calls, and read their arguments with
// the usual automation conversions. Every object of the back end derives from
// it and lists its members once.
#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "base/win.h"

namespace backend {

// Raised by a member: the caller sees DISP_E_EXCEPTION with this description.
struct BackendError {
  std::wstring description;
};

// What a member answers; decides how injected faults bend the answer.
enum class ResultType { None, Int, Bool, Text, Object, Bytes };

enum Access : unsigned { kGet = 1, kPut = 2, kMethod = 4 };

// The arguments of one call, in the order the caller wrote them.
class Args {
 public:
  explicit Args(const DISPPARAMS* params) : params_(params) {}
  size_t size() const { return params_->cArgs; }
  std::wstring Text(size_t i) const;
  long Int(size_t i) const;
  bool Bool(size_t i) const;

 private:
  void Convert(size_t i, VARTYPE type, VARIANT* out) const;
  const DISPPARAMS* params_;
};

struct Member {
  using CallFn = std::function<void(const Args&, VARIANT* result)>;
  using PutFn = std::function<void(const Args&)>;
  Member(const wchar_t* n, unsigned a, unsigned minA, unsigned maxA, ResultType t, CallFn c, PutFn p = nullptr)
      : name(n), access(a), minArgs(minA), maxArgs(maxA), type(t), call(std::move(c)), put(std::move(p)) {}

  const wchar_t* name;
  unsigned access;
  unsigned minArgs;  // method calls; gets take none and puts exactly one
  unsigned maxArgs;
  ResultType type;
  CallFn call;  // get or method
  PutFn put;
};

// Result writers; the VARIANT is empty on entry.
void SetText(VARIANT* result, const std::wstring& text);
void SetInt(VARIANT* result, long value);
void SetBool(VARIANT* result, bool value);
// Adopts the reference.
void SetObject(VARIANT* result, talverin::ComPtr<IDispatch> object);
void SetBytes(VARIANT* result, const unsigned char* data, size_t size);

class DispatchObject : public IDispatch {
 public:
  DispatchObject(const DispatchObject&) = delete;
  DispatchObject& operator=(const DispatchObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;

 protected:
  explicit DispatchObject(const wchar_t* objectName);
  virtual ~DispatchObject();
  void AddMember(Member member) { members_.push_back(std::move(member)); }

 private:
  HRESULT Call(const Member& member, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo);

  std::atomic<ULONG> refs_{1};
  const wchar_t* objectName_;
  std::vector<Member> members_;
};

// Creates an object of a DispatchObject type and hands out its one reference.
template <class T, class... A>
talverin::ComPtr<IDispatch> MakeObject(A&&... args) {
  return talverin::ComPtr<IDispatch>::Attach(new T(std::forward<A>(args)...));
}

}  // namespace backend
