#pragma once
// One client connection as the web proxy drives it through a filter: the
// filter context with the proxy's callbacks, the notification records, the
// memory the filter asks for, and what the client receives. A connection
// carries one request after another until it is closed; the filter's
// per-connection slot (pFilterContext) lives as long as the connection.
//
// A connection is driven by one thread at a time; different connections may
// be driven on different threads at once. The callbacks the filter calls are
// only valid while a notification is being delivered, on the delivering
// thread; other uses are refused and recorded as violations.
#include <windows.h>
#include <httpfilt.h>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/filter_module.h"
#include "host/header_block.h"

namespace talverin::host {

struct ConnectionOptions {
  bool securePort = false;
  DWORD revision = HTTP_FILTER_REVISION;
  // Whether the end-of-request notification still reaches the filter for a
  // request it finished with SF_STATUS_REQ_FINISHED or SF_STATUS_REQ_ERROR
  // (the connection is dropped right after it either way).
  bool endOfRequestAfterFinished = true;
};

enum class SkipReason {
  None,              // delivered
  NotRegistered,     // the filter's version flags do not ask for it
  Disabled,          // SF_REQ_DISABLE_NOTIFICATIONS earlier in this request
  RequestFinished,   // SF_STATUS_REQ_FINISHED_KEEP_CONN earlier in this request
  ConnectionClosed,  // the connection is closed or closing
};
const char* SkipReasonText(SkipReason reason);

struct NotificationResult {
  DWORD type = 0;
  int request = 0;  // 1 for the connection's first request
  bool delivered = false;
  SkipReason skipped = SkipReason::None;
  // The filter's answer; SF_STATUS_REQ_NEXT_NOTIFICATION when not delivered,
  // as the proxy then simply goes on.
  DWORD status = SF_STATUS_REQ_NEXT_NOTIFICATION;
  DWORD lastError = 0;  // the thread's last error right after the call
};

enum class ClientBytesSource { ResponseHeader, WriteClient, RawSend };

// One piece of what the client received, in order.
struct ClientWrite {
  ClientBytesSource source;
  int request;
  std::string bytes;
};

struct AllocationRecord {
  const void* address;
  DWORD size;
  int request;  // request during which the filter asked for it
  bool freed;
};

struct ResponseHeaderCall {
  int request;
  std::string status;   // as the filter passed it ("200 OK" when it passed none)
  std::string headers;  // as the filter passed it (empty when it passed none)
};

struct AuthenticationData {
  std::string user;
  std::string password;
};

class Connection {
 public:
  explicit Connection(FilterModule& module, ConnectionOptions options = {});
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Server variables: connection-wide ones, and per-request ones that hide
  // them and are cleared when the request ends. Names ignore ASCII case.
  void SetServerVariable(const std::string& name, const std::string& value);
  void SetRequestServerVariable(const std::string& name, const std::string& value);
  void RemoveServerVariable(const std::string& name);

  // The request header block seen by the request-header notifications. By
  // default it is read from the request bytes that passed the raw-data
  // notifications of this request; setting it replaces that.
  void SetRequestHeaders(std::string_view headerBlock);
  HeaderBlock RequestHeaders() const;
  // The response header block as the last send-response notification left it.
  const HeaderBlock& ResponseHeaders() const { return responseHeaders_; }

  // Notifications. Each is delivered only when the filter registered for it
  // and has not disabled it for this request, and the request and the
  // connection are still going.
  //
  // Request bytes as read from the client; what the filter leaves in the
  // record is what the proxy goes on with (ForwardedRequestBytes).
  NotificationResult SendRawRequestData(std::string_view bytes);
  // The same notification over `presented` for a host that keeps the request
  // itself: `*left` receives the bytes the filter left in the record (the
  // bytes presented when the notification did not reach the filter, nothing
  // when the filter ended the request). ForwardedRequestBytes is not touched.
  NotificationResult ReadRawData(std::string_view presented, std::string* left);
  NotificationResult PreprocHeaders();
  NotificationResult Authentication(AuthenticationData& data);
  NotificationResult AuthComplete();
  NotificationResult AccessDenied(const std::string& url, const std::string& physicalPath, DWORD reason);
  // Over the response header block given (status line and fields).
  NotificationResult SendResponseNotification(std::string_view responseHeaderBlock);
  // One chunk of the response the proxy is about to send; the bytes the
  // filter leaves in the record (possibly memory from AllocMem) are sent.
  // When the notification is not delivered the chunk goes out unchanged.
  NotificationResult SendRawResponseData(std::string_view bytes);
  // Ends the request: per-request state is reset, or the connection is
  // dropped if the filter finished the request.
  NotificationResult EndOfRequest();
  // Drops the connection without further notifications; AllocMem memory is
  // released. Also done by the destructor.
  void Close();
  // Forgets what was recorded of the requests so far (notifications, client
  // writes, response header calls, added response headers), so that a
  // connection of a long-running server does not grow with each request.
  void ForgetRecords();

  // State.
  bool IsClosed() const { return state_ != State::Open; }
  bool IsReleased() const { return state_ == State::Released; }
  bool RequestFinished() const { return requestFinished_; }
  int RequestNumber() const { return request_; }
  DWORD DisabledNotifications() const { return disabled_; }
  void* FilterContextSlot() const { return context_.pFilterContext; }
  HTTP_FILTER_CONTEXT* FilterContext() { return &context_; }

