#include "diag/event_log.h"

#include <cstdio>
#include <exception>
#include <utility>

namespace talverin {

const char kEventSource[] = "TALVERIN ISA Filter";

namespace {

// Events beyond this many waiting are dropped: a stalled event log service
// must not make the filter hoard memory.
constexpr std::size_t kMaxQueued = 1024;
constexpr std::size_t kMaxUrl = 512;

struct EventSourceTraits {
  static HANDLE None() noexcept { return nullptr; }
  static bool IsValid(HANDLE h) noexcept { return h != nullptr; }
  static void Close(HANDLE h) noexcept { DeregisterEventSource(h); }
};
using UniqueEventSource = UniqueResource<HANDLE, EventSourceTraits>;

std::string ServerVariable(HTTP_FILTER_CONTEXT* pfc, const char* name) {
  if (!pfc || !pfc->GetServerVariable) return std::string();
  char buffer[1024] = {};
  DWORD size = sizeof buffer;
  if (!pfc->GetServerVariable(pfc, const_cast<char*>(name), buffer, &size)) return std::string();
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}

std::string OrUnknown(std::string text) { return text.empty() ? std::string("(unknown)") : text; }

// Keeps the thread's last error across the facility: callers sit between host
// calls and their error checks.
class LastErrorKept {
 public:
  LastErrorKept() : error_(GetLastError()) {}
  ~LastErrorKept() { SetLastError(error_); }
  LastErrorKept(const LastErrorKept&) = delete;
  LastErrorKept& operator=(const LastErrorKept&) = delete;

 private:
  DWORD error_;
};

// An event that cannot be made (no memory) is lost: an event never fails the
// request it tells of.
template <class Work>
void Dropping(Work&& work) noexcept {
  try {
    work();
  } catch (const std::exception&) {
  }
}

}  // namespace

EventLog::EventLog(Sink sink, Clock clock) : sink_(std::move(sink)), clock_(std::move(clock)) {
  if (!clock_) clock_ = [] { return static_cast<std::int64_t>(GetTickCount64() / 1000); };
}

EventLog::~EventLog() {
  // A program that links the facility runs this from exit() while its worker
  // may still be writing: wait for it. A worker that has found the queue empty
  // runs none of this module's code any more (it only hands back its module
  // reference on its way out) and is not waited for: in a module unloaded by
  // the host that wait would hold the loader lock the ending worker needs.
  // A module whose last reference was the worker's is unloaded on the worker
  // itself, which must not wait for itself.
  if (running_.load() && worker_ && GetThreadId(worker_.Get()) != GetCurrentThreadId()) {
    WaitForSingleObject(worker_.Get(), INFINITE);
  }
}

EventLog& EventLog::Instance() {
  static EventLog log;
  return log;
}

WORD EventLog::TypeOf(DWORD id) {
  switch (id >> 30) {
    case 3:
      return EVENTLOG_ERROR_TYPE;
    case 2:
      return EVENTLOG_WARNING_TYPE;
    case 1:
      return EVENTLOG_INFORMATION_TYPE;
    default:
      return EVENTLOG_SUCCESS;
  }
}

std::string EventLog::UrlForEvent(const std::string& url) {
  std::string shown = url.substr(0, url.find('?'));
  if (shown.size() > kMaxUrl) shown.resize(kMaxUrl);
  return shown;
}

void EventLog::Report(DWORD id, std::vector<std::string> strings) {
  Dropping([&] {
    LastErrorKept kept;
    Enqueue(LoggedEvent{TypeOf(id), id, std::move(strings)});
  });
}

void EventLog::ReportStarted(const std::string& version, unsigned traceLevel, const WebListenerMap& listeners) {
  Dropping([&] {
    std::string names;
    {
      CsLock guard(lock_);
      listenerNames_.clear();
      for (const auto& [guid, info] : listeners) {
        listenerNames_[guid] = info.Name;
        if (!info.Enabled) continue;
        if (!names.empty()) names += ", ";
        names += info.Name;
      }
    }
    Report(TALVERIN_EVENT_FILTER_STARTED, {version, std::to_string(traceLevel), names.empty() ? "none" : names});
  });
}

void EventLog::BackendUnreachable(HRESULT hr) {
  Dropping([&] {
    {
      CsLock guard(lock_);
      if (backend_ == Backend::Unreachable) return;
      backend_ = Backend::Unreachable;
    }
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    Report(TALVERIN_EVENT_BACKEND_UNREACHABLE, {code});
  });
}

void EventLog::BackendReachable() {
  Dropping([&] {
    {
      CsLock guard(lock_);
      const bool wasUnreachable = backend_ == Backend::Unreachable;
      backend_ = Backend::Reachable;
      if (!wasUnreachable) return;
    }
    Report(TALVERIN_EVENT_BACKEND_REACHABLE);
  });
}

std::string EventLog::ListenerName(const std::string& guid) {
  CsLock guard(lock_);
  auto it = listenerNames_.find(guid);
  if (it == listenerNames_.end() || it->second.empty()) return OrUnknown(guid);
  return it->second + " " + guid;
}

void EventLog::ReportUser(DWORD id, HTTP_FILTER_CONTEXT* pfc, const std::string& user, const std::string& url) {
  Dropping([&] {
    LastErrorKept kept;
    std::vector<std::string> strings{OrUnknown(user), OrUnknown(ServerVariable(pfc, "REMOTE_ADDR")),
                                     ListenerName(ServerVariable(pfc, "LISTENER_GUID")),
                                     OrUnknown(UrlForEvent(url.empty() ? ServerVariable(pfc, "URL") : url))};
    Enqueue(LoggedEvent{TypeOf(id), id, std::move(strings)});
  });
}

void EventLog::ReportAttack(DWORD id, HTTP_FILTER_CONTEXT* pfc, const std::string& url) {
  Dropping([&] {
    LastErrorKept kept;
    const std::string address = OrUnknown(ServerVariable(pfc, "REMOTE_ADDR"));
    std::uint64_t heldBack = 0;
    {
      CsLock guard(lock_);
      if (!throttle_.Admit(static_cast<unsigned>(id), address, clock_(), heldBack)) return;
    }
    std::vector<std::string> strings{address, ListenerName(ServerVariable(pfc, "LISTENER_GUID")),
                                     OrUnknown(UrlForEvent(url.empty() ? ServerVariable(pfc, "URL") : url)),
                                     std::to_string(heldBack)};
    Enqueue(LoggedEvent{TypeOf(id), id, std::move(strings)});
  });
}

void EventLog::Enqueue(LoggedEvent event) {
  CsLock guard(lock_);
  if (queue_.size() >= kMaxQueued) return;
  queue_.push_back(std::move(event));
  if (running_) return;  // the worker takes it before it ends
  // The worker holds its own reference to this module, so that the module
  // cannot be unloaded under it; it gives it back as it ends.
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&WorkerMain), &module)) {
    queue_.clear();
    return;
  }
  HANDLE worker = CreateThread(nullptr, 0, WorkerMain, this, 0, nullptr);
  if (!worker) {
    FreeLibrary(module);
    queue_.clear();
    return;
  }
  worker_.Reset(worker);
  running_ = true;
}

