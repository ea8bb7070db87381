// A web filter that does what each test tells it, to test the host against.
//
// Per notification it reads the server variable "PROBE_ALL" and then the one
// named after the notification ("PROBE_READ_RAW_DATA", "PROBE_PREPROC_HEADERS",
// "PROBE_SEND_RAW_DATA", "PROBE_SEND_RESPONSE", "PROBE_END_OF_REQUEST",
// "PROBE_AUTHENTICATION", "PROBE_AUTH_COMPLETE", "PROBE_ACCESS_DENIED",
// "PROBE_LOG"), always through a small buffer first so that the host's
// buffer-too-small answer is used on every notification. Each holds one
// action per line; in the rest of a line "\r", "\n" and "\\" stand for
// themselves:
//   status HEX            answer this status (default SF_STATUS_REQ_NEXT_NOTIFICATION)
//   lasterror N           leave N as the thread's last error
//   context               count notifications in a block of AllocMem memory kept
//                         in pFilterContext; writes "probe: context N AT\n"
//   alloc N               AllocMem N bytes; writes "probe: alloc N failed\n" on failure
//   getvar NAME SIZE      GetServerVariable with SIZE bytes, then again with
//                         the size the host reported; writes what it saw
//   getheader NAME SIZE   the same with the record's GetHeader
//   setheader NAME|VALUE  the record's SetHeader; writes "probe: setheader OK ERR\n"
//   addheader NAME|VALUE  the record's AddHeader; writes "probe: addheader OK ERR\n"
//   send-header STATUS|HEADERS   SF_REQ_SEND_RESPONSE_HEADER
//   disable HEX           SF_REQ_DISABLE_NOTIFICATIONS
//   ssf N                 ServerSupportFunction N without data; writes the answer
//   write TEXT            WriteClient
//   replace TEXT          raw data: the record points to TEXT in AllocMem memory
//   empty                 raw data: nothing left in the record
//   lengthen N            raw data: N more bytes of data than the record holds
//   overrun N             AllocMem N bytes and write N + 1 (a deliberate fault)
//   set-user TEXT         authentication: the user name becomes TEXT
//   addresponse TEXT      AddResponseHeaders with TEXT
//   rawsize               raw data: writes "probe: raw N\n", N the bytes of data
//   wait-for TEXT         raw data: answer SF_STATUS_REQ_READ_NEXT until the
//                         data holds TEXT
//   rewrite OLD|NEW       raw data: the first OLD in the data becomes NEW, the
//                         record pointing to the result in AllocMem memory
// Behaviour of the entry points is chosen by environment variables read at
// each call: PROBE_FLAGS and PROBE_WPX_FLAGS (the version flags), and
// PROBE_FAIL_<export> = N makes that export fail with last error N.
// It keeps no state of its own between calls.
#include <windows.h>
#include <httpfilt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kDefaultFlags = 0x0400ECC0;
constexpr DWORD kContextMagic = 0x50524F42;

struct ProbeContext {
  DWORD magic;
  DWORD count;
};

bool ReadEnvironment(const char* name, DWORD* value) {
  char text[64];
  DWORD length = GetEnvironmentVariableA(name, text, sizeof text);
  if (length == 0 || length >= sizeof text) return false;
  *value = std::strtoul(text, nullptr, 0);
  return true;
}

// PROBE_FAIL_<export>: SetLastError with it and report failure.
bool Fails(const char* exportName) {
  DWORD error = 0;
  if (!ReadEnvironment((std::string("PROBE_FAIL_") + exportName).c_str(), &error)) return false;
  SetLastError(error);
  return true;
}

BOOL FillVersion(HTTP_FILTER_VERSION* version, const char* exportName, const char* flagsVariable, DWORD flags) {
  if (Fails(exportName)) return FALSE;
  ReadEnvironment(flagsVariable, &flags);
  version->dwFilterVersion = HTTP_FILTER_REVISION;
  version->dwFlags = flags;
  std::snprintf(version->lpszFilterDesc, SF_MAX_FILTER_DESC_LEN, "Host probe filter");
  return TRUE;
}

