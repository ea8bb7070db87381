#include "host/connection.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace talverin::host {
namespace {

bool IsEnding(DWORD status) {
  return status == SF_STATUS_REQ_FINISHED || status == SF_STATUS_REQ_FINISHED_KEEP_CONN ||
         status == SF_STATUS_REQ_ERROR;
}

bool EndsWith(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Where a header name the filter passes points: a field ("Cookie:"), or one
// of the request line's parts ("method", "url", "version").
struct HeaderName {
  enum Kind { Field, Method, Url, Version } kind;
  std::string field;
};

HeaderName ReadHeaderName(const char* name) {
  std::string text(name);
  if (EndsWith(text, ":")) return {HeaderName::Field, text.substr(0, text.size() - 1)};
  if (EqualsIgnoringCase(text, "method")) return {HeaderName::Method, {}};
  if (EqualsIgnoringCase(text, "url")) return {HeaderName::Url, {}};
  if (EqualsIgnoringCase(text, "version")) return {HeaderName::Version, {}};
  return {HeaderName::Field, text};
}

DWORD StatusCodeOf(const HeaderBlock& responseHeaders) {
  // "HTTP/1.1 302 Found": the second word.
  const std::string& line = responseHeaders.FirstLine();
  size_t blank = line.find(' ');
  return blank == std::string::npos ? 0 : static_cast<DWORD>(std::strtoul(line.c_str() + blank + 1, nullptr, 10));
}

}  // namespace

const char* SkipReasonText(SkipReason reason) {
  switch (reason) {
    case SkipReason::None: return "delivered";
    case SkipReason::NotRegistered: return "not registered";
    case SkipReason::Disabled: return "disabled for this request";
    case SkipReason::RequestFinished: return "request finished";
    case SkipReason::ConnectionClosed: return "connection closed";
  }
  return "?";
}

BOOL CopyOutText(const std::string& value, void* buffer, DWORD* size) {
  DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (*size < needed) {
    *size = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (!buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = needed;
  return TRUE;
}

bool Connection::NameLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return lower(x) < lower(y);
  });
}

Connection::Connection(FilterModule& module, ConnectionOptions options) : module_(module), options_(options) {
  context_.cbSize = sizeof(HTTP_FILTER_CONTEXT);
  context_.Revision = options_.revision;
  context_.ServerContext = this;
  context_.ulReserved = 0;
  context_.fIsSecurePort = options_.securePort ? TRUE : FALSE;
  context_.pFilterContext = nullptr;
  context_.GetServerVariable = &GetServerVariableCallback;
  context_.AddResponseHeaders = &AddResponseHeadersCallback;
  context_.WriteClient = &WriteClientCallback;
  context_.AllocMem = &AllocMemCallback;
  context_.ServerSupportFunction = &ServerSupportFunctionCallback;
  module_.AttachConnection();
}

Connection::~Connection() {
  Release();
  module_.DetachConnection();
}

void Connection::SetServerVariable(const std::string& name, const std::string& value) {
  connectionVariables_[name] = value;
}

void Connection::SetRequestServerVariable(const std::string& name, const std::string& value) {
  requestVariables_[name] = value;
}

void Connection::RemoveServerVariable(const std::string& name) {
  connectionVariables_.erase(name);
  requestVariables_.erase(name);
}

const std::string* Connection::FindServerVariable(const std::string& name) const {
  if (auto it = requestVariables_.find(name); it != requestVariables_.end()) return &it->second;
  if (auto it = connectionVariables_.find(name); it != connectionVariables_.end()) return &it->second;
  return nullptr;
}

void Connection::SetRequestHeaders(std::string_view headerBlock) { requestHeaders_ = HeaderBlock::Parse(headerBlock); }

HeaderBlock Connection::RequestHeaders() const {
  return requestHeaders_ ? *requestHeaders_ : HeaderBlock::Parse(forwardedRequest_);
}

