#pragma once
// An IDispatch object scripted by the test: it answers each member by name
// with a chosen HRESULT and result, and records every lookup and invocation,
// so that tests can assert the exact traffic a back end would see.
#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/win.h"
#include "stub/errors.h"

namespace stubtest {

struct ReceivedArgument {
  VARTYPE vt = VT_EMPTY;
  bool nullText = false;  // VT_BSTR holding a null BSTR
  std::wstring text;      // VT_BSTR
  long long number = 0;   // VT_I2, VT_I4, VT_BOOL
};

struct ReceivedCall {
  std::wstring member;  // empty: a DISPID the object does not know
  WORD flags = 0;
  LCID locale = 0;
  bool iidNull = false;
  std::vector<DISPID> namedArguments;
  std::vector<ReceivedArgument> arguments;  // in the order the member receives them
  bool resultRequested = false;
};

struct Lookup {
  std::wstring name;
  LCID locale = 0;
  bool iidNull = false;
  UINT count = 0;
};

// What one member answers: the HRESULT of Invoke and what goes into the result.
struct Answer {
  HRESULT hr = S_OK;
  std::function<void(VARIANT*)> fill;  // called only when a result is requested
};

Answer Empty();
Answer Failure(HRESULT hr);
Answer WithHResult(Answer answer, HRESULT hr);
Answer Text(const std::wstring& text);
Answer NullText();
Answer Integer(long value);
Answer Short(short value);
Answer Boolean(VARIANT_BOOL value);
Answer Object(IDispatch* object);  // VT_DISPATCH, null allowed; AddRefs per answer
Answer Unknown(IUnknown* object);
// A SAFEARRAY of one element type: one dimension with the given lower bound, or two.
Answer ByteArray(const std::vector<unsigned char>& bytes, LONG lowerBound = 0);
Answer ShortArray(const std::vector<short>& values);
Answer TwoDimensionalByteArray(ULONG rows, ULONG columns);

class ScriptedDispatch : public IDispatch {
 public:
  // A new object with one reference, held by the pointer returned.
  static talverin::ComPtr<ScriptedDispatch> Create();

  // Makes member known to lookups and sets its answer for every call kind.
  void Script(const std::wstring& member, Answer answer);
  void FailLookup(const std::wstring& member, HRESULT hr);
  // Gives every member a new DISPID: the old ones answer DISP_E_MEMBERNOTFOUND,
  // as a back end replaced by one that numbers its members otherwise.
  void Renumber();
  // Called inside every Invoke, before the answer (for blocking tests).
  void OnInvoke(std::function<void(const std::wstring& member)> hook);

  std::vector<ReceivedCall> Calls();
  std::vector<Lookup> Lookups();
  void ForgetTraffic();
  ULONG References() const { return references_.load(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID locale, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exceptionInfo, UINT* argumentError) override;

 private:
  ScriptedDispatch() = default;
  virtual ~ScriptedDispatch() = default;

  struct Entry {
    DISPID id = 0;
    Answer answer;
    HRESULT lookupFailure = S_OK;
  };
  Entry& EntryOf(const std::wstring& member);

  std::atomic<ULONG> references_{1};
  std::mutex mutex_;
  std::map<std::wstring, Entry> members_;
  std::vector<ReceivedCall> calls_;
  std::vector<Lookup> lookups_;
  std::function<void(const std::wstring&)> hook_;
  DISPID nextId_ = 100;
};

// What a call did, as one comparable text: "value:...", "raised:<message>"
// (a request that cannot go on), or "hrxex:0x<hr>" for a failed back-end call,
// followed by "/<category>" when the failure is not the back end's.
inline std::string Outcome(const std::function<std::string()>& call) {
  try {
    return "value:" + call();
  } catch (const talverin::Error& e) {
    if (!e.fromHResult) return std::string(e.category == talverin::ErrorCategory::Request ? "raised:" : "other:") + e.what();
    char text[32];
    std::snprintf(text, sizeof text, "hrxex:0x%08lX", static_cast<unsigned long>(e.hr));
    return text + std::string(e.category == talverin::ErrorCategory::BackEnd   ? ""
                              : e.category == talverin::ErrorCategory::Request ? "/request"
                                                                               : "/other");
  }
}

}  // namespace stubtest
