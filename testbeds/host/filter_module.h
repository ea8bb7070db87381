#pragma once
// A web filter DLL as the web proxy sees it: loaded by path, known only
// through its exports, started with both version calls, reloaded, terminated
// and unloaded. Every call reports what the filter answered and the thread's
// last error right after it, as the proxy would see them.
#include <windows.h>
#include <httpfilt.h>

#include <atomic>
#include <string>
#include <vector>

#include "base/win.h"

namespace talverin::host {

// Flag the proxy passes to TerminateFilter when it unloads the filter.
constexpr DWORD kTerminateMustUnload = 0x00000002;

// Notification bits of a version call's flags (no port or order bits).
constexpr DWORD kNotificationMask = ~(SF_NOTIFY_SECURE_PORT | SF_NOTIFY_NONSECURE_PORT | SF_NOTIFY_ORDER_MASK);

// Result of an export that answers BOOL. `called` is false when the export is
// missing or the module is not loaded; `lastError` then says why.
struct CallResult {
  bool called = false;
  BOOL result = FALSE;
  DWORD lastError = 0;
  bool Succeeded() const { return called && result; }
};

struct VersionResult : CallResult {
  HTTP_FILTER_VERSION version{};
};

struct HresultResult {
  bool called = false;
  HRESULT hr = E_FAIL;
  DWORD lastError = 0;
};

struct StatusResult {
  bool called = false;
  DWORD status = 0;
  DWORD lastError = 0;
};

// Both version calls in the order the proxy makes them.
struct StartResult {
  VersionResult wpx;
  VersionResult isapi;
  bool Succeeded() const { return wpx.Succeeded() && isapi.Succeeded(); }
};

class Connection;

class FilterModule {
 public:
  // Loads the DLL with LoadLibrary. A failure leaves the module unloaded with
  // LoadError() set; the exports that cannot be found are listed by
  // MissingExports() and answer `called == false`.
  explicit FilterModule(const std::string& path, DWORD serverFilterVersion = HTTP_FILTER_REVISION);
  // No filter at all: a proxy that publishes without one. Nothing is loaded,
  // every notification is skipped as not registered, and the exports answer
  // `called == false`.
  FilterModule();
  ~FilterModule();
  FilterModule(const FilterModule&) = delete;
  FilterModule& operator=(const FilterModule&) = delete;

  bool IsLoaded() const { return module_.IsValid(); }
  DWORD LoadError() const { return loadError_; }
  const std::string& Path() const { return path_; }
  std::vector<std::string> MissingExports() const;

  // GetWPXFilterVersion, then GetFilterVersion, each with a structure of its
  // own. The flags of a successful call are kept.
  StartResult Start();
  VersionResult GetWpxFilterVersion();
  VersionResult GetFilterVersion();
  CallResult Reload();
  CallResult Terminate(DWORD flags = kTerminateMustUnload);
  HresultResult RegisterServer();
  HresultResult UnregisterServer();
  StatusResult CallWpxFilterProc(void* context, DWORD notificationType, void* notification);

  // Flags of the last successful GetFilterVersion (0 before one) and of the
  // last successful GetWPXFilterVersion.
  DWORD NotificationFlags() const { return isapiFlags_.load(); }
  DWORD WpxFlags() const { return wpxFlags_.load(); }
  // Whether the proxy delivers this notification to the filter on a port of
  // this kind: the filter registered for it (no port bit means both ports).
  bool WantsNotification(DWORD notificationType, bool securePort) const;

  // Frees the DLL. Refused while connections still use the module.
  bool Unload();
  int LiveConnections() const { return liveConnections_.load(); }

 private:
  friend class Connection;
  using VersionFn = BOOL(WINAPI*)(HTTP_FILTER_VERSION*);
  using FilterProcFn = DWORD(WINAPI*)(HTTP_FILTER_CONTEXT*, DWORD, void*);
  using TerminateFn = BOOL(WINAPI*)(DWORD);
  using WpxFilterProcFn = DWORD(WINAPI*)(void*, DWORD, void*);
  using ReloadFn = BOOL(WINAPI*)();
  using RegisterFn = HRESULT(WINAPI*)();

  struct Exports {
    VersionFn getFilterVersion = nullptr;
    FilterProcFn httpFilterProc = nullptr;
    TerminateFn terminateFilter = nullptr;
    VersionFn getWpxFilterVersion = nullptr;
    WpxFilterProcFn httpWpxFilterProc = nullptr;
    ReloadFn reloadWpxFilterConfiguration = nullptr;
    RegisterFn dllRegisterServer = nullptr;
    RegisterFn dllUnregisterServer = nullptr;
  };

  VersionResult CallVersion(VersionFn fn, std::atomic<DWORD>& keep);
  DWORD MissingReason() const;
  // Used by connections, one notification at a time per connection.
  DWORD CallFilterProc(HTTP_FILTER_CONTEXT* context, DWORD notificationType, void* notification) const;
  bool HasFilterProc() const { return exports_.httpFilterProc != nullptr; }
  void AttachConnection() { ++liveConnections_; }
  void DetachConnection() { --liveConnections_; }

  std::string path_;
  DWORD serverFilterVersion_;
  UniqueModule module_;
  DWORD loadError_ = 0;
  Exports exports_;
  std::atomic<DWORD> isapiFlags_{0};
  std::atomic<DWORD> wpxFlags_{0};
  std::atomic<int> liveConnections_{0};
};

// "SF_NOTIFY_READ_RAW_DATA" and so on; the hexadecimal value for others.
std::string NotificationName(DWORD notificationType);
// "SF_STATUS_REQ_NEXT_NOTIFICATION" and so on; the hexadecimal value for others.
std::string StatusName(DWORD status);
std::string Hex(DWORD value);

}  // namespace talverin::host