HeaderBlock& Connection::CurrentRequestHeaders() {
  if (!requestHeaders_) requestHeaders_ = HeaderBlock::Parse(forwardedRequest_);
  return *requestHeaders_;
}

// ---- Notifications -------------------------------------------------------

SkipReason Connection::Skip(DWORD type) const {
  bool endOfRequest = type == SF_NOTIFY_END_OF_REQUEST;
  if (state_ == State::Released || (state_ == State::Closing && !(endOfRequest && options_.endOfRequestAfterFinished))) {
    return SkipReason::ConnectionClosed;
  }
  if (requestFinished_ && !endOfRequest) return SkipReason::RequestFinished;
  if (!module_.WantsNotification(type, options_.securePort)) return SkipReason::NotRegistered;
  if (disabled_ & type) return SkipReason::Disabled;
  return SkipReason::None;
}

NotificationResult Connection::Skipped(DWORD type, SkipReason reason) {
  NotificationResult r;
  r.type = type;
  r.request = request_;
  r.skipped = reason;
  notifications_.push_back(r);
  return r;
}

NotificationResult Connection::Deliver(DWORD type, void* record, HeaderBlock* headers) {
  NotificationResult r;
  r.type = type;
  r.request = request_;
  r.skipped = Skip(type);
  if (r.skipped == SkipReason::None) {
    currentHeaders_ = headers;
    notifyingThread_ = GetCurrentThreadId();
    inNotification_ = true;
    SetLastError(0);
    r.status = module_.CallFilterProc(&context_, type, record);
    r.lastError = GetLastError();
    inNotification_ = false;
    currentHeaders_ = nullptr;
    r.delivered = true;
    CheckGuards();
    ApplyStatus(r);
  }
  notifications_.push_back(r);
  return r;
}

void Connection::ApplyStatus(const NotificationResult& result) {
  switch (result.status) {
    case SF_STATUS_REQ_FINISHED:
    case SF_STATUS_REQ_ERROR:
      requestFinished_ = true;
      if (state_ == State::Open) state_ = State::Closing;
      break;
    case SF_STATUS_REQ_FINISHED_KEEP_CONN:
      requestFinished_ = true;
      break;
    case SF_STATUS_REQ_NEXT_NOTIFICATION:
    case SF_STATUS_REQ_HANDLED_NOTIFICATION:
    case SF_STATUS_REQ_READ_NEXT:
      break;
    default:
      Violation(NotificationName(result.type) + " answered " + Hex(result.status) + ", which is no filter status");
  }
}

NotificationResult Connection::SendRawRequestData(std::string_view bytes) {
  std::string left;
  NotificationResult r = ReadRawData(bytes, &left);
  forwardedRequest_ += left;
  return r;
}

NotificationResult Connection::ReadRawData(std::string_view presented, std::string* left) {
  left->clear();
  // Without a filter that takes the data, it passes as it is, uncopied.
  if (SkipReason reason = Skip(SF_NOTIFY_READ_RAW_DATA); reason != SkipReason::None) {
    if (reason == SkipReason::NotRegistered || reason == SkipReason::Disabled) left->assign(presented);
    return Skipped(SF_NOTIFY_READ_RAW_DATA, reason);
  }
  std::vector<char> buffer(presented.begin(), presented.end());
  buffer.reserve(1);
  HTTP_FILTER_RAW_DATA record{};
  record.pvInData = buffer.data();
  record.cbInData = record.cbInBuffer = static_cast<DWORD>(presented.size());
  NotificationResult r = Deliver(SF_NOTIFY_READ_RAW_DATA, &record);
  if (!r.delivered) {
    if (r.skipped == SkipReason::NotRegistered || r.skipped == SkipReason::Disabled) left->assign(presented);
  } else if (!IsEnding(r.status)) {
    *left = TakeRecordBytes(record, buffer, "SF_NOTIFY_READ_RAW_DATA");
  }
  // The request may carry a password.
  SecureZeroMemory(buffer.data(), buffer.size());
  return r;
}

