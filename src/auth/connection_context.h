#pragma once
// The per-request record every notification handler works on, and its home
// in the host's per-connection filter-context slot.
#include <windows.h>
#include <httpfilt.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "auth/flow_decisions.h"
#include "base/error.h"
#include "base/secure.h"
#include "config/filter_config.h"

namespace Stub {
class Session;
}

// What the filter has learned about the request in flight, carried from the
// request side to the response side of the same request. No lock: the host
// delivers one notification of a connection at a time.
class ConnectionContext {
 public:
  // Room taken when an answer is first held: two of the host's chunks (the
  // start of a long header block and the chunk that ends it) without growing;
  // no more, since all of it is wiped when the request ends.
  static constexpr std::size_t kResponseReserve = 8 * 1024;

  ConnectionContext();
  ~ConnectionContext();
  ConnectionContext(const ConnectionContext&) = delete;
  ConnectionContext& operator=(const ConnectionContext&) = delete;

  talverin::SecureString username;  // from the ISA/TMG logon form
  talverin::SecureString passcode;  // from the filter's own login form
  std::string key;                  // session key from the ISA/TMG cookie
  std::string url;                  // "URL" server variable, as given
  std::string urlLower;             // lower-case copy for every URL test
  std::string referer;
  std::string clientAddress;                // "REMOTE_ADDR", on an ISA/TMG logon post
  std::shared_ptr<Stub::Session> session;   // null: no session for key
  bool bypassAllowed = false;
  bool urlIsProtected = false;
  FormAction formAction = FormAction::None;
  bool responseHeadersRead = false;
  // Where the answer's header block ends (its blank line begins), counted
  // from the answer's first byte; npos until it has been seen.
  std::size_t responseHeaderEnd = std::string::npos;
  bool requestHeadersRead = false;
  bool authorizationHeaderPresent = false;
  std::int32_t checkAuthenticationAllowedResult = 0;
  // The raw request as the body stage read it. Once its header block has
  // been handed on, every later raw-data record of the request is its body.
  bool requestHandedOn = false;
  std::size_t requestHeaderScanFrom = 0;  // the blank line is searched for from here on
  std::size_t requestBytesAwaited = 0;    // a login post: header block and whole body
  std::string requestMethod;              // first token of the request line
  bool requestHasBody = false;            // a body announced, or framing not understood
  std::vector<std::string> requestCookieLines;  // every Cookie line of the header block
  // The session had passed the second factor when the request was let
  // through: its answer is the session's, whatever that answer does.
  bool validAtRequest = false;
  // Canonical form of url (config/url_canonical.h); empty when the URL cannot
  // be canonicalized, which no URL test then matches.
  std::string urlCanonical;
  bool urlCanonicalValid = false;
  // The request named ISA/TMG's cookie (possibly with an empty value).
  bool authCookiePresent = false;
  // The filter has written its own answer into the response: every later
  // chunk of it goes out as nothing.
  bool responseReplaced = false;

  // The listener's GUID ("LISTENER_GUID"), asked of the host once per request.
  const std::string& ListenerGuid(HTTP_FILTER_CONTEXT* pfc);

  // The configuration this request runs under, taken when the request began:
  // a reload while it is in flight changes nothing for it.
  talverin::ConfigSnapshot config;

  // True when a session reference is held, whatever its state; logged.
  bool HasValidSession() const;

  // The session's members as this request knows them: each is read from the
  // back end once per session reference, and what the request writes is
  // remembered, so no stage asks the back end again for what it already
  // told. A new session reference starts with nothing known.
  int SessionState();
  void SetSessionState(int value);
  // Holds session as the request's session; state, when given, is what the
  // caller has just written to it.
  void BindSession(std::shared_ptr<Stub::Session> bound, std::optional<int> state = std::nullopt);
  // The next SessionState() asks the back end: for a decision that must see
  // what other requests of the session have done meanwhile.
  void ForgetSessionState() noexcept;
  // The member Url: the page the logon was for, kept until the second factor.
  std::string KeptUrl();
  void SetKeptUrl(const std::string& value);
  // The member BypassTalverinAuthentication: the password report of a user
  // allowed to skip the second factor is still owed.
  bool BypassReportPending();
  void SetBypassReportPending(bool value);
  // The request URL is the kept URL (ignoring case); read when first asked.
  bool UrlIsProtected();
  // What the request knows of its session, for the flow's decisions;
  // Fill reads one member a decision asked for.
  const talverin::flow::SessionSnapshot& Snapshot();
  void Fill(talverin::flow::Member member);

  // Appends what the record presents: the smaller of its data count and its
  // buffer size.
  void AppendResponseData(const HTTP_FILTER_RAW_DATA& record);
  void AppendResponseData(const void* data, std::size_t size);
  // Wipes the gathered bytes; the reserved room stays.
  void ClearResponseData() noexcept;
  const talverin::SecureString& ResponseData() const noexcept { return responseBuffer_; }

  // Copies the gathered bytes into an AllocMem block and points the record at
  // it. False when the host gives no block: the record is then untouched and
  // the caller must end the notification itself (the response held back must
  // not leak out). An empty buffer needs no block: the record then presents
  // no data.
  [[nodiscard]] bool HandResponseDataToHost(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record) const;

 private:
  // Drops what is known of a session that is no longer the one referenced.
  void FollowSession();

  // A string, not a byte vector: it grows by copying its bytes in one piece.
  talverin::SecureString responseBuffer_;
  std::optional<std::string> listenerGuid_;
  const Stub::Session* known_ = nullptr;
  talverin::flow::SessionSnapshot snapshot_;
  bool urlProtectionKnown_ = false;
};

// A notification that needs the request's context came before any raw
// request data created one.
class ConnectionContextNotFoundException : public talverin::Error {
 public:
  ConnectionContextNotFoundException()
      : Error(FromMessage(talverin::ErrorCategory::Host, "Connection context has not been found!")) {}
};

// The context of a connection lives in the host's pFilterContext slot, which
// the host keeps per connection and hands back with every notification. The
// dispatcher creates it on raw request data, fetches it for every other
// notification and destroys it after the end of the request.
class ConnectionContextRegistry {
 public:
  // The slot's context, created when the slot is empty.
  static ConnectionContext& CreateOrGet(HTTP_FILTER_CONTEXT* pfc);
  // The slot's context; null when there is none and mustExist is false.
  // Throws ConnectionContextNotFoundException when there is none and
  // mustExist is true.
  static ConnectionContext* Get(HTTP_FILTER_CONTEXT* pfc, bool mustExist);
  // Wipes and frees the slot's context and empties the slot; a warning only
  // when there is none.
  static void Destroy(HTTP_FILTER_CONTEXT* pfc) noexcept;
};