const char* VariableOf(DWORD type) {
  switch (type) {
    case SF_NOTIFY_READ_RAW_DATA: return "PROBE_READ_RAW_DATA";
    case SF_NOTIFY_PREPROC_HEADERS: return "PROBE_PREPROC_HEADERS";
    case SF_NOTIFY_SEND_RAW_DATA: return "PROBE_SEND_RAW_DATA";
    case SF_NOTIFY_SEND_RESPONSE: return "PROBE_SEND_RESPONSE";
    case SF_NOTIFY_END_OF_REQUEST: return "PROBE_END_OF_REQUEST";
    case SF_NOTIFY_AUTHENTICATION: return "PROBE_AUTHENTICATION";
    case SF_NOTIFY_AUTH_COMPLETE: return "PROBE_AUTH_COMPLETE";
    case SF_NOTIFY_ACCESS_DENIED: return "PROBE_ACCESS_DENIED";
    case SF_NOTIFY_LOG: return "PROBE_LOG";
    default: return "PROBE_OTHER";
  }
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char next = text[++i];
      out += next == 'r' ? '\r' : next == 'n' ? '\n' : next;
    } else {
      out += text[i];
    }
  }
  return out;
}

class Probe {
 public:
  Probe(HTTP_FILTER_CONTEXT* pfc, DWORD type, void* notification) : pfc_(pfc), type_(type), notification_(notification) {}

  DWORD Run() {
    RunScript("PROBE_ALL");
    RunScript(VariableOf(type_));
    if (setLastError_) SetLastError(lastError_);
    return status_;
  }

 private:
  void RunScript(const char* variable) {
    std::string script;
    if (!ReadVariable(variable, 8, &script)) return;
    size_t at = 0;
    while (at < script.size()) {
      size_t end = script.find('\n', at);
      if (end == std::string::npos) end = script.size();
      std::string line = script.substr(at, end - at);
      at = end + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      size_t blank = line.find(' ');
      std::string verb = line.substr(0, blank);
      std::string rest = blank == std::string::npos ? std::string() : Unescape(line.substr(blank + 1));
      Act(verb, rest);
    }
  }

  // GetServerVariable with a first buffer of `size` bytes and, after a
  // buffer-too-small answer, one of the size the host asked for.
  bool ReadVariable(const char* name, DWORD size, std::string* value, std::string* report = nullptr) {
    std::vector<char> buffer(size + 1, '\0');
    DWORD given = size;
    BOOL ok = pfc_->GetServerVariable(pfc_, const_cast<char*>(name), buffer.data(), &given);
    DWORD error = ok ? 0 : GetLastError();
    if (report) *report = Describe(ok, error, given, buffer.data());
    if (!ok && error == ERROR_INSUFFICIENT_BUFFER) {
      buffer.assign(given + 1, '\0');
      ok = pfc_->GetServerVariable(pfc_, const_cast<char*>(name), buffer.data(), &given);
      error = ok ? 0 : GetLastError();
      if (report) *report += " | " + Describe(ok, error, given, buffer.data());
    }
    if (ok) value->assign(buffer.data());
    return ok;
  }

  static std::string Describe(BOOL ok, DWORD error, DWORD size, const char* text) {
    char line[96];
    std::snprintf(line, sizeof line, "%s %lu %lu", ok ? "TRUE" : "FALSE", static_cast<unsigned long>(error),
                  static_cast<unsigned long>(size));
    return ok ? std::string(line) + " \"" + text + "\"" : std::string(line);
  }

  void Write(const std::string& text) {
    DWORD length = static_cast<DWORD>(text.size());
    pfc_->WriteClient(pfc_, const_cast<char*>(text.data()), &length, 0);
  }

  static void Split(const std::string& text, char separator, std::string* first, std::string* second) {
    size_t at = text.find(separator);
    *first = text.substr(0, at);
    *second = at == std::string::npos ? std::string() : text.substr(at + 1);
  }

  // The header functions of the notification's record, if it has them.
  bool HeaderFunctions(decltype(HTTP_FILTER_PREPROC_HEADERS::GetHeader)* get,
                       decltype(HTTP_FILTER_PREPROC_HEADERS::SetHeader)* set,
                       decltype(HTTP_FILTER_PREPROC_HEADERS::AddHeader)* add) {
    if (type_ == SF_NOTIFY_PREPROC_HEADERS || type_ == SF_NOTIFY_SEND_RESPONSE) {
      auto* record = static_cast<HTTP_FILTER_PREPROC_HEADERS*>(notification_);
      *get = record->GetHeader, *set = record->SetHeader, *add = record->AddHeader;
      return true;
    }
    if (type_ == SF_NOTIFY_AUTH_COMPLETE) {
      auto* record = static_cast<HTTP_FILTER_AUTH_COMPLETE_INFO*>(notification_);
      *get = record->GetHeader, *set = record->SetHeader, *add = record->AddHeader;
      return true;
    }
    return false;
  }

  static std::string RecordText(const HTTP_FILTER_RAW_DATA& raw) {
    return raw.pvInData ? std::string(static_cast<const char*>(raw.pvInData), raw.cbInData) : std::string();
  }