NotificationResult Connection::PreprocHeaders() {
  HTTP_FILTER_PREPROC_HEADERS record{};
  record.GetHeader = &GetHeaderCallback;
  record.SetHeader = &SetHeaderCallback;
  record.AddHeader = &AddHeaderCallback;
  return Deliver(SF_NOTIFY_PREPROC_HEADERS, &record, &CurrentRequestHeaders());
}

NotificationResult Connection::Authentication(AuthenticationData& data) {
  std::vector<char> user(SF_MAX_USERNAME, '\0');
  std::vector<char> password(SF_MAX_PASSWORD, '\0');
  data.user.copy(user.data(), user.size() - 1);
  data.password.copy(password.data(), password.size() - 1);
  HTTP_FILTER_AUTHENT record{};
  record.pszUser = user.data();
  record.cbUserBuff = static_cast<DWORD>(user.size());
  record.pszPassword = password.data();
  record.cbPasswordBuff = static_cast<DWORD>(password.size());
  NotificationResult r = Deliver(SF_NOTIFY_AUTHENTICATION, &record);
  if (r.delivered) {
    data.user.assign(record.pszUser ? record.pszUser : "", record.pszUser ? strnlen(record.pszUser, record.cbUserBuff) : 0);
    data.password.assign(record.pszPassword ? record.pszPassword : "",
                         record.pszPassword ? strnlen(record.pszPassword, record.cbPasswordBuff) : 0);
  }
  SecureZeroMemory(password.data(), password.size());
  return r;
}

NotificationResult Connection::AuthComplete() {
  HTTP_FILTER_AUTH_COMPLETE_INFO record{};
  record.GetHeader = &GetHeaderCallback;
  record.SetHeader = &SetHeaderCallback;
  record.AddHeader = &AddHeaderCallback;
  record.GetUserToken = &GetUserTokenCallback;
  return Deliver(SF_NOTIFY_AUTH_COMPLETE, &record, &CurrentRequestHeaders());
}

NotificationResult Connection::AccessDenied(const std::string& url, const std::string& physicalPath, DWORD reason) {
  HTTP_FILTER_ACCESS_DENIED record{};
  record.pszURL = url.c_str();
  record.pszPhysicalPath = physicalPath.c_str();
  record.dwReason = reason;
  return Deliver(SF_NOTIFY_ACCESS_DENIED, &record);
}

NotificationResult Connection::SendResponseNotification(std::string_view responseHeaderBlock) {
  responseHeaders_ = HeaderBlock::Parse(responseHeaderBlock);
  HTTP_FILTER_SEND_RESPONSE record{};
  record.GetHeader = &GetHeaderCallback;
  record.SetHeader = &SetHeaderCallback;
  record.AddHeader = &AddHeaderCallback;
  record.HttpStatus = StatusCodeOf(responseHeaders_);
  return Deliver(SF_NOTIFY_SEND_RESPONSE, &record, &responseHeaders_);
}

NotificationResult Connection::SendRawResponseData(std::string_view bytes) {
  if (SkipReason reason = Skip(SF_NOTIFY_SEND_RAW_DATA); reason != SkipReason::None) {
    if (reason == SkipReason::NotRegistered || reason == SkipReason::Disabled) {
      SendToClient(ClientBytesSource::RawSend, std::string(bytes));
    }
    return Skipped(SF_NOTIFY_SEND_RAW_DATA, reason);
  }
  std::vector<char> buffer(bytes.begin(), bytes.end());
  buffer.reserve(1);
  HTTP_FILTER_RAW_DATA record{};
  record.pvInData = buffer.data();
  record.cbInData = record.cbInBuffer = static_cast<DWORD>(bytes.size());
  NotificationResult r = Deliver(SF_NOTIFY_SEND_RAW_DATA, &record);
  if (!r.delivered) {
    if (r.skipped == SkipReason::NotRegistered || r.skipped == SkipReason::Disabled) {
      SendToClient(ClientBytesSource::RawSend, std::string(bytes));
    }
  } else if (!IsEnding(r.status)) {
    // A filter that ends the request here has answered (or refused) itself;
    // the chunk in the record is dropped with the request.
    SendToClient(ClientBytesSource::RawSend, TakeRecordBytes(record, buffer, "SF_NOTIFY_SEND_RAW_DATA"));
  }
  return r;
}

