#pragma once
// The one process-wide filter object: start-up, reload and shut-down, the
// dispatch of every host notification to the handler implementation, and the
// fault guard that blocks the filter after repeated faults.
#include <windows.h>
#include <httpfilt.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "base/win.h"
#include "config/filter_settings.h"
#include "filter/filter_implementation.h"
#include "http/notification_masks.h"

namespace talverin {

constexpr DWORD kWpxNotificationFlags = 0;
constexpr DWORD kRevision8ExtraFlag = 0x00100000;
constexpr DWORD kFilterRevision6 = 0x00060000;
constexpr DWORD kFilterRevision8 = 0x00080000;

class CFilter {
 public:
  // Creates the handler implementation that Init installs.
  using ImplementationFactory = std::function<std::shared_ptr<IFilterImplementation>()>;
  // Fills the web listener map from the configuration store; reports failures
  // by raising an Error.
  using WebListenerReader = std::function<void(CFilter&, WebListenerMap&)>;
  // Calendar time in whole seconds.
  using Clock = std::function<std::int64_t()>;

  CFilter(ImplementationFactory factory, WebListenerReader listenerReader, Clock clock = SystemClock);
  CFilter(const CFilter&) = delete;
  CFilter& operator=(const CFilter&) = delete;
  virtual ~CFilter();

  // The host's entry points.
  BOOL GetFilterVersion(HTTP_FILTER_VERSION* version);
  BOOL GetWPXFilterVersion(HTTP_FILTER_VERSION* version);
  BOOL ReloadConfiguration();
  BOOL TerminateFilter();

  // 0 on success. A failure leaves the filter to be initialized again by the
  // next version or reload call, unless the implementation's own Init failed.
  HRESULT Init();
  HRESULT Reload();
  DWORD Terminate();

  // One notification; every thrown failure is contained here. Run it through
  // GuardedDispatch (fault_guard.h) to contain machine faults as well.
  DWORD Dispatch(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, void* notification);

  // Counts one contained fault.
  void RecordFault();
  // True while notifications are refused; lifts a block whose time has run out.
  bool IsBlocked();

  // The installed implementation (null before the first successful Init).
  std::shared_ptr<IFilterImplementation> Implementation() const;

  static std::int64_t SystemClock();

 private:
  BOOL VersionCall(HTTP_FILTER_VERSION* version, DWORD baseFlags);
  HRESULT RunInit();

  ImplementationFactory factory_;
  WebListenerReader listenerReader_;
  Clock clock_;

  // Fault guard, shared by all notification threads.
  CriticalSection guardLock_;
  bool blocked_ = false;
  std::int32_t blockAttempts_ = 0;
  std::int64_t blockStart_ = 0;

  std::atomic<bool> initialized_{false};
  // Swapped atomically by a reload; dispatch holds its own reference for the
  // length of a call, so an old implementation outlives the calls inside it.
  std::shared_ptr<IFilterImplementation> implementation_;
};

// The filter revision the host is told: 8.0 from major version 6 on, else 6.0.
DWORD FilterRevision();
// Fills the host's version structure for a successful version call.
void FillFilterVersion(HTTP_FILTER_VERSION* version, DWORD baseFlags);
// "a.b.c.d" of the module's fixed file version, or empty.
std::string ModuleVersionText(HMODULE module);

}  // namespace talverin