  HTTP_FILTER_RAW_DATA* RawData() {
    return type_ == SF_NOTIFY_READ_RAW_DATA || type_ == SF_NOTIFY_SEND_RAW_DATA
               ? static_cast<HTTP_FILTER_RAW_DATA*>(notification_)
               : nullptr;
  }

  void Act(const std::string& verb, const std::string& rest) {
    if (verb == "status") {
      status_ = std::strtoul(rest.c_str(), nullptr, 0);
    } else if (verb == "lasterror") {
      setLastError_ = true;
      lastError_ = std::strtoul(rest.c_str(), nullptr, 0);
    } else if (verb == "context") {
      auto* context = static_cast<ProbeContext*>(pfc_->pFilterContext);
      if (!context) {
        context = static_cast<ProbeContext*>(pfc_->AllocMem(pfc_, sizeof(ProbeContext), 0));
        if (!context) return Write("probe: context failed\n");
        context->magic = kContextMagic;
        context->count = 0;
        pfc_->pFilterContext = context;
      }
      if (context->magic != kContextMagic) return Write("probe: context corrupt\n");
      char line[64];
      std::snprintf(line, sizeof line, "probe: context %lu %p\n", static_cast<unsigned long>(++context->count),
                    static_cast<void*>(context));
      Write(line);
    } else if (verb == "alloc") {
      DWORD size = std::strtoul(rest.c_str(), nullptr, 0);
      void* block = pfc_->AllocMem(pfc_, size, 0);
      if (block) std::memset(block, 0x5A, size);
      if (!block) Write("probe: alloc " + rest + " failed\n");
    } else if (verb == "getvar" || verb == "getheader") {
      std::string name, size;
      Split(rest, ' ', &name, &size);
      std::string value, report;
      if (verb == "getvar") {
        ReadVariable(name.c_str(), std::strtoul(size.c_str(), nullptr, 0), &value, &report);
      } else {
        ReadHeader(name, std::strtoul(size.c_str(), nullptr, 0), &report);
      }
      Write("probe: " + verb + " " + name + " " + report + "\n");
    } else if (verb == "setheader" || verb == "addheader") {
      decltype(HTTP_FILTER_PREPROC_HEADERS::GetHeader) get;
      decltype(HTTP_FILTER_PREPROC_HEADERS::SetHeader) set;
      decltype(HTTP_FILTER_PREPROC_HEADERS::AddHeader) add;
      if (!HeaderFunctions(&get, &set, &add)) return Write("probe: " + verb + " no record\n");
      std::string name, value;
      Split(rest, '|', &name, &value);
      auto fn = verb == "setheader" ? set : add;
      BOOL ok = fn(pfc_, const_cast<char*>(name.c_str()), const_cast<char*>(value.c_str()));
      Write("probe: " + verb + " " + Describe(ok, ok ? 0 : GetLastError(), 0, "") + "\n");
    } else if (verb == "send-header") {
      std::string status, headers;
      Split(rest, '|', &status, &headers);
      pfc_->ServerSupportFunction(pfc_, SF_REQ_SEND_RESPONSE_HEADER, const_cast<char*>(status.c_str()),
                                  reinterpret_cast<ULONG_PTR>(headers.c_str()), 0);
    } else if (verb == "disable") {
      pfc_->ServerSupportFunction(pfc_, SF_REQ_DISABLE_NOTIFICATIONS, nullptr, std::strtoul(rest.c_str(), nullptr, 0), 0);
    } else if (verb == "ssf") {
      auto request = static_cast<enum SF_REQ_TYPE>(std::strtoul(rest.c_str(), nullptr, 0));
      BOOL ok = pfc_->ServerSupportFunction(pfc_, request, nullptr, 0, 0);
      Write("probe: ssf " + Describe(ok, ok ? 0 : GetLastError(), 0, "") + "\n");
    } else if (verb == "write") {
      Write(rest);
    } else if (verb == "replace") {
      HTTP_FILTER_RAW_DATA* raw = RawData();
      if (!raw) return;
      void* block = pfc_->AllocMem(pfc_, static_cast<DWORD>(rest.size()), 0);
      if (!block) return;
      std::memcpy(block, rest.data(), rest.size());
      raw->pvInData = block;
      raw->cbInData = raw->cbInBuffer = static_cast<DWORD>(rest.size());
    } else if (verb == "empty") {
      if (HTTP_FILTER_RAW_DATA* raw = RawData()) {
        raw->pvInData = nullptr;
        raw->cbInData = raw->cbInBuffer = 0;
      }
    } else if (verb == "lengthen") {
      if (HTTP_FILTER_RAW_DATA* raw = RawData()) {
        DWORD more = std::strtoul(rest.c_str(), nullptr, 0);
        raw->cbInData += more;
        raw->cbInBuffer += more;
      }
    } else if (verb == "overrun") {
      DWORD size = std::strtoul(rest.c_str(), nullptr, 0);
      if (auto* block = static_cast<unsigned char*>(pfc_->AllocMem(pfc_, size, 0))) std::memset(block, 0, size + 1);
    } else if (verb == "addresponse") {
      pfc_->AddResponseHeaders(pfc_, const_cast<char*>(rest.c_str()), 0);
    } else if (verb == "rawsize") {
      if (HTTP_FILTER_RAW_DATA* raw = RawData()) Write("probe: raw " + std::to_string(raw->cbInData) + "\n");
    } else if (verb == "wait-for") {
      if (HTTP_FILTER_RAW_DATA* raw = RawData()) {
        if (RecordText(*raw).find(rest) == std::string::npos) status_ = SF_STATUS_REQ_READ_NEXT;
      }
    } else if (verb == "rewrite") {
      HTTP_FILTER_RAW_DATA* raw = RawData();
      if (!raw) return;
      std::string from, to;
      Split(rest, '|', &from, &to);
      std::string text = RecordText(*raw);
      size_t at = text.find(from);
      if (from.empty() || at == std::string::npos) return;
      text.replace(at, from.size(), to);
      void* block = pfc_->AllocMem(pfc_, static_cast<DWORD>(text.size()), 0);
      if (!block) return;
      std::memcpy(block, text.data(), text.size());
      raw->pvInData = block;
      raw->cbInData = raw->cbInBuffer = static_cast<DWORD>(text.size());
    } else if (verb == "set-user") {
      if (type_ != SF_NOTIFY_AUTHENTICATION) return;
      auto* authent = static_cast<HTTP_FILTER_AUTHENT*>(notification_);
      std::snprintf(authent->pszUser, authent->cbUserBuff, "%s", rest.c_str());
    } else {
      Write("probe: unknown action " + verb + "\n");
    }
  }

