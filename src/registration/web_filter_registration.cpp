#include "registration/web_filter_registration.h"

#include "config/com_text.h"
#include "diag/debug_output.h"
#include "diag/trace_log.h"

namespace talverin {

const char kWebFilterGuid[] = "{6E394025-1BC0-4737-B999-31B84BAB6D4C}";
const char kWebFilterName[] = "TALVERIN ISA Filter";
const char kWebFilterDllPath[] = "TALVERIN\\TALVERIN.ISA.Filter.dll";
const char kWebFilterDescription[] = "TALVERIN Filter to enable Talverin authentication";
const char kWebFilterVendor[] = "TALVERIN\xAE";
const char kWebFilterVersion[] = "4.0";

namespace {

constexpr HRESULT kAlreadyRegistered = static_cast<HRESULT>(0x800700B7);
constexpr HRESULT kNotRegistered = static_cast<HRESULT>(0x80070002);
// In-process, local and remote server: the store's objects may live in the
// ISA/TMG services.
constexpr DWORD kStoreClassContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

unsigned long Code(HRESULT hr) { return static_cast<unsigned long>(hr); }

// Every failure is told twice: to a debugger and to the trace log.
void ReportFailure(const char* debugFormat, const char* traceFormat, HRESULT hr) {
  DebugOutput(debugFormat, Code(hr));
  TLOGF(0, traceFormat, Code(hr));
}

// True, after telling it, when a step failed.
bool StepFailed(HRESULT hr, const char* debugFormat, const char* traceFormat) {
  if (SUCCEEDED(hr)) return false;
  ReportFailure(debugFormat, traceFormat, hr);
  return true;
}

// Puts one text property of the new web filter; E_OUTOFMEMORY, untold, when
// the text cannot be made a BSTR.
template <class Put>
HRESULT PutText(const char* text, Put put, const char* debugFormat, const char* traceFormat) {
  UniqueBstr value = NarrowToBstr(text);
  if (!value) return E_OUTOFMEMORY;
  HRESULT hr = put(value.Get());
  StepFailed(hr, debugFormat, traceFormat);
  return hr;
}

// COM for the duration of one registration call; a thread that already has
// it (S_FALSE) gets its balancing uninitialize as well.
class ComApartment {
 public:
  ComApartment() : hr_(CoInitialize(nullptr)) {}
  ~ComApartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  HRESULT Result() const { return hr_; }

