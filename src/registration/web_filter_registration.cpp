#include "registration/web_filter_registration.h"

#include <new>
#include <optional>

#include "config/store_calls.h"
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

// A failed step of the walk is told with its own texts before it ends the
// walk.
void ThrowIfStepFailed(HRESULT hr, const char* debugFormat, const char* traceFormat) {
  if (FAILED(hr)) ReportFailure(debugFormat, traceFormat, hr);
  ThrowIfStoreFailed(hr);
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

ComPtr<fpc::IFpcWebFilters> GetWebFilters() {
  ComPtr<fpc::IFpcRoot> root;
  HRESULT hr = CoCreateInstance(fpc::kClsidRoot, nullptr, kStoreClassContext, fpc::kIidRoot, root.PutVoid());
  ThrowIfStepFailed(StoreResult(hr, root), "ORVANT: Failed retrieving interface. Error code is %lx\n",
                    "GetWebFilters: Failed retrieving interface. Error code is %lx\n");
  ComPtr<fpc::IFpcArray> array;
  hr = root->GetContainingArray(array.Put());
  ThrowIfStepFailed(StoreResult(hr, array), "ORVANT: Failed to query for current array. Error code is %lx\n",
                    "GetWebFilters: Failed to query for current array. Error code is %lx\n");
  ComPtr<fpc::IFpcExtensions> extensions;
  hr = array->get_Extensions(extensions.Put());
  ThrowIfStepFailed(StoreResult(hr, extensions), "ORVANT: Failed to query for array extentions. Error code is %lx\n",
                    "GetWebFilters: Failed to query for array extentions. Error code is %lx\n");
  ComPtr<fpc::IFpcWebFilters> webFilters;
  hr = extensions->get_WebFilters(webFilters.Put());
  ThrowIfStepFailed(StoreResult(hr, webFilters), "ORVANT: Failed to query for Web filters. Error code is %lx\n",
                    "GetWebFilters: Failed to query for Web filters. Error code is %lx\n");
  return webFilters;
}

void AddWebFilter(fpc::IFpcWebFilters* webFilters) {
  const UniqueBstr guid = StoreText(kWebFilterGuid);
  const UniqueBstr name = StoreText(kWebFilterName);
  const UniqueBstr dllPath = StoreText(kWebFilterDllPath);
  ComPtr<fpc::IFpcWebFilter> webFilter;
  const HRESULT hr = webFilters->Add(guid.Get(), name.Get(), dllPath.Get(), 2, 2, webFilter.Put());
  if (hr == kAlreadyRegistered) return;  // left untouched
  ThrowIfStepFailed(StoreResult(hr, webFilter), "ORVANT: Failed to add the Web filter. Error code is %lx\n",
                    "AddWebFilter: Failed to add the Web filter. Error code is%lx\n");

  ThrowIfStepFailed(webFilter->put_Description(StoreText(kWebFilterDescription).Get()),
                    "ORVANT: Failed to set the filter's description. Error code is %lx\n",
                    "AddWebFilter: Failed to set the filter's description. Error code is %lx\n");
  ThrowIfStepFailed(webFilter->put_Vendor(StoreText(kWebFilterVendor).Get()),
                    "ORVANT: Failed to set the filter's vendor. Error code is %lx\n",
                    "AddWebFilter: Failed to set the filter's vendor. Error code is %lx\n");
  ThrowIfStepFailed(webFilter->put_Version(StoreText(kWebFilterVersion).Get()),
                    "ORVANT: Failed to set the filter's version. Error code is %lx\n",
                    "AddWebFilter: Failed to set the filter's version. Error code is %lx\n");
  ThrowIfStepFailed(webFilter->put_Enabled(VARIANT_TRUE), "ORVANT: Failed to Enable the filter. Error code is %lx\n",
                    "AddWebFilter: Failed to Enable the filter. Error code is %lx\n");
  ThrowIfStepFailed(webFilters->Save(VARIANT_FALSE, VARIANT_TRUE),
                    "ORVANT: Failed to save the filter. Error code is %lx\n",
                    "AddWebFilter: Failed to save the filter. Error code is %lx\n");
}

void RemoveWebFilter(fpc::IFpcWebFilters* webFilters) {
  UniqueVariant guid;
  SetStoreKey(guid, kWebFilterGuid);
  const HRESULT hr = webFilters->Remove(*guid.Get());
  if (hr == kNotRegistered) return;  // nothing to remove, nothing saved
  ThrowIfStepFailed(hr, "ORVANT: Failed to remove the Web filter. Error code is %lx\n",
                    "RemoveWebFilter: Failed to remove the Web filter. Error code is %lx\n");
  ThrowIfStepFailed(webFilters->Save(VARIANT_FALSE, VARIANT_TRUE), "ORVANT: Failed to save. Error code is %lx\n",
                    "RemoveWebFilter: Failed to save. Error code is %lx\n");
}

// Registration and removal alike, the exports' edge: COM for the call, the
// array's web filters, then the one step. A failure ends the walk and answers
// its HRESULT, with the caller's summary after the step's own texts.
HRESULT WalkWebFilters(void (*step)(fpc::IFpcWebFilters*), const char* debugFormat, const char* traceFormat) {
  ComApartment com;
  if (FAILED(com.Result())) {
    ReportFailure("ORVANT: CoInitialize Failed. Error code is %lx\n", "CoInitialize Failed. Error code is %lx\n",
                  com.Result());
    return com.Result();
  }
  ComPtr<fpc::IFpcWebFilters> webFilters;
  if (const std::optional<Error> failure = CaptureError([&] { webFilters = GetWebFilters(); })) {
    ReportFailure("ORVANT: Get the web filters object failed. Error code is %lx\n",
                  "Get the web filters object failed. Error code is %lx\n", failure->hr);
    return failure->hr;
  }
  if (const std::optional<Error> failure = CaptureError([&] { step(webFilters.Get()); })) {
    ReportFailure(debugFormat, traceFormat, failure->hr);
    return failure->hr;
  }
  return S_OK;
}

// No exception leaves the exports: an error's own text may be all the memory
// that was left.
HRESULT OnWebFilters(void (*step)(fpc::IFpcWebFilters*), const char* debugFormat, const char* traceFormat) {
  try {
    return WalkWebFilters(step, debugFormat, traceFormat);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
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