  void ReadHeader(const std::string& name, DWORD size, std::string* report) {
    decltype(HTTP_FILTER_PREPROC_HEADERS::GetHeader) get;
    decltype(HTTP_FILTER_PREPROC_HEADERS::SetHeader) set;
    decltype(HTTP_FILTER_PREPROC_HEADERS::AddHeader) add;
    if (!HeaderFunctions(&get, &set, &add)) {
      *report = "no record";
      return;
    }
    std::vector<char> buffer(size + 1, '\0');
    DWORD given = size;
    BOOL ok = get(pfc_, const_cast<char*>(name.c_str()), buffer.data(), &given);
    DWORD error = ok ? 0 : GetLastError();
    *report = Describe(ok, error, given, buffer.data());
    if (!ok && error == ERROR_INSUFFICIENT_BUFFER) {
      buffer.assign(given + 1, '\0');
      ok = get(pfc_, const_cast<char*>(name.c_str()), buffer.data(), &given);
      *report += " | " + Describe(ok, ok ? 0 : GetLastError(), given, buffer.data());
    }
  }

  HTTP_FILTER_CONTEXT* pfc_;
  DWORD type_;
  void* notification_;
  DWORD status_ = SF_STATUS_REQ_NEXT_NOTIFICATION;
  bool setLastError_ = false;
  DWORD lastError_ = 0;
};

}  // namespace

extern "C" {

BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* version) {
  return FillVersion(version, "GetFilterVersion", "PROBE_FLAGS", kDefaultFlags);
}

BOOL WINAPI GetWPXFilterVersion(HTTP_FILTER_VERSION* version) {
  return FillVersion(version, "GetWPXFilterVersion", "PROBE_WPX_FLAGS", 0);
}

DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* pfc, DWORD notificationType, void* notification) {
  try {
    return Probe(pfc, notificationType, notification).Run();
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return SF_STATUS_REQ_ERROR;
  }
}

DWORD WINAPI HttpWPXFilterProc(void*, DWORD, void*) {
  SetLastError(0);
  return 0;
}

BOOL WINAPI TerminateFilter(DWORD) { return Fails("TerminateFilter") ? FALSE : TRUE; }

BOOL WINAPI ReloadWPXFilterConfiguration() { return Fails("ReloadWPXFilterConfiguration") ? FALSE : TRUE; }

HRESULT WINAPI DllRegisterServer() { return Fails("DllRegisterServer") ? E_FAIL : S_OK; }

HRESULT WINAPI DllUnregisterServer() { return Fails("DllUnregisterServer") ? E_FAIL : S_OK; }

}  // extern "C"