NotificationResult Connection::EndOfRequest() {
  NotificationResult r = Deliver(SF_NOTIFY_END_OF_REQUEST, nullptr);
  if (state_ == State::Open) {
    ResetRequest();
  } else {
    Release();
  }
  return r;
}

void Connection::Close() { Release(); }

void Connection::ForgetRecords() {
  notifications_.clear();
  clientWrites_.clear();
  responseHeaderCalls_.clear();
  addedResponseHeaders_.clear();
}

void Connection::ResetRequest() {
  ++request_;
  disabled_ = 0;
  requestFinished_ = false;
  forwardedRequest_.clear();
  requestHeaders_.reset();
  responseHeaders_ = HeaderBlock();
  responseHeaderSent_ = false;
  requestVariables_.clear();
}

void Connection::Release() {
  if (state_ == State::Released) return;
  state_ = State::Released;
  CheckGuards();
  // The filter may have left passwords or pages in its blocks.
  for (Block& block : blocks_) {
    SecureZeroMemory(block.memory.get(), block.record.size + kGuardBytes);
    block.memory.reset();
    block.record.freed = true;
  }
}

std::string Connection::TakeRecordBytes(const HTTP_FILTER_RAW_DATA& record, const std::vector<char>& hostBuffer,
                                        const char* notification) {
  if (record.cbInData == 0) return {};
  std::string where = notification;
  if (!record.pvInData) {
    Violation(where + ": " + std::to_string(record.cbInData) + " bytes of data but no data pointer");
    return {};
  }
  if (record.cbInData > record.cbInBuffer) Violation(where + ": more bytes of data than the buffer size");
  auto at = reinterpret_cast<std::uintptr_t>(record.pvInData);
  auto hostStart = reinterpret_cast<std::uintptr_t>(hostBuffer.data());
  size_t room = record.cbInData;
  if (at >= hostStart && at < hostStart + hostBuffer.size()) {
    room = hostStart + hostBuffer.size() - at;
  } else if (const Block* block = FindBlock(record.pvInData)) {
    room = reinterpret_cast<std::uintptr_t>(block->memory.get()) + block->record.size - at;
  } else {
    Violation(where + ": data points outside the memory the proxy handed out");
  }
  size_t count = record.cbInData;
  if (count > room) {
    Violation(where + ": data runs past the end of its memory");
    count = room;
  }
  return std::string(static_cast<const char*>(record.pvInData), count);
}

const Connection::Block* Connection::FindBlock(const void* address) const {
  auto at = reinterpret_cast<std::uintptr_t>(address);
  for (const Block& block : blocks_) {
    auto start = reinterpret_cast<std::uintptr_t>(block.memory.get());
    if (block.memory && at >= start && at < start + block.record.size) return &block;
  }
  return nullptr;
}

void Connection::CheckGuards() {
  for (Block& block : blocks_) {
    if (!block.memory || block.overrunReported) continue;
    const unsigned char* guard = block.memory.get() + block.record.size;
    if (std::all_of(guard, guard + kGuardBytes, [](unsigned char b) { return b == kGuardByte; })) continue;
    block.overrunReported = true;
    Violation("AllocMem block of " + std::to_string(block.record.size) + " bytes (request " +
              std::to_string(block.record.request) + ") written past its end");
  }
}

void Connection::SendToClient(ClientBytesSource source, std::string bytes) {
  if (bytes.empty()) return;
  clientWrites_.push_back(ClientWrite{source, request_, std::move(bytes)});
}

