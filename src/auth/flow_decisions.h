#pragma once
// What the two-factor flow does, decided without a host or a back end: each
// stage builds a view of the request or answer and a snapshot of the
// session, and these functions say what happens (pass on, finish, redirect,
// replace the answer) and which session members change. The stages carry the
// decisions out against the host and the back end and write the log lines.
// Pure logic: no Windows header.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_header_block.h"

// The back-end session's State.
enum class SessionState : int { Initial = 0, AwaitingPasscode = 1, Valid = 2, Expired = 3 };

// Which login form a request posted, and which button.
enum class FormAction : std::int32_t {
  None = 0,
  IsaTmgLogon = 1,  // the ISA/TMG logon form; username recorded
  Login = 2,        // Login on the filter's own form; passcode recorded
  Cancel = 3,       // Cancel on the filter's own form
};

namespace talverin::flow {

// The session members a decision may need beyond the session's presence.
enum class Member { None, State, KeptUrl, BypassReportPending };

// What a request knows of its session. Members are filled as decisions ask
// for them (Decision::need), each read from the back end once.
struct SessionSnapshot {
  bool present = false;
  std::optional<int> state;
  // The member Url: the page the logon was for.
  std::optional<std::string> keptUrl;
  std::optional<std::string> keptUrlLower;  // lower-cased as the request URL is
  // The member BypassTalverinAuthentication: a bypass report is still owed.
  std::optional<bool> bypassReportPending;

