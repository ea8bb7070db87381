#include "stub/html_server.h"

namespace Stub {
namespace {

constexpr Member kRenderHtmlPage = MethodCall(MemberSlot::HtmlRenderHtmlPage, L"RenderHtmlPage");
constexpr Member kRenderPicture = MethodCall(MemberSlot::HtmlRenderPicture, L"RenderPicture");

// Holds a SAFEARRAY's lock while its data is read.
class SafeArrayAccess {
 public:
  explicit SafeArrayAccess(SAFEARRAY* array) noexcept : array_(array), hr_(SafeArrayLock(array)) {}
  ~SafeArrayAccess() {
    if (SUCCEEDED(hr_)) SafeArrayUnlock(array_);
  }
  SafeArrayAccess(const SafeArrayAccess&) = delete;
  SafeArrayAccess& operator=(const SafeArrayAccess&) = delete;
  HRESULT Result() const noexcept { return hr_; }

 private:
  SAFEARRAY* array_;
  HRESULT hr_;
};

void ReadBounds(SAFEARRAY* array, LONG& lower, LONG& upper) {
  HRESULT hr = SafeArrayGetLBound(array, 1, &lower);
  ThrowIfFailed(hr);
  hr = SafeArrayGetUBound(array, 1, &upper);
  ThrowIfFailed(hr);
}

void AppendPictureBytes(const VARIANT& result, std::vector<unsigned char>& bytes) {
  RaiseIfEmpty(result, OnEmpty::Raise);
  // Only an array's value word is an array pointer; reading one out of a
  // string or a number would fault.
  if ((result.vt & VT_ARRAY) == 0 || (result.vt & VT_BYREF) != 0 || result.parray == nullptr) {
    throw HRXEx(E_INVALIDARG);
  }
  SAFEARRAY* array = result.parray;
  VARTYPE elementType = VT_EMPTY;
  HRESULT hr = SafeArrayGetVartype(array, &elementType);
  ThrowIfFailed(hr);
  if (elementType != VT_UI1 || SafeArrayGetDim(array) != 1) throw HRXEx(E_INVALIDARG);

  SafeArrayAccess access(array);
  ThrowIfFailed(access.Result());
  LONG lower = 0;
  LONG upper = -1;
  ReadBounds(array, lower, upper);
  const long long count = static_cast<long long>(upper) - lower + 1;
  const unsigned char* data = static_cast<const unsigned char*>(array->pvData);
  for (long long i = 0; i < count; ++i) {
    ReadBounds(array, lower, upper);
    if (i < lower || i > upper) throw HRXEx(E_INVALIDARG);
    bytes.push_back(data[i - lower]);
  }
}

}  // namespace

std::string HtmlServer::RenderHtmlPage(const std::string& pageName, const std::string& text) {
  return Call(kRenderHtmlPage, TextResult{OnEmpty::Raise}, pageName, text);
}

std::string HtmlServer::RenderHtmlPage(const std::string& pageName) { return RenderHtmlPage(pageName, std::string()); }

void HtmlServer::RenderPicture(const std::string& pictureName, std::vector<unsigned char>& bytes) {
  Call(
      kRenderPicture, [&bytes](const VARIANT& result) { AppendPictureBytes(result, bytes); }, pictureName);
}

}  // namespace Stub