// ---- Observations --------------------------------------------------------

std::string Connection::ClientBytes() const {
  std::string all;
  for (const ClientWrite& write : clientWrites_) all += write.bytes;
  return all;
}

std::string Connection::ClientBytes(int request) const {
  std::string all;
  for (const ClientWrite& write : clientWrites_) {
    if (write.request == request) all += write.bytes;
  }
  return all;
}

std::vector<AllocationRecord> Connection::Allocations() const {
  std::vector<AllocationRecord> records;
  for (const Block& block : blocks_) records.push_back(block.record);
  return records;
}

size_t Connection::LiveAllocations() const {
  return static_cast<size_t>(std::count_if(blocks_.begin(), blocks_.end(), [](const Block& b) { return !b.record.freed; }));
}

std::vector<std::string> Connection::Violations() const {
  CsLock lock(violationsLock_);
  return violations_;
}

void Connection::Violation(std::string text) {
  CsLock lock(violationsLock_);
  violations_.push_back(std::move(text));
}

// ---- Callbacks -----------------------------------------------------------
// Called from the filter DLL. They never throw: an allocation failure while
// recording is answered like any other failure of the proxy.

Connection* Connection::From(HTTP_FILTER_CONTEXT* pfc, const char* callback) {
  if (!pfc || !pfc->ServerContext) return nullptr;
  auto* connection = static_cast<Connection*>(pfc->ServerContext);
  if (pfc != &connection->context_) {
    connection->Violation(std::string(callback) + " called with a copy of the filter context");
    return nullptr;
  }
  if (!connection->CallbackAllowed(callback)) return nullptr;
  return connection;
}

bool Connection::CallbackAllowed(const char* callback) {
  if (!inNotification_) {
    Violation(std::string(callback) + " called outside a notification");
    return false;
  }
  if (notifyingThread_ != GetCurrentThreadId()) {
    Violation(std::string(callback) + " called on a thread other than the notification's");
    return false;
  }
  return true;
}

BOOL WINAPI Connection::GetServerVariableCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size) try {
  Connection* c = From(pfc, "GetServerVariable");
  if (!c || !name || !size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string* value = c->FindServerVariable(name);
  if (!value) {
    SetLastError(ERROR_INVALID_INDEX);
    return FALSE;
  }
  return CopyOutText(*value, buffer, size);
} catch (...) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

BOOL WINAPI Connection::AddResponseHeadersCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR headers, DWORD) try {
  Connection* c = From(pfc, "AddResponseHeaders");
  if (!c || !headers) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  c->addedResponseHeaders_.emplace_back(headers);
  return TRUE;
} catch (...) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