  bool Has(Member member) const;
  bool IsIn(SessionState s) const { return present && state && *state == static_cast<int>(s); }
};

// What the request-headers notification knows of a request.
struct RequestView {
  std::string url;                          // as the host gives it
  std::string urlLower;                     // lower-cased (the thread's code page)
  std::optional<std::string> canonicalUrl;  // config/url_canonical.h; none: matches no URL rule
  std::string method;                       // the request line's first token
  bool hasBody = false;                     // a body announced, or framing not understood
  bool keyPresent = false;                  // ISA/TMG's cookie carried a key
  bool authorizationPresent = false;
  bool fallbackForbidden = true;  // setting FallbackFromFBAForbidden
  bool htmlServerPresent = true;  // the back end renders the login page
  FormAction formAction = FormAction::None;
};

// The filter's own resources under /talverinauth.dll?action=.
struct OwnResource {
  const char* key;   // "getpic?login_img.jpg"
  const char* name;  // "login_img.jpg"
  bool picture;
};
inline constexpr OwnResource kOwnResources[] = {
    {"getpic?login_img.jpg", "login_img.jpg", true},
    {"getpic?login_bgr_top.gif", "login_bgr_top.gif", true},
    {"getpic?login_bgr_body.gif", "login_bgr_body.gif", true},
    {"getpic?dialog_box_fade.gif", "dialog_box_fade.gif", true},
    {"getcss?common.css", "common.css", false},
    {"getcss?talverin.css", "talverin.css", false},
};
inline constexpr char kOwnLoginPage[] = "/talverinauth.dll?logon";
inline constexpr char kOwnActionPrefix[] = "/talverinauth.dll?action=";
inline constexpr char kOwnStatusPoll[] = "/talverinauth.dll?action=status";
inline constexpr char kOwnLoginAction[] = "/talverinauth.dll?action=talvlogin";

enum class RequestAction {
  PassOn,            // the request goes on to ISA/TMG
  Finish,            // the request ends; nothing written
  SendToIsaTmgLogon, // session (if any) Expired; back to ISA/TMG's logon page without its cookie
  SendToOwnLogin,    // redirect to the passcode page
  ShowLoginPage,     // the passcode page
  ServeResource,     // a picture or style sheet of the passcode page
  AnswerStatusPoll,  // the texted passcode's status
  CheckPasscode,     // the posted passcode goes to the back end (DecidePasscodeCheck)
};

// Why; each reason has its log line, written by the stage that acts.
enum class RequestReason {
  None,
  FallbackRefused,   // an Authorization header before the second factor
  Anonymous,         // no key: ISA/TMG shows its logon form when needed
  StaleKey,          // a key the back end has no session for
  OwnPage,           // the filter's own site
  IsaTmgPage,        // ISA/TMG's own pages pass in Initial and Expired
  KeptPageRead,      // Initial: the one plain read of the kept page
  BypassDetected,    // Initial: anything else
  PasscodePosted,    // AwaitingPasscode: Login
  Cancelled,         // AwaitingPasscode: Cancel
  IncorrectUrl,      // AwaitingPasscode: anything else
  Valid,             // the second factor has passed
  ExpiredWrongUrl,   // Expired: anything but ISA/TMG's pages
  InvalidState,      // a State the filter does not know
};

struct RequestDecision {
  // Read this member into the snapshot and decide again; the rest is unset.
  Member need = Member::None;
  RequestAction action = RequestAction::Finish;
  RequestReason reason = RequestReason::None;
  const OwnResource* resource = nullptr;  // ServeResource
  // Session changes, made before the action.
  std::optional<SessionState> newState;  // Expired to Initial at ISA/TMG's logon page
  bool forgetKeptUrl = false;            // with it: the kept page is read once per password
  bool reportBypass = false;             // report the bypassed password once, then clear the flag
  // Expired at ISA/TMG's logon page: the step from Expired back to Initial.
  bool backToInitial = false;
  // The answer to this request is the session's whatever it does.
  bool validAtRequest = false;
};

// The request-headers decision: the Authorization fallback, a key without a
// session, the filter's own site, then the session's state.
RequestDecision DecideRequest(const RequestView& request, const SessionSnapshot& session);

// A posted passcode, checked one at a time: the state read under the check
// lock, whether the back end can check at all.
enum class PasscodeStep {
  AlreadyPassed,  // a passcode beside this one was right: to the kept page
  NotAwaited,     // another guess ended the session's wait: back to ISA/TMG's logon page
  NoProxy,        // nothing to check with: back to ISA/TMG's logon page
  Check,          // ask the back end
};
PasscodeStep DecidePasscodeStep(int stateUnderLock, bool proxyPresent);

// Where the way back to ISA/TMG's logon page leads: the stored Referer (member
// Password) when it is an ISA/TMG logon URL on this site, else the request's
// own URL when nothing is stored.
struct IsaTmgLogonTarget {
  enum class Kind { StoredUrl, RequestUrl, Nowhere } kind = Kind::Nowhere;
  std::string url;               // StoredUrl: with reason=0 made reason=4
  bool storedNotOnSite = false;  // a stored URL of another site was dropped
};
IsaTmgLogonTarget DecideIsaTmgLogonTarget(const std::string& storedReferer, const std::string& requestHost,
                                          const std::string& requestUrl);

// --- Request bytes ---------------------------------------------------------

// What the raw-read notification reads of a request's header block (through
// its blank line), in one reading of its lines.
struct RequestBlockView {
  bool strict = false;   // HttpHeaderBlock::IsStrict
  std::string method;    // the request line's first token
  std::string url;       // its second token, as sent
  HttpHeaderBlock::BodyLength length;
  bool formUrlEncoded = false;  // Content-Type absent or application/x-www-form-urlencoded
  std::vector<std::string> cookieLines;  // every Cookie line's value, in order
};
RequestBlockView ReadRequestBlock(std::string_view block);

enum class RequestBlockAction {
  PassOn,    // the request goes on; every later raw-data record is its body
  Finish,    // the request ends
  ReadBody,  // a login form: held until bytesAwaited bytes are there
};
// Why; each reason has its log line, written by the stage that acts.
enum class RequestBlockReason {
  None,
  NotStrict,       // bare line ends, folded lines or NUL bytes
  Excluded,        // an exclusion rule of the listener matched
  NoLoginForm,     // not a post to either login form
  UnclearFraming,  // a login form post with Transfer-Encoding or an unclear Content-Length
  FormTooLong,     // a login form post longer than the filter reads (an attack event)
  NotUrlEncoded,   // an ISA/TMG logon post that is no URL-encoded form
  LoginForm,       // a login form post: its body is read whole
};
struct RequestBlockDecision {
  RequestBlockAction action = RequestBlockAction::Finish;
  RequestBlockReason reason = RequestBlockReason::None;
  std::size_t bytesAwaited = 0;  // ReadBody: header block and body together
};
inline constexpr std::size_t kMaxLoginFormBody = 64 * 1024;
// blockSize: the header block's bytes through its blank line; excluded: what
// the listener's exclusion rules say of the request (asked only of a strict
// block).
RequestBlockDecision DecideRequestBlock(const RequestBlockView& request, std::size_t blockSize, bool excluded);

// --- Answers ---------------------------------------------------------------

// Whether the whole answer is read before deciding: ISA/TMG's answer to its
// logon post may be a password change page kept for after the passcode.
bool ReadsWholeAnswer(const std::optional<std::string>& canonicalUrl, const SessionSnapshot& session);

// A 401 before the second factor is ISA/TMG falling back from its form: the
// answer is dropped when the setting forbids the fallback.
bool RefusesFallbackAnswer(int statusCode, bool fallbackForbidden, const SessionSnapshot& session);

// How the session follows the cookie ISA/TMG sets.
enum class Binding {
  ExpireOld,      // ISA/TMG cleared its cookie: the request's session ends
  Renew,          // a new key carries the session's state over
  CreateOrReset,  // a fresh logon (or the same key again): the key's session starts Initial
};
// freshLogon: the answer is to one of ISA/TMG's own pages.
Binding DecideBinding(const std::string& requestKey, const std::string& newKey, bool freshLogon);

// What an answer in state Initial says of the password.
enum class Outcome {
  Rejected,         // ISA/TMG redirects to its logon page: passed on, password reported wrong
  Accepted,         // request the passcode, answer with the passcode page
  BackToReferer,    // a 500: back to the page the browser came from, password reported wrong
  Refused,          // anything else: dropped
};
struct OutcomeDecision {
  Outcome outcome = Outcome::Refused;
  bool passwordChange = false;  // the redirect keeps ISA/TMG's Set-Cookie
  std::string target;           // BackToReferer
};
// locationLower: the answer's Location, lower-cased; logonPost: the request
// was ISA/TMG's logon post; referer: the request's, refererOnSite when it
// names this site.
OutcomeDecision DecideOutcome(int statusCode, const std::string& locationLower, bool logonPost, bool sessionPresent,
                              const std::string& referer, bool refererOnSite);

// The last check before an answer leaves: an answer for a session that has
// not passed the second factor reaches the browser only when it is ISA/TMG's
// own (its pages, or a redirect to them) or the request named no session.
struct GateView {
  bool validAtRequest = false;
  bool validNow = false;
  bool authCookiePresent = false;
  std::optional<std::string> canonicalUrl;
  int statusCode = 0;
  std::string location;
};
bool MayPassAnswerOn(const GateView& gate);

// What the raw-send notification knows of ISA/TMG's answer (its header block
// complete, and the whole of it for an answer to the logon post).
struct AnswerView {
  int statusCode = 0;
  bool fallbackForbidden = true;
  // The request's.
  std::string requestKey;
  std::string urlLower;
  std::optional<std::string> canonicalUrl;
  bool authCookiePresent = false;
  bool validAtRequest = false;
  std::string referer;
  bool refererOnSite = false;
  // ISA/TMG's cookie in the answer's Set-Cookie lines.
  bool setsCookie = false;
  bool cookieAmbiguous = false;
  std::string newKey;
  std::string location;
  std::string locationLower;
};

enum class AnswerAction {
  PassOn,          // the held-back answer goes out unchanged
  Drop,            // the request ends; nothing of the answer goes out
  Bind,            // follow ISA/TMG's cookie (binding), keep its Location, then decide again
  AskPasscode,     // the password was accepted: request the passcode, answer with the passcode page
  BackToReferer,   // a 500: answer with a redirect to outcome.target
};

enum class AnswerReason {
  None,
  FallbackRefused,
  CookieAmbiguous,
  ExpiredNoRenewal,
  PasswordRejected,  // passed on (through the gate), the password reported wrong
  PasswordAccepted,
  OddAnswer,         // BackToReferer, the password reported wrong
  WrongState,        // the outcome's answer is none of the above: dropped
  NotPassed,         // the gate refused it
  Passed,
};

struct AnswerDecision {
  Member need = Member::None;
  AnswerAction action = AnswerAction::Drop;
  AnswerReason reason = AnswerReason::None;
  Binding binding = Binding::CreateOrReset;  // Bind
  bool outcomeRan = false;                   // the answer told a password's outcome
  OutcomeDecision outcome;
};

// bound: the cookie has been followed (or there was none to follow) and the
// snapshot is of the session the request now holds.
AnswerDecision DecideAnswer(const AnswerView& answer, const SessionSnapshot& session, bool bound);

}  // namespace talverin::flow
