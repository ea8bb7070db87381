// The two-factor flow as a whole: an honest user and an attacker who knows
// the user's password send requests through the flow's decisions, a small
// model of ISA/TMG (logon form and post, its cookie issued, rotated and
// cleared, a published site) and a model of the back end. After every step
// the boundary must hold:
// - no byte of the published site reaches a logon that has not passed the
//   second factor (a right passcode, or a user allowed to bypass it);
// - no request of such a logon reaches the site but one plain read (GET or
//   HEAD without a body) of the page the logon was for;
// - no authentication challenge (401) reaches such a logon.
// The stage code that carries decisions out against the host is modelled
// here as the stages do it; the decisions themselves are the product's.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "auth/flow_decisions.h"
#include "auth/flow_text.h"
#include "config/url_canonical.h"

namespace {

using namespace talverin;
using namespace talverin::flow;

void Require(bool condition) {
  if (!condition) std::abort();
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::size_t Pick(std::size_t count) { return Byte() % count; }
  bool Flag() { return (Byte() & 1) != 0; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

constexpr char kHost[] = "mail.example";
constexpr int kInitial = 0, kAwaiting = 1, kValid = 2, kExpired = 3;

const char* const kUrls[] = {
    "/owa/",
    "/OWA/",
    "/owa/inbox.html",
    "/owa/send",
    "/owa/../owa/",
    "/owa/logoff.owa",
    "/CookieAuth.dll?GetLogon?curl=Z2FowaZ2F&reason=0",
    "/CookieAuth.dll?Logoff",
    "/cookieauth.dll/owa/",
    "/talverinauth.dll?logon",
    "/talverinauth.dll?action=status",
    "/talverinauth.dll?action=getpic?login_img.jpg",
    "/x/talverinauth.dll?action=getcss?common.css",
    "/%63ookieauth.dll?GetLogon",
};
const char* const kMethods[] = {"GET", "HEAD", "POST", "PUT", "get"};
// How a body's type and framing may be spelled; the first is the form's own.
const char* const kFramings[] = {
    "Content-Type: application/x-www-form-urlencoded\r\n",
    "",
    "Content-Type: application/x-www-form-urlencoded\r\nContent-Type: multipart/form-data; boundary=b\r\n",
    "Content-Type: text/plain\r\n",
    "Transfer-Encoding: chunked\r\n",
    "Content-Length: 8\r\n",
};

struct User {
  const char* name;
  const char* password;
  int check;  // the back end's CheckAuthenticationAllowed
  bool passwordChange;
};
const User kUsers[] = {
    {"alice", "a", 5, false},
    {"bob", "b", 4, false},   // may bypass the second factor
    {"carol", "c", 2, false}, // locked out
    {"erin", "e", 5, true},   // ISA/TMG shows its password change page
};

// --- The back end ---------------------------------------------------------

struct BackendSession {
  int state = kInitial;
  std::string url;        // member Url: the kept page
  std::string token;
  std::string password;   // member Password: the Referer, the way back
  bool bypass = false;    // member BypassTalverinAuthentication
  std::string heldBackPage;  // member FbaCookieDomain
};

struct Token {
  std::string passcode;
  int logon = -1;
  bool used = false;
  int wrong = 0;
};

// --- ISA/TMG --------------------------------------------------------------

struct Logon {
  bool passed = false;
  std::string keptUrlLower;
  int siteReads = 0;
  int readsInFlight = 0;
};

struct Answer {
  int status = 200;
  std::string location;
  std::optional<std::string> setCookie;  // ISA/TMG's cookie: a key, or "" to clear it
  bool site = false;                     // carries bytes of the published site
  bool challenge = false;                // a 401
};

struct Request {
  std::string method = "GET";
  std::string url = "/owa/";
  bool hasBody = false;
  bool authorization = false;
  std::string referer;
  std::string framing;  // header lines of the body beyond Content-Length
  // The logon post's fields.
  std::string user, password, curl;
  // The passcode form's.
  std::string action, passcode;
};

// An answer ISA/TMG has given but the filter has not handled yet: another
// request of the same browser may run meanwhile, as on a second connection.
struct Pending {
  Request request;
  std::optional<std::string> canonical;
  std::string urlLower;
  std::string requestKey;
  std::string sessionKey;
  int logonAtRequest = -1;
  bool validAtRequest = false;
  bool bypassAllowed = false;
  bool siteRead = false;  // a read of a logon that has not passed
  Answer answer;
};

struct Client {
  std::string cookie;
  std::string lastLocation;
  bool honest = true;
  std::optional<Pending> pending;
};

class World {
 public:
  explicit World(Input& in) : in_(in) {}

  void Step(Client& client) {
    if (client.pending && in_.Flag()) {
      Pending pending = std::move(*client.pending);
      client.pending.reset();
      return AnswerPhase(client, pending);
    }
    Request request = MakeRequest(client);
    Exchange(client, request);
  }

 private:
  Request MakeRequest(Client& client) {
    Request r;
    switch (in_.Pick(6)) {
      case 0:  // any request
        r.method = kMethods[in_.Pick(sizeof kMethods / sizeof *kMethods)];
        r.url = kUrls[in_.Pick(sizeof kUrls / sizeof *kUrls)];
        r.hasBody = r.method == "POST" || in_.Pick(8) == 0;
        break;
      case 1: {  // ISA/TMG's logon form
        const User& user = kUsers[in_.Pick(sizeof kUsers / sizeof *kUsers)];
        r.method = "POST";
        r.url = in_.Flag() ? "/CookieAuth.dll?Logon" : "/cookieauth.dll?logon";
        r.hasBody = true;
        r.user = user.name;
        r.password = in_.Pick(4) == 0 ? "wrong" : user.password;
        r.curl = kUrls[in_.Pick(4)];
        break;
      }
      case 2: {  // the passcode form
        r.method = "POST";
        r.url = kOwnLoginAction;
        r.hasBody = true;
        r.action = in_.Pick(5) == 0 ? "Cancel" : "LogIn";
        if (client.honest && !lastPasscode_.empty() && in_.Pick(4) != 0) {
          r.passcode = lastPasscode_;  // the text message on the user's phone
        } else {
          r.passcode = std::to_string(in_.Byte() % 10);  // a guess
        }
        break;
      }
      case 3:  // follow the last redirect
        r.url = client.lastLocation.empty() ? std::string("/owa/") : StripLocation(client.lastLocation);
        if (r.url.empty()) r.url = "/owa/";
        break;
      case 4:  // ISA/TMG's next answer: a rotated cookie, a challenge, a failure
        switch (in_.Pick(3)) {
          case 0:
            rotateNext_ = true;
            break;
          case 1:
            challengeNext_ = true;
            break;
          default:
            failNext_ = true;
            break;
        }
        r.url = kUrls[in_.Pick(4)];
        break;
      default:
        r.url = kUrls[in_.Pick(sizeof kUrls / sizeof *kUrls)];
        break;
    }
    r.authorization = in_.Pick(6) == 0;
    if (r.hasBody) r.framing = kFramings[in_.Pick(sizeof kFramings / sizeof *kFramings)];
    if (in_.Flag()) r.referer = std::string("https://") + kHost + "/CookieAuth.dll?GetLogon?reason=0";
    return r;
  }

  // The filter's reading of the request and its decision.
  void Exchange(Client& client, const Request& r) {
    const std::optional<std::string> canonical = CanonicalizeUrl(r.url);
    const std::string urlLower = LowerAscii(r.url);
    const std::string requestKey = client.cookie;
    const int logonAtRequest = LogonOf(requestKey);

    // The body stage: the request's header block as the client sent it,
    // then the login forms and the user check.
    std::string block = r.method + " " + r.url + " HTTP/1.1\r\nHost: " + kHost + "\r\n";
    if (r.hasBody) block += r.framing + "Content-Length: 9\r\n";
    if (!requestKey.empty()) block += "Cookie: cadata=" + requestKey + "\r\n";
    block += "\r\n";
    const RequestBlockDecision read = DecideRequestBlock(ReadRequestBlock(block), block.size(), false);
    if (read.action == RequestBlockAction::Finish) return;
    const bool formRead = read.action == RequestBlockAction::ReadBody;
    FormAction form = FormAction::None;
    bool bypassAllowed = false;
    bool credentialsEmptied = false;
    if (formRead && IsIsaTmgLogonPost(canonical) && !r.user.empty()) {
      form = FormAction::IsaTmgLogon;
      const int check = CheckOf(r.user);
      bypassAllowed = check == 4;
      credentialsEmptied = check != 4 && check != 5;
    } else if (formRead && ContainsOwnUrl(canonical, kOwnLoginAction)) {
      form = r.action.empty() || r.action == "LogIn" ? FormAction::Login : FormAction::Cancel;
    }

    // The request-headers stage.
    std::string sessionKey = backend_.count(requestKey) && !requestKey.empty() ? requestKey : std::string();
    RequestView view;
    view.url = r.url;
    view.urlLower = urlLower;
    view.canonicalUrl = canonical;
    view.method = r.method;
    view.hasBody = r.hasBody;
    view.keyPresent = !requestKey.empty();
    view.authorizationPresent = r.authorization;
    view.formAction = form;
    SessionSnapshot snapshot;
    snapshot.present = !sessionKey.empty();
    RequestDecision decision = DecideRequest(view, snapshot);
    for (int reads = 0; decision.need != Member::None; ++reads) {
      Require(reads < 3 && !snapshot.Has(decision.need));
      Fill(snapshot, sessionKey, decision.need);
      decision = DecideRequest(view, snapshot);
    }
    if (decision.forgetKeptUrl) backend_[sessionKey].url.clear();
    if (decision.newState) backend_[sessionKey].state = static_cast<int>(*decision.newState);
    if (decision.reportBypass) backend_[sessionKey].bypass = false;
    switch (decision.action) {
      case RequestAction::PassOn:
        break;
      case RequestAction::Finish:
        return;
      case RequestAction::SendToIsaTmgLogon:
        return SendToIsaTmgLogon(client, sessionKey, r.url);
      case RequestAction::SendToOwnLogin:
        return Redirect(client, kOwnLoginPage, false);
      case RequestAction::ShowLoginPage:
      case RequestAction::ServeResource:
      case RequestAction::AnswerStatusPoll:
        return;  // the filter's own bytes
      case RequestAction::CheckPasscode:
        return CheckPasscode(client, sessionKey, r);
    }

    // ISA/TMG and the site.
    Pending pending;
    pending.request = r;
    pending.canonical = canonical;
    pending.urlLower = urlLower;
    pending.requestKey = requestKey;
    pending.sessionKey = sessionKey;
    pending.logonAtRequest = logonAtRequest;
    pending.validAtRequest = decision.validAtRequest;
    pending.bypassAllowed = bypassAllowed;
    pending.answer = Isa(client, r, canonical, credentialsEmptied, logonAtRequest, pending.siteRead);
    if (!client.pending && in_.Pick(4) == 0) {
      client.pending = std::move(pending);
      return;
    }
    AnswerPhase(client, pending);
  }

  // The raw-send stage.
  void AnswerPhase(Client& client, Pending& p) {
    if (p.siteRead) --logons_[p.logonAtRequest].readsInFlight;
    const Request& r = p.request;
    const Answer& answer = p.answer;
    std::string sessionKey = p.sessionKey;
    AnswerView answerView;
    answerView.statusCode = answer.status;
    answerView.requestKey = p.requestKey;
    answerView.urlLower = p.urlLower;
    answerView.canonicalUrl = p.canonical;
    answerView.authCookiePresent = !p.requestKey.empty();
    answerView.validAtRequest = p.validAtRequest;
    answerView.referer = r.referer;
    answerView.refererOnSite = IsSameSiteUrl(r.referer, kHost);
    answerView.setsCookie = answer.setCookie.has_value();
    answerView.newKey = answer.setCookie.value_or("");
    answerView.location = answer.location;
    answerView.locationLower = LowerAscii(answer.location);
    SessionSnapshot answerSnapshot;
    answerSnapshot.present = !sessionKey.empty();
    AnswerDecision verdict = DecideAnswerFilled(answerView, answerSnapshot, sessionKey, false);
    if (verdict.action == AnswerAction::Bind) {
      Bind(sessionKey, p.requestKey, answerView.newKey, verdict.binding, p.bypassAllowed);
      if (!sessionKey.empty()) {
        if (!answer.location.empty()) {
          backend_[sessionKey].url = StripLocation(answer.location);
        } else if (answer.status == 200) {
          backend_[sessionKey].heldBackPage = "ISA password change page";
        }
      }
      answerSnapshot = SessionSnapshot();
      answerSnapshot.present = !sessionKey.empty();
      verdict = DecideAnswerFilled(answerView, answerSnapshot, sessionKey, true);
    }
    switch (verdict.action) {
      case AnswerAction::Drop:
      case AnswerAction::Bind:
        return;
      case AnswerAction::PassOn:
        return Deliver(client, answer, p.logonAtRequest, true);
      case AnswerAction::AskPasscode: {
        BackendSession& session = backend_[sessionKey];
        Token token;
        token.passcode = std::to_string(100000 + (nextToken_ * 7919) % 900000);
        token.logon = LogonOf(sessionKey);
        const std::string name = "T" + std::to_string(nextToken_++);
        tokens_[name] = token;
        lastPasscode_ = token.passcode;
        session.state = kAwaiting;
        session.token = name;
        session.password = r.referer;
        Answer replaced;
        replaced.status = 302;
        replaced.location = kOwnLoginPage;
        if (verdict.outcome.passwordChange) replaced.setCookie = answer.setCookie;
        return Deliver(client, replaced, p.logonAtRequest, false);
      }
      case AnswerAction::BackToReferer: {
        Answer replaced;
        replaced.status = 302;
        replaced.location = verdict.outcome.target;
        return Deliver(client, replaced, p.logonAtRequest, false);
      }
    }
  }

  AnswerDecision DecideAnswerFilled(const AnswerView& view, SessionSnapshot& snapshot, const std::string& key,
                                    bool bound) {
    AnswerDecision decision = DecideAnswer(view, snapshot, bound);
    for (int reads = 0; decision.need != Member::None; ++reads) {
      Require(reads < 3 && !snapshot.Has(decision.need));
      Fill(snapshot, key, decision.need);
      decision = DecideAnswer(view, snapshot, bound);
    }
    return decision;
  }

  void Fill(SessionSnapshot& snapshot, const std::string& key, Member member) {
    const BackendSession& session = backend_[key];
    switch (member) {
      case Member::State:
        snapshot.state = session.state;
        break;
      case Member::KeptUrl:
        snapshot.keptUrl = session.url;
        snapshot.keptUrlLower = LowerAscii(session.url);
        break;
      case Member::BypassReportPending:
        snapshot.bypassReportPending = session.bypass;
        break;
      case Member::None:
        break;
    }
  }

  // The session follows ISA/TMG's cookie (session binding and renewal).
  void Bind(std::string& sessionKey, const std::string& requestKey, const std::string& newKey, Binding binding,
            bool bypassAllowed) {
    switch (binding) {
      case Binding::ExpireOld:
        if (backend_.count(requestKey)) backend_[requestKey].state = kExpired;
        sessionKey.clear();
        break;
      case Binding::Renew:
        if (!backend_.count(newKey)) {
          const bool old = !requestKey.empty() && !sessionKey.empty();
          BackendSession renewed;
          if (old) {
            const BackendSession& from = backend_[sessionKey];
            renewed.state = from.state;
            renewed.url = from.url;
            renewed.token = from.token;
            renewed.password = from.password;
          }
          backend_[newKey] = renewed;
        }
        sessionKey = newKey;
        break;
      case Binding::CreateOrReset:
        if (newKey.empty()) {
          sessionKey.clear();
        } else {
          backend_[newKey].state = kInitial;
          sessionKey = newKey;
        }
        break;
    }
    if (!sessionKey.empty() && bypassAllowed) {
      backend_[sessionKey].bypass = true;
      backend_[sessionKey].state = kValid;
    }
  }

  void CheckPasscode(Client& client, const std::string& sessionKey, const Request& r) {
    BackendSession& session = backend_[sessionKey];
    switch (DecidePasscodeStep(session.state, true)) {
      case PasscodeStep::AlreadyPassed:
        return Redirect(client, session.url, false);
      case PasscodeStep::NotAwaited:
      case PasscodeStep::NoProxy:
        return SendToIsaTmgLogon(client, sessionKey, r.url);
      case PasscodeStep::Check:
        break;
    }
    auto token = tokens_.find(session.token);
    const bool accepted = token != tokens_.end() && !token->second.used && token->second.wrong < 5 &&
                          token->second.passcode == r.passcode;
    if (!accepted) {
      if (token != tokens_.end()) ++token->second.wrong;
      return SendToIsaTmgLogon(client, sessionKey, r.url);
    }
    token->second.used = true;
    if (token->second.logon >= 0) logons_[token->second.logon].passed = true;
    session.state = kValid;
    if (!session.heldBackPage.empty()) return;  // ISA/TMG's own page, replayed
    Redirect(client, session.url, false);
  }

  void SendToIsaTmgLogon(Client& client, const std::string& sessionKey, const std::string& url) {
    std::string stored;
    if (!sessionKey.empty()) {
      backend_[sessionKey].state = kExpired;
      stored = backend_[sessionKey].password;
    }
    const IsaTmgLogonTarget target = DecideIsaTmgLogonTarget(stored, kHost, url);
    if (target.kind == IsaTmgLogonTarget::Kind::Nowhere) return;
    Redirect(client, target.url, true);
  }

  void Redirect(Client& client, const std::string& url, bool removeCookie) {
    client.lastLocation = url;
    // An attacker's client may keep a cookie it is told to drop.
    if (removeCookie && (client.honest || in_.Flag())) client.cookie.clear();
  }

  void Deliver(Client& client, const Answer& answer, int logonAtRequest, bool fromIsa) {
    if (fromIsa && (answer.site || answer.challenge)) {
      // The boundary: the site's bytes and its challenges reach only a logon
      // that has passed the second factor.
      Require(logonAtRequest >= 0 && logons_[logonAtRequest].passed);
    }
    if (answer.setCookie) client.cookie = *answer.setCookie;
    if (!answer.location.empty()) client.lastLocation = answer.location;
  }

  int LogonOf(const std::string& key) const {
    auto it = isaKeys_.find(key);
    return it == isaKeys_.end() ? -1 : it->second;
  }

  static int CheckOf(const std::string& name) {
    for (const User& user : kUsers) {
      if (name == user.name) return user.check;
    }
    return 1;
  }

  Answer Isa(Client& client, const Request& r, const std::optional<std::string>& canonical, bool credentialsEmptied,
             int logon, bool& siteRead) {
    Answer answer;
    if (r.method == "POST" && IsIsaTmgLogonPost(canonical)) {
      const User* user = nullptr;
      for (const User& u : kUsers) {
        if (!credentialsEmptied && r.user == u.name && r.password == u.password) user = &u;
      }
      if (!user) {
        answer.status = 302;
        answer.location = "/CookieAuth.dll?GetLogon?reason=2";
        return answer;
      }
      const std::string key = "K" + std::to_string(nextKey_++);
      Logon fresh;
      fresh.passed = user->check == 4;
      fresh.keptUrlLower = LowerAscii(r.curl);
      logons_.push_back(fresh);
      isaKeys_[key] = static_cast<int>(logons_.size() - 1);
      answer.setCookie = key;
      if (user->passwordChange) {
        answer.status = 200;
      } else {
        answer.status = 302;
        answer.location = std::string("https://") + kHost + r.curl;
      }
      return answer;
    }
    if (IsIsaTmgPage(canonical)) {
      if (LowerAscii(r.url).find("logoff") != std::string::npos && logon >= 0) {
        isaKeys_.erase(client.cookie);
        answer.setCookie = std::string();
        answer.status = 302;
        answer.location = "/CookieAuth.dll?GetLogon?reason=0";
      }
      return answer;  // its logon form
    }
    if (logon < 0) {
      answer.status = 302;
      answer.location = "/CookieAuth.dll?GetLogon?curl=" + r.url + "&reason=0";
      return answer;
    }
    if (failNext_) {
      failNext_ = false;
      answer.status = 500;
      return answer;
    }
    if (challengeNext_) {
      challengeNext_ = false;
      answer.status = 401;
      answer.challenge = true;
      return answer;
    }
    // The site: a logon that has not passed reads only the page it logged
    // on for, plainly, and once; a second read only while the first is still
    // in flight (two connections of one browser: the state the filter keeps
    // in the back end is not changed atomically across requests).
    Logon& reader = logons_[logon];
    if (!reader.passed) {
      Require(r.method == "GET" || r.method == "HEAD");
      Require(!r.hasBody);
      Require(LowerAscii(r.url) == reader.keptUrlLower);
      Require(reader.siteReads == 0 || reader.readsInFlight > 0);
      ++reader.siteReads;
      ++reader.readsInFlight;
      siteRead = true;
    }
    answer.site = true;
    if (rotateNext_) {
      rotateNext_ = false;
      const std::string key = "K" + std::to_string(nextKey_++);
      isaKeys_.erase(client.cookie);
      isaKeys_[key] = logon;
      answer.setCookie = key;
    }
    return answer;
  }

  Input& in_;
  std::map<std::string, BackendSession> backend_;
  std::map<std::string, Token> tokens_;
  std::string lastPasscode_;
  int nextToken_ = 0;
  std::map<std::string, int> isaKeys_;
  std::vector<Logon> logons_;
  int nextKey_ = 0;
  bool rotateNext_ = false;
  bool challengeNext_ = false;
  bool failNext_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  World world(in);
  Client user;
  Client attacker;
  attacker.honest = false;
  for (int step = 0; step < 64 && !in.Empty(); ++step) world.Step(in.Flag() ? attacker : user);
  return 0;
}