BOOL WINAPI Connection::WriteClientCallback(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes, DWORD) try {
  Connection* c = From(pfc, "WriteClient");
  if (!c || !bytes || (!buffer && *bytes != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (c->state_ != State::Open) {
    SetLastError(ERROR_NETNAME_DELETED);
    return FALSE;
  }
  if (*bytes == 0) return TRUE;
  c->SendToClient(ClientBytesSource::WriteClient, std::string(static_cast<const char*>(buffer), *bytes));
  return TRUE;
} catch (...) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

VOID* WINAPI Connection::AllocMemCallback(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD) try {
  Connection* c = From(pfc, "AllocMem");
  if (!c) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (c->failAllocMem_) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  Block block;
  if (size <= MAXDWORD - kGuardBytes) block.memory.reset(new (std::nothrow) unsigned char[size + kGuardBytes]);
  if (!block.memory) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // Not zeroed, like the proxy's own memory: a filter must not rely on it.
  std::memset(block.memory.get(), 0xCD, size);
  std::memset(block.memory.get() + size, kGuardByte, kGuardBytes);
  block.record = AllocationRecord{block.memory.get(), size, c->request_, false};
  void* address = block.memory.get();
  c->blocks_.push_back(std::move(block));
  return address;
} catch (...) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

BOOL WINAPI Connection::ServerSupportFunctionCallback(HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE request, PVOID data,
                                                       ULONG_PTR ul1, ULONG_PTR) try {
  Connection* c = From(pfc, "ServerSupportFunction");
  if (!c) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  switch (request) {
    case SF_REQ_SEND_RESPONSE_HEADER: {
      if (c->state_ != State::Open) {
        SetLastError(ERROR_NETNAME_DELETED);
        return FALSE;
      }
      const char* headers = reinterpret_cast<const char*>(ul1);
      ResponseHeaderCall call{c->request_, data ? static_cast<const char*>(data) : "200 OK", headers ? headers : ""};
      // Without header text the proxy ends the header block itself.
      std::string bytes = "HTTP/1.1 " + call.status + "\r\n" + (headers ? call.headers : std::string("\r\n"));
      if (c->responseHeaderSent_) c->Violation("SF_REQ_SEND_RESPONSE_HEADER called twice in one request");
      if (!EndsWith(bytes, "\r\n\r\n")) c->Violation("SF_REQ_SEND_RESPONSE_HEADER header text does not end with an empty line");
      c->responseHeaderSent_ = true;
      c->responseHeaderCalls_.push_back(std::move(call));
      c->SendToClient(ClientBytesSource::ResponseHeader, std::move(bytes));
      return TRUE;
    }
    case SF_REQ_DISABLE_NOTIFICATIONS:
      c->disabled_ |= static_cast<DWORD>(ul1);
      return TRUE;
    default:
      SetLastError(ERROR_NOT_SUPPORTED);
      return FALSE;
  }
} catch (...) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

HeaderBlock* Connection::HeadersOfCall(HTTP_FILTER_CONTEXT* pfc, const char* callback, bool argumentsGiven) {
  Connection* c = From(pfc, callback);
  if (!c || !argumentsGiven) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!c->currentHeaders_) {
    c->Violation(std::string(callback) + " called during a notification without headers");
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return c->currentHeaders_;
}

BOOL WINAPI Connection::GetHeaderCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size) try {
  HeaderBlock* current = HeadersOfCall(pfc, "GetHeader", name && size);
  if (!current) return FALSE;
  const HeaderBlock& headers = *current;
  HeaderName which = ReadHeaderName(name);
  std::optional<std::string> value;
  switch (which.kind) {
    case HeaderName::Field: value = headers.Get(which.field); break;
    case HeaderName::Method: value = headers.Method(); break;
    case HeaderName::Url: value = headers.Url(); break;
    case HeaderName::Version: value = headers.Version(); break;
  }
  if (!value) {
    SetLastError(ERROR_INVALID_INDEX);
    return FALSE;
  }
  return CopyOutText(*value, buffer, size);
} catch (...) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

BOOL WINAPI Connection::SetHeaderCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) try {
  HeaderBlock* current = HeadersOfCall(pfc, "SetHeader", name && value);
  if (!current) return FALSE;
  HeaderBlock& headers = *current;
  HeaderName which = ReadHeaderName(name);
  switch (which.kind) {
    case HeaderName::Field: headers.Set(which.field, value); break;
    case HeaderName::Method: headers.SetMethod(value); break;
    case HeaderName::Url: headers.SetUrl(value); break;
    case HeaderName::Version: headers.SetVersion(value); break;
  }
  return TRUE;
} catch (...) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

BOOL WINAPI Connection::AddHeaderCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) try {
  HeaderBlock* current = HeadersOfCall(pfc, "AddHeader", name && value);
  if (!current) return FALSE;
  std::string field = name;
  if (EndsWith(field, ":")) field.pop_back();
  current->Add(field, value);
  return TRUE;
} catch (...) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

BOOL WINAPI Connection::GetUserTokenCallback(HTTP_FILTER_CONTEXT* pfc, HANDLE* token) {
  if (token) *token = nullptr;
  if (!From(pfc, "GetUserToken")) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

}  // namespace talverin::host