  // What happened.
  const std::vector<NotificationResult>& Notifications() const { return notifications_; }
  const std::vector<ClientWrite>& ClientWrites() const { return clientWrites_; }
  std::string ClientBytes() const;
  std::string ClientBytes(int request) const;
  std::string ForwardedRequestBytes() const { return forwardedRequest_; }
  const std::vector<ResponseHeaderCall>& ResponseHeaderCalls() const { return responseHeaderCalls_; }
  const std::vector<std::string>& AddedResponseHeaders() const { return addedResponseHeaders_; }
  std::vector<AllocationRecord> Allocations() const;
  size_t LiveAllocations() const;
  // Uses of the callbacks that a real proxy would not honour or that point to
  // a fault in the filter (wrong thread, outside a notification, data out of
  // bounds, writes past an AllocMem block). Empty for a well-behaved filter.
  std::vector<std::string> Violations() const;

  // Makes the next AllocMem calls fail, as under memory pressure.
  void FailAllocMem(bool fail) { failAllocMem_ = fail; }

 private:
  enum class State { Open, Closing, Released };

  // Each block carries guard bytes behind the part the filter asked for, so
  // that a filter writing past its block is noticed.
  struct Block {
    std::unique_ptr<unsigned char[]> memory;
    AllocationRecord record;
    bool overrunReported = false;
  };
  static constexpr size_t kGuardBytes = 16;
  static constexpr unsigned char kGuardByte = 0xFD;

  static Connection* From(HTTP_FILTER_CONTEXT* pfc, const char* callback);
  static BOOL WINAPI GetServerVariableCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI AddResponseHeadersCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR headers, DWORD reserved);
  static BOOL WINAPI WriteClientCallback(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes, DWORD reserved);
  static VOID* WINAPI AllocMemCallback(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD reserved);
  static BOOL WINAPI ServerSupportFunctionCallback(HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE request, PVOID data,
                                                   ULONG_PTR ul1, ULONG_PTR ul2);
  // The header block of the notification a header callback runs in; null,
  // with the last error set, for bad arguments or a notification without one.
  static HeaderBlock* HeadersOfCall(HTTP_FILTER_CONTEXT* pfc, const char* callback, bool argumentsGiven);
  static BOOL WINAPI GetHeaderCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI SetHeaderCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);
  static BOOL WINAPI AddHeaderCallback(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);
  static BOOL WINAPI GetUserTokenCallback(HTTP_FILTER_CONTEXT* pfc, HANDLE* token);

  bool CallbackAllowed(const char* callback);
  void Violation(std::string text);
  // Why a notification of this type would not reach the filter now; None
  // when it would.
  SkipReason Skip(DWORD type) const;
  NotificationResult Skipped(DWORD type, SkipReason reason);
  NotificationResult Deliver(DWORD type, void* record, HeaderBlock* headers = nullptr);
  void ApplyStatus(const NotificationResult& result);
  // The bytes a raw-data record describes after the filter had it; checked
  // against the memory the proxy knows.
  std::string TakeRecordBytes(const HTTP_FILTER_RAW_DATA& record, const std::vector<char>& hostBuffer,
                              const char* notification);
  const Block* FindBlock(const void* address) const;
  void CheckGuards();
  HeaderBlock& CurrentRequestHeaders();
  const std::string* FindServerVariable(const std::string& name) const;
  void SendToClient(ClientBytesSource source, std::string bytes);
  void ResetRequest();
  void Release();

  struct NameLess {
    bool operator()(const std::string& a, const std::string& b) const;
  };

  FilterModule& module_;
  ConnectionOptions options_;
  HTTP_FILTER_CONTEXT context_{};
  State state_ = State::Open;

  // The notification being delivered, if any. Atomic: a faulty filter may
  // call back from another thread, which must be noticed, not raced.
  std::atomic<bool> inNotification_{false};
  std::atomic<DWORD> notifyingThread_{0};
  HeaderBlock* currentHeaders_ = nullptr;

  // Per request.
  int request_ = 1;
  DWORD disabled_ = 0;
  bool requestFinished_ = false;
  std::string forwardedRequest_;
  std::optional<HeaderBlock> requestHeaders_;
  HeaderBlock responseHeaders_;
  bool responseHeaderSent_ = false;
  std::map<std::string, std::string, NameLess> requestVariables_;

  // Per connection.
  std::map<std::string, std::string, NameLess> connectionVariables_;
  std::vector<Block> blocks_;
  bool failAllocMem_ = false;
  std::vector<NotificationResult> notifications_;
  std::vector<ClientWrite> clientWrites_;
  std::vector<ResponseHeaderCall> responseHeaderCalls_;
  std::vector<std::string> addedResponseHeaders_;
  mutable CriticalSection violationsLock_;
  std::vector<std::string> violations_;
};

// Copies a value out the way the proxy's GetServerVariable and GetHeader do:
// with its terminating zero, or FALSE with ERROR_INSUFFICIENT_BUFFER and the
// size needed (zero included) in *size.
BOOL CopyOutText(const std::string& value, void* buffer, DWORD* size);

}  // namespace talverin::host