 private:
  HRESULT hr_;
};

}  // namespace

HRESULT GetWebFilters(ComPtr<fpc::IFpcWebFilters>& webFilters) {
  ComPtr<fpc::IFpcRoot> root;
  HRESULT hr = CoCreateInstance(fpc::kClsidRoot, nullptr, kStoreClassContext, fpc::kIidRoot, root.PutVoid());
  if (SUCCEEDED(hr) && !root) hr = E_POINTER;
  if (StepFailed(hr, "ORVANT: Failed retrieving interface. Error code is %lx\n",
                 "GetWebFilters: Failed retrieving interface. Error code is %lx\n"))
    return hr;
  ComPtr<fpc::IFpcArray> array;
  hr = root->GetContainingArray(array.Put());
  if (SUCCEEDED(hr) && !array) hr = E_POINTER;
  if (StepFailed(hr, "ORVANT: Failed to query for current array. Error code is %lx\n",
                 "GetWebFilters: Failed to query for current array. Error code is %lx\n"))
    return hr;
  ComPtr<fpc::IFpcExtensions> extensions;
  hr = array->get_Extensions(extensions.Put());
  if (SUCCEEDED(hr) && !extensions) hr = E_POINTER;
  if (StepFailed(hr, "ORVANT: Failed to query for array extentions. Error code is %lx\n",
                 "GetWebFilters: Failed to query for array extentions. Error code is %lx\n"))
    return hr;
  hr = extensions->get_WebFilters(webFilters.Put());
  if (SUCCEEDED(hr) && !webFilters) hr = E_POINTER;
  if (StepFailed(hr, "ORVANT: Failed to query for Web filters. Error code is %lx\n",
                 "GetWebFilters: Failed to query for Web filters. Error code is %lx\n"))
    return hr;
  return hr;
}

HRESULT AddWebFilter(fpc::IFpcWebFilters* webFilters) {
  UniqueBstr guid = NarrowToBstr(kWebFilterGuid);
  UniqueBstr name = NarrowToBstr(kWebFilterName);
  UniqueBstr dllPath = NarrowToBstr(kWebFilterDllPath);
  if (!guid || !name || !dllPath) return E_OUTOFMEMORY;

  ComPtr<fpc::IFpcWebFilter> webFilter;
  HRESULT hr = webFilters->Add(guid.Get(), name.Get(), dllPath.Get(), 2, 2, webFilter.Put());
  if (hr == kAlreadyRegistered) return S_OK;  // left untouched
  if (SUCCEEDED(hr) && !webFilter) hr = E_POINTER;
  if (StepFailed(hr, "ORVANT: Failed to add the Web filter. Error code is %lx\n",
                 "AddWebFilter: Failed to add the Web filter. Error code is%lx\n"))
    return hr;

  fpc::IFpcWebFilter* filter = webFilter.Get();
  hr = PutText(kWebFilterDescription, [filter](BSTR b) { return filter->put_Description(b); },
               "ORVANT: Failed to set the filter's description. Error code is %lx\n",
               "AddWebFilter: Failed to set the filter's description. Error code is %lx\n");
  if (FAILED(hr)) return hr;
  hr = PutText(kWebFilterVendor, [filter](BSTR b) { return filter->put_Vendor(b); },
               "ORVANT: Failed to set the filter's vendor. Error code is %lx\n",
               "AddWebFilter: Failed to set the filter's vendor. Error code is %lx\n");
  if (FAILED(hr)) return hr;
  hr = PutText(kWebFilterVersion, [filter](BSTR b) { return filter->put_Version(b); },
               "ORVANT: Failed to set the filter's version. Error code is %lx\n",
               "AddWebFilter: Failed to set the filter's version. Error code is %lx\n");
  if (FAILED(hr)) return hr;
  hr = webFilter->put_Enabled(VARIANT_TRUE);
  if (StepFailed(hr, "ORVANT: Failed to Enable the filter. Error code is %lx\n",
                 "AddWebFilter: Failed to Enable the filter. Error code is %lx\n"))
    return hr;
  hr = webFilters->Save(VARIANT_FALSE, VARIANT_TRUE);
  if (FAILED(hr)) {
    ReportFailure("ORVANT: Failed to save the filter. Error code is %lx\n",
                  "AddWebFilter: Failed to save the filter. Error code is %lx\n", hr);
  }
  return hr;
}

HRESULT RemoveWebFilter(fpc::IFpcWebFilters* webFilters) {
  UniqueVariant guid;
  guid->bstrVal = NarrowToBstr(kWebFilterGuid).Take();
  if (guid->bstrVal == nullptr) return E_OUTOFMEMORY;
  guid->vt = VT_BSTR;

  HRESULT hr = webFilters->Remove(*guid.Get());
  if (hr == kNotRegistered) return S_OK;  // nothing to remove, nothing saved
  if (StepFailed(hr, "ORVANT: Failed to remove the Web filter. Error code is %lx\n",
                 "RemoveWebFilter: Failed to remove the Web filter. Error code is %lx\n"))
    return hr;
  hr = webFilters->Save(VARIANT_FALSE, VARIANT_TRUE);
  if (FAILED(hr)) {
    ReportFailure("ORVANT: Failed to save. Error code is %lx\n", "RemoveWebFilter: Failed to save. Error code is %lx\n",
                  hr);
  }
  return hr;
}

namespace {

// Registration and removal alike: COM for the call, the array's web filters,
// then the one step, whose failure is reported with the caller's texts.
HRESULT OnWebFilters(HRESULT (*step)(fpc::IFpcWebFilters*), const char* debugFormat, const char* traceFormat) {
  ComApartment com;
  if (FAILED(com.Result())) {
    ReportFailure("ORVANT: CoInitialize Failed. Error code is %lx\n", "CoInitialize Failed. Error code is %lx\n",
                  com.Result());
    return com.Result();
  }
  ComPtr<fpc::IFpcWebFilters> webFilters;
  HRESULT hr = GetWebFilters(webFilters);
  if (StepFailed(hr, "ORVANT: Get the web filters object failed. Error code is %lx\n",
                 "Get the web filters object failed. Error code is %lx\n"))
    return hr;
  hr = step(webFilters.Get());
  if (FAILED(hr)) ReportFailure(debugFormat, traceFormat, hr);
  return hr;
}

}  // namespace

HRESULT RegisterFilter() {
  return OnWebFilters(AddWebFilter, "ORVANT: Failed to register the web filter. Error code is %lx\n",
                      "Failed to register the web filter. Error code is %lx\n");
}

HRESULT UnregisterFilter() {
  return OnWebFilters(RemoveWebFilter, "ORVANT: Remove web filter failed. Error code is %lx\n",
                      "Remove web filter failed. Error code is %lx\n");
}

}  // namespace talverin