DWORD WINAPI EventLog::WorkerMain(void* self) {
  static_cast<EventLog*>(self)->Drain();
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&WorkerMain), &module);
  FreeLibraryAndExitThread(module, 0);
  return 0;  // not reached
}

void EventLog::Drain() {
  UniqueEventSource source;
  for (;;) {
    std::deque<LoggedEvent> batch;
    {
      CsLock guard(lock_);
      if (queue_.empty()) {
        running_ = false;
        return;
      }
      batch.swap(queue_);
    }
    for (const LoggedEvent& event : batch) {
      if (sink_) {
        sink_(event);
        continue;
      }
      if (!source) source.Reset(RegisterEventSourceA(nullptr, kEventSource));
      if (!source) continue;
      std::vector<const char*> strings;
      for (const std::string& text : event.strings) strings.push_back(text.c_str());
      ReportEventA(source.Get(), event.type, 0, event.id, nullptr, static_cast<WORD>(strings.size()), 0,
                   strings.empty() ? nullptr : strings.data(), nullptr);
    }
  }
}

void EventLog::Stop() {
  // A handle of our own: an event reported meanwhile may start a new worker
  // and close the old handle.
  UniqueHandle worker;
  {
    CsLock guard(lock_);
    if (!worker_ || !DuplicateHandle(GetCurrentProcess(), worker_.Get(), GetCurrentProcess(), worker.Put(), SYNCHRONIZE,
                                     FALSE, 0))
      return;
  }
  WaitForSingleObject(worker.Get(), INFINITE);
}

}  // namespace talverin
