#pragma once
// The filter's events in the Windows Application log (source "TALVERIN ISA
// Filter", messages in the DLL's message table, talverin_events.h). Events
// are queued and written by a worker thread of the facility's own, so that no
// request ever waits on the event log service: the first event starts it, and
// it ends as soon as the queue is empty (events are rare). Stop
// (TerminateFilter) waits for it. The worker holds a reference to the module,
// so a module unloaded meanwhile stays mapped until it is done. Inserted
// strings never carry a password, a passcode or a session key.
#include <atomic>
#include <windows.h>
#include <httpfilt.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/win.h"
#include "config/web_listener_info.h"
#include "diag/event_throttle.h"
#include "talverin_events.h"

namespace talverin {

extern const char kEventSource[];  // "TALVERIN ISA Filter"

struct LoggedEvent {
  WORD type;  // EVENTLOG_ERROR_TYPE and the like, from the message's severity
  DWORD id;   // the message identifier, severity bits included
  std::vector<std::string> strings;
};

class EventLog {
 public:
  // Receives each event on the worker thread; by default ReportEvent.
  using Sink = std::function<void(const LoggedEvent&)>;
  // Seconds on a clock that does not go back; by default the tick count.
  using Clock = std::function<std::int64_t()>;

  explicit EventLog(Sink sink = Sink(), Clock clock = Clock());
  // Waits for a worker still writing.
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // The filter's instance, writing to the Application log.
  static EventLog& Instance();

  void Report(DWORD id, std::vector<std::string> strings = {});
  // Start-up: remembers the listeners' names for the events of requests.
  void ReportStarted(const std::string& version, unsigned traceLevel, const WebListenerMap& listeners);
  // The back end: one event when it goes, one when it comes back.
  void BackendUnreachable(HRESULT hr);
  void BackendReachable();
  // A refusal concerning a user: user, client address, listener, URL.
  void ReportUser(DWORD id, HTTP_FILTER_CONTEXT* pfc, const std::string& user, const std::string& url = {});
  // A request refused as an attack: client address, listener, URL and the
  // number held back; at most one per kind and address a minute.
  void ReportAttack(DWORD id, HTTP_FILTER_CONTEXT* pfc, const std::string& url = {});
  // Returns when every event queued so far is written and the worker ended.
  void Stop();

  // The type an event of this message identifier is written with.
  static WORD TypeOf(DWORD id);
  // A URL as events show it: without its query, at most 512 characters.
  static std::string UrlForEvent(const std::string& url);

 private:
  enum class Backend { Unknown, Reachable, Unreachable };

  static DWORD WINAPI WorkerMain(void* self);
  void Drain();
  void Enqueue(LoggedEvent event);
  std::string ListenerName(const std::string& guid);

  Sink sink_;
  Clock clock_;
  CriticalSection lock_;
  std::deque<LoggedEvent> queue_;
  UniqueHandle worker_;  // the latest worker
  // The worker has not yet found the queue empty; read without the lock only
  // at the end, where the lock's owner may be a thread that is gone.
  std::atomic<bool> running_{false};
  Backend backend_ = Backend::Unknown;
  EventThrottle throttle_;
  std::map<std::string, std::string> listenerNames_;
};

}  // namespace talverin
