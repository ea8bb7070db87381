#include "host/filter_module.h"

#include <cstdio>

namespace talverin::host {
namespace {

template <class F>
F Resolve(HMODULE module, const char* name) {
  // Through a plain function pointer type: FARPROC to F directly draws a
  // cast-function-type warning.
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

std::string NotificationName(DWORD notificationType) {
  switch (notificationType) {
    case SF_NOTIFY_READ_RAW_DATA: return "SF_NOTIFY_READ_RAW_DATA";
    case SF_NOTIFY_PREPROC_HEADERS: return "SF_NOTIFY_PREPROC_HEADERS";
    case SF_NOTIFY_AUTHENTICATION: return "SF_NOTIFY_AUTHENTICATION";
    case SF_NOTIFY_URL_MAP: return "SF_NOTIFY_URL_MAP";
    case SF_NOTIFY_ACCESS_DENIED: return "SF_NOTIFY_ACCESS_DENIED";
    case SF_NOTIFY_SEND_RESPONSE: return "SF_NOTIFY_SEND_RESPONSE";
    case SF_NOTIFY_SEND_RAW_DATA: return "SF_NOTIFY_SEND_RAW_DATA";
    case SF_NOTIFY_LOG: return "SF_NOTIFY_LOG";
    case SF_NOTIFY_END_OF_REQUEST: return "SF_NOTIFY_END_OF_REQUEST";
    case SF_NOTIFY_END_OF_NET_SESSION: return "SF_NOTIFY_END_OF_NET_SESSION";
    case SF_NOTIFY_AUTH_COMPLETE: return "SF_NOTIFY_AUTH_COMPLETE";
    default: return Hex(notificationType);
  }
}

std::string StatusName(DWORD status) {
  switch (status) {
    case SF_STATUS_REQ_FINISHED: return "SF_STATUS_REQ_FINISHED";
    case SF_STATUS_REQ_FINISHED_KEEP_CONN: return "SF_STATUS_REQ_FINISHED_KEEP_CONN";
    case SF_STATUS_REQ_NEXT_NOTIFICATION: return "SF_STATUS_REQ_NEXT_NOTIFICATION";
    case SF_STATUS_REQ_HANDLED_NOTIFICATION: return "SF_STATUS_REQ_HANDLED_NOTIFICATION";
    case SF_STATUS_REQ_ERROR: return "SF_STATUS_REQ_ERROR";
    case SF_STATUS_REQ_READ_NEXT: return "SF_STATUS_REQ_READ_NEXT";
    default: return Hex(status);
  }
}

FilterModule::FilterModule() : serverFilterVersion_(HTTP_FILTER_REVISION), loadError_(ERROR_MOD_NOT_FOUND) {}

FilterModule::FilterModule(const std::string& path, DWORD serverFilterVersion)
    : path_(path), serverFilterVersion_(serverFilterVersion) {
  module_.Reset(LoadLibraryA(path.c_str()));
  if (!module_) {
    loadError_ = GetLastError();
    return;
  }
  HMODULE m = module_.Get();
  exports_.getFilterVersion = Resolve<VersionFn>(m, "GetFilterVersion");
  exports_.httpFilterProc = Resolve<FilterProcFn>(m, "HttpFilterProc");
  exports_.terminateFilter = Resolve<TerminateFn>(m, "TerminateFilter");
  exports_.getWpxFilterVersion = Resolve<VersionFn>(m, "GetWPXFilterVersion");
  exports_.httpWpxFilterProc = Resolve<WpxFilterProcFn>(m, "HttpWPXFilterProc");
  exports_.reloadWpxFilterConfiguration = Resolve<ReloadFn>(m, "ReloadWPXFilterConfiguration");
  exports_.dllRegisterServer = Resolve<RegisterFn>(m, "DllRegisterServer");
  exports_.dllUnregisterServer = Resolve<RegisterFn>(m, "DllUnregisterServer");
}

FilterModule::~FilterModule() = default;

std::vector<std::string> FilterModule::MissingExports() const {
  std::vector<std::string> missing;
  auto check = [&](const void* fn, const char* name) {
    if (!fn) missing.emplace_back(name);
  };
  check(reinterpret_cast<const void*>(exports_.getFilterVersion), "GetFilterVersion");
  check(reinterpret_cast<const void*>(exports_.httpFilterProc), "HttpFilterProc");
  check(reinterpret_cast<const void*>(exports_.terminateFilter), "TerminateFilter");
  check(reinterpret_cast<const void*>(exports_.getWpxFilterVersion), "GetWPXFilterVersion");
  check(reinterpret_cast<const void*>(exports_.httpWpxFilterProc), "HttpWPXFilterProc");
  check(reinterpret_cast<const void*>(exports_.reloadWpxFilterConfiguration), "ReloadWPXFilterConfiguration");
  check(reinterpret_cast<const void*>(exports_.dllRegisterServer), "DllRegisterServer");
  check(reinterpret_cast<const void*>(exports_.dllUnregisterServer), "DllUnregisterServer");
  return missing;
}

DWORD FilterModule::MissingReason() const { return IsLoaded() ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND; }

StartResult FilterModule::Start() {
  StartResult result;
  result.wpx = GetWpxFilterVersion();
  result.isapi = GetFilterVersion();
  return result;
}

VersionResult FilterModule::CallVersion(VersionFn fn, std::atomic<DWORD>& keep) {
  VersionResult r;
  r.version.dwServerFilterVersion = serverFilterVersion_;
  if (!fn) {
    r.lastError = MissingReason();
    return r;
  }
  r.called = true;
  SetLastError(0);
  r.result = fn(&r.version);
  r.lastError = GetLastError();
  // The description is the filter's text; make sure reading it stays inside.
  r.version.lpszFilterDesc[SF_MAX_FILTER_DESC_LEN - 1] = '\0';
  if (r.result) keep = r.version.dwFlags;
  return r;
}

VersionResult FilterModule::GetWpxFilterVersion() { return CallVersion(exports_.getWpxFilterVersion, wpxFlags_); }

VersionResult FilterModule::GetFilterVersion() { return CallVersion(exports_.getFilterVersion, isapiFlags_); }

CallResult FilterModule::Reload() {
  CallResult r;
  if (!exports_.reloadWpxFilterConfiguration) {
    r.lastError = MissingReason();
    return r;
  }
  r.called = true;
  SetLastError(0);
  r.result = exports_.reloadWpxFilterConfiguration();
  r.lastError = GetLastError();
  return r;
}

CallResult FilterModule::Terminate(DWORD flags) {
  CallResult r;
  if (!exports_.terminateFilter) {
    r.lastError = MissingReason();
    return r;
  }
  r.called = true;
  SetLastError(0);
  r.result = exports_.terminateFilter(flags);
  r.lastError = GetLastError();
  return r;
}

HresultResult FilterModule::RegisterServer() {
  HresultResult r;
  if (!exports_.dllRegisterServer) {
    r.lastError = MissingReason();
    return r;
  }
  r.called = true;
  SetLastError(0);
  r.hr = exports_.dllRegisterServer();
  r.lastError = GetLastError();
  return r;
}

HresultResult FilterModule::UnregisterServer() {
  HresultResult r;
  if (!exports_.dllUnregisterServer) {
    r.lastError = MissingReason();
    return r;
  }
  r.called = true;
  SetLastError(0);
  r.hr = exports_.dllUnregisterServer();
  r.lastError = GetLastError();
  return r;
}

StatusResult FilterModule::CallWpxFilterProc(void* context, DWORD notificationType, void* notification) {
  StatusResult r;
  if (!exports_.httpWpxFilterProc) {
    r.lastError = MissingReason();
    return r;
  }
  r.called = true;
  SetLastError(0);
  r.status = exports_.httpWpxFilterProc(context, notificationType, notification);
  r.lastError = GetLastError();
  return r;
}

bool FilterModule::WantsNotification(DWORD notificationType, bool securePort) const {
  if (!exports_.httpFilterProc) return false;
  DWORD flags = isapiFlags_.load();
  DWORD ports = flags & (SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT);
  if (ports != 0 && !(ports & (securePort ? SF_NOTIFY_SECURE_PORT : SF_NOTIFY_NONSECURE_PORT))) return false;
  return (flags & kNotificationMask & notificationType) == notificationType && notificationType != 0;
}

DWORD FilterModule::CallFilterProc(HTTP_FILTER_CONTEXT* context, DWORD notificationType, void* notification) const {
  return exports_.httpFilterProc(context, notificationType, notification);
}

bool FilterModule::Unload() {
  if (liveConnections_.load() != 0) return false;
  exports_ = Exports{};
  isapiFlags_ = 0;
  wpxFlags_ = 0;
  module_.Reset();
  return true;
}

}  // namespace talverin::host
