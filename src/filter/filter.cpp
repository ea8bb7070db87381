// CFilter's lifecycle: the version calls, start-up, reload and shut-down.
#include "filter/filter.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "diag/debug_output.h"
#include "diag/event_log.h"
#include "diag/trace_log.h"
#include "base/error.h"

namespace talverin {

CFilter::CFilter(ImplementationFactory factory, WebListenerReader listenerReader, Clock clock)
    : factory_(std::move(factory)), listenerReader_(std::move(listenerReader)), clock_(std::move(clock)) {
  // The logs and the settings are function-local statics: construct them now
  // so that they outlive this object, whose implementation may still log
  // while it is destroyed.
  TraceLog::Instance();
  FilterSettings::Instance();
  EventLog::Instance();
}

CFilter::~CFilter() = default;

std::int64_t CFilter::SystemClock() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::shared_ptr<IFilterImplementation> CFilter::Implementation() const { return std::atomic_load(&implementation_); }

BOOL CFilter::GetFilterVersion(HTTP_FILTER_VERSION* version) {
  DebugOutput("ORVANT: Registering filter ISAPI notifications\n");
  return VersionCall(version, kIsapiNotificationFlags);
}

BOOL CFilter::GetWPXFilterVersion(HTTP_FILTER_VERSION* version) {
  DebugOutput("ORVANT: Registering filter WPX notifications\n");
  return VersionCall(version, kWpxNotificationFlags);
}

BOOL CFilter::VersionCall(HTTP_FILTER_VERSION* version, DWORD baseFlags) {
  HRESULT hr = Init();
  if (hr != S_OK) {
    SetLastError(static_cast<DWORD>(hr));
    return FALSE;
  }
  FillFilterVersion(version, baseFlags);
  return TRUE;
}

BOOL CFilter::ReloadConfiguration() {
  DebugOutput("ORVANT: Reload filter configuration\n");
  HRESULT hr = Reload();
  if (hr != S_OK) {
    SetLastError(static_cast<DWORD>(hr));
    return FALSE;
  }
  return TRUE;
}

BOOL CFilter::TerminateFilter() {
  DWORD result = Terminate();
  if (result != 0) {
    SetLastError(result);
    return FALSE;
  }
  return TRUE;
}

HRESULT CFilter::Init() {
  if (initialized_.load()) {
    TLOG(0, "Init has already has been called. Skipping this one.");
    return S_OK;
  }
  // A module whose own file name cannot be read or holds no backslash fails
  // the start-up; the host process is not ended for it.
  std::string logPath;
  HRESULT hr = GetLogFilePath(logPath);
  if (FAILED(hr)) return hr;
  TraceLog& log = TraceLog::Instance();
  log.SetPath(logPath);
  log.SetLevel(1);

  try {
    return RunInit();
  } catch (const Error& e) {
    if (!e.fromHResult) {
      TLOGF(0, "Stub exception during initializing, error message: \"%s\".", e.what());
      return E_FAIL;
    }
    TLOG(0, e.text);
    TLOG(0, e.errorText);
    return e.hr != S_OK ? e.hr : E_FAIL;
  } catch (const std::exception& e) {
    // Out of memory and the like: a failed version call, never an exception
    // reaching the host.
    TLOGF(0, "Exception during initializing, error message: \"%s\".", e.what());
    return E_FAIL;
  } catch (...) {
    TLOG(0, "Unknown error during initializing.");
    return E_UNEXPECTED;
  }
}

HRESULT CFilter::RunInit() {
  TLOG(0, "*********** Initializing TALVERIN ISA Web Filter ***********");
  TLOGF(0, "Version: %s", ModuleVersionText(ThisModule()).c_str());

  // The registry values and the listeners are read first and published
  // together: a request never sees the new values with the old listeners.
  RegistrySettings registry = FilterSettings::ReadRegistry();
  TraceLog::Instance().SetLevel(registry.traceLevel);
  TLOG(0, "Settings have been loaded successfully.");

  WebListenerMap listeners;
  if (listenerReader_) listenerReader_(*this, listeners);
  TLOG(0, "Web listeners configuration map initialized successfully.");
  FilterSettings::Instance().Publish(std::make_shared<const Config>(std::move(registry), std::move(listeners)));
  TLOG(0, "Saved web listeners configuration to settings successfully.");

  TLOG(0, "Loading \"Anonymous logon\" implementation.");
  std::shared_ptr<IFilterImplementation> implementation = factory_ ? factory_() : nullptr;
  if (!implementation) return E_POINTER;
  std::atomic_store(&implementation_, implementation);
  initialized_.store(true);
  const HRESULT hr = implementation->Init();
  if (hr == S_OK) {
    const ConfigSnapshot config = FilterSettings::Instance().Snapshot();
    EventLog::Instance().ReportStarted(ModuleVersionText(ThisModule()), config->Settings().traceLevel,
                                       config->Listeners());
  }
  return hr;
}

HRESULT CFilter::Reload() {
  TLOG(0, "Reloading the filter...");
  initialized_.store(false);
  return Init();
}

DWORD CFilter::Terminate() {
  TLOG(0, "*********** Deinitializing TALVERIN ISA Web Filter ***********");
  std::shared_ptr<IFilterImplementation> implementation = Implementation();
  DWORD result = 0;  // also when start-up never got as far as an implementation
  try {
    if (implementation) result = implementation->Deinit();
  } catch (...) {
    result = static_cast<DWORD>(E_FAIL);
  }
  // The last event, written before this returns: nothing is left pending when
  // the host unloads the module.
  EventLog::Instance().Report(TALVERIN_EVENT_FILTER_STOPPED);
  EventLog::Instance().Stop();
  return result;
}

DWORD FilterRevision() {
  OSVERSIONINFOEXA extended{};
  extended.dwOSVersionInfoSize = sizeof extended;
  DWORD major = 0;
  bool known = false;
  if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&extended))) {
    major = extended.dwMajorVersion;
    known = true;
  } else {
    OSVERSIONINFOA plain{};
    plain.dwOSVersionInfoSize = sizeof plain;
    if (GetVersionExA(&plain)) {
      major = plain.dwMajorVersion;
      known = true;
    }
  }
  return known && major >= 6 ? kFilterRevision8 : kFilterRevision6;
}

void FillFilterVersion(HTTP_FILTER_VERSION* version, DWORD baseFlags) {
  if (!version) return;
  DWORD revision = FilterRevision();
  version->dwFilterVersion = revision;
  version->dwFlags = revision == kFilterRevision8 ? baseFlags | kRevision8ExtraFlag : baseFlags;
}

std::string ModuleVersionText(HMODULE module) {
  char path[2048] = {};
  DWORD length = GetModuleFileNameA(module, path, sizeof path);
  if (length == 0 || length >= sizeof path) return std::string();
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0) return std::string();
  std::vector<char> data(size);
  if (!GetFileVersionInfoA(path, 0, size, data.data())) return std::string();
  void* block = nullptr;
  UINT blockLength = 0;
  if (!VerQueryValueA(data.data(), "\\", &block, &blockLength) || !block || blockLength < sizeof(VS_FIXEDFILEINFO))
    return std::string();
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(block);
  if (info->dwSignature != 0xFEEF04BD) return std::string();
  char text[64];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>(HIWORD(info->dwFileVersionMS)),
                static_cast<int>(LOWORD(info->dwFileVersionMS)), static_cast<int>(HIWORD(info->dwFileVersionLS)),
                static_cast<int>(LOWORD(info->dwFileVersionLS)));
  return text;
}

}  // namespace talverin
