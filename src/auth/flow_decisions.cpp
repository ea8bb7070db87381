#include "auth/flow_decisions.h"

#include "auth/flow_text.h"
#include "config/url_canonical.h"

namespace talverin::flow {
namespace {

// A decision that cannot be made before the session member is read.
template <class Decision>
Decision NeedOf(Member member) {
  Decision decision;
  decision.need = member;
  return decision;
}

template <class Decision, class Action, class Reason>
Decision DecisionOf(Action action, Reason reason) {
  Decision decision;
  decision.action = action;
  decision.reason = reason;
  return decision;
}

RequestDecision Need(Member member) { return NeedOf<RequestDecision>(member); }

RequestDecision Act(RequestAction action, RequestReason reason) { return DecisionOf<RequestDecision>(action, reason); }

bool PlainRead(const RequestView& request) {
  return (request.method == "GET" || request.method == "HEAD") && !request.hasBody;
}

// The filter's own site, tried in this order for any session: the passcode
// page, its pictures and style sheets, the status poll.
std::optional<RequestDecision> OwnSite(const RequestView& request) {
  if (request.htmlServerPresent && IsOwnUrl(request.canonicalUrl, kOwnLoginPage)) {
    return Act(RequestAction::ShowLoginPage, RequestReason::OwnPage);
  }
  for (const OwnResource& resource : kOwnResources) {
    if (ContainsOwnUrl(request.canonicalUrl, std::string(kOwnActionPrefix) + resource.key)) {
      RequestDecision decision = Act(RequestAction::ServeResource, RequestReason::OwnPage);
      decision.resource = &resource;
      return decision;
    }
  }
  if (IsOwnUrl(request.canonicalUrl, kOwnStatusPoll)) return Act(RequestAction::AnswerStatusPoll, RequestReason::OwnPage);
  return std::nullopt;
}

// Before the passcode the site may see one thing of the session: a plain
// read of the page the logon was for, whose answer the response stage
// replaces by the passcode page. Anything that could change the site (a POST
// that sends mail as the user) waits for the second factor; with no page kept
// there is nothing to read at all.
RequestDecision InInitial(const RequestView& request, const SessionSnapshot& session) {
  if (IsIsaTmgPage(request.canonicalUrl)) return Act(RequestAction::PassOn, RequestReason::IsaTmgPage);
  if (!session.Has(Member::KeptUrl)) return Need(Member::KeptUrl);
  const bool keptPage = !session.keptUrl->empty() && request.urlLower == *session.keptUrlLower;
  if (!keptPage || !PlainRead(request)) return Act(RequestAction::SendToIsaTmgLogon, RequestReason::BypassDetected);
  return Act(RequestAction::PassOn, RequestReason::KeptPageRead);
}

// While a passcode is awaited, every request that is not the filter's own
// site (served before) goes back to the passcode page.
RequestDecision InAwaitingPasscode(const RequestView& request) {
  switch (request.formAction) {
    case FormAction::Login:
      return Act(RequestAction::CheckPasscode, RequestReason::PasscodePosted);
    case FormAction::Cancel:
      return Act(RequestAction::SendToIsaTmgLogon, RequestReason::Cancelled);
    default:
      return Act(RequestAction::SendToOwnLogin, RequestReason::IncorrectUrl);
  }
}

RequestDecision InValid(const SessionSnapshot& session) {
  if (!session.Has(Member::BypassReportPending)) return Need(Member::BypassReportPending);
  RequestDecision decision = Act(RequestAction::PassOn, RequestReason::Valid);
  decision.validAtRequest = true;
  decision.reportBypass = *session.bypassReportPending;
  return decision;
}

// ISA/TMG still honours the cookie of a session whose second factor failed,
// was cancelled or ended: anything but its own pages would carry that kept
// cookie to the published site. Its logon page starts the session over, and
// the page kept for the failed logon is forgotten: only a new password post
// keeps one again, so coming back does not reopen the one read that state
// Initial allows without the password being entered again.
RequestDecision InExpired(const RequestView& request) {
  RequestDecision decision = IsIsaTmgPage(request.canonicalUrl)
                                 ? Act(RequestAction::PassOn, RequestReason::IsaTmgPage)
                                 : Act(RequestAction::SendToIsaTmgLogon, RequestReason::ExpiredWrongUrl);
  if (IsIsaTmgGetLogon(request.canonicalUrl)) {
    decision.backToInitial = true;
    decision.newState = SessionState::Initial;
    decision.forgetKeptUrl = true;
  }
  return decision;
}

}  // namespace

bool SessionSnapshot::Has(Member member) const {
  switch (member) {
    case Member::None:
      return true;
    case Member::State:
      return state.has_value();
    case Member::KeptUrl:
      return keptUrl.has_value() && keptUrlLower.has_value();
    case Member::BypassReportPending:
      return bypassReportPending.has_value();
  }
  return false;
}

RequestDecision DecideRequest(const RequestView& request, const SessionSnapshot& session) {
  if (session.present && !session.Has(Member::State)) return Need(Member::State);
  // A user whose second factor has passed may send Authorization headers
  // freely; before that they would be ISA/TMG falling back from its form.
  const bool passed = session.IsIn(SessionState::Valid);
  if (!passed && request.authorizationPresent && request.fallbackForbidden) {
    return Act(RequestAction::Finish, RequestReason::FallbackRefused);
  }
  if (!session.present) {
    return request.keyPresent ? Act(RequestAction::SendToIsaTmgLogon, RequestReason::StaleKey)
                              : Act(RequestAction::PassOn, RequestReason::Anonymous);
  }
  if (std::optional<RequestDecision> own = OwnSite(request)) return *own;
  switch (*session.state) {
    case static_cast<int>(SessionState::Initial):
      return InInitial(request, session);
    case static_cast<int>(SessionState::AwaitingPasscode):
      return InAwaitingPasscode(request);
    case static_cast<int>(SessionState::Valid):
      return InValid(session);
    case static_cast<int>(SessionState::Expired):
      return InExpired(request);
    default:
      return Act(RequestAction::Finish, RequestReason::InvalidState);
  }
}

PasscodeStep DecidePasscodeStep(int stateUnderLock, bool proxyPresent) {
  if (stateUnderLock == static_cast<int>(SessionState::Valid)) return PasscodeStep::AlreadyPassed;
  if (stateUnderLock != static_cast<int>(SessionState::AwaitingPasscode)) return PasscodeStep::NotAwaited;
  if (!proxyPresent) return PasscodeStep::NoProxy;
  return PasscodeStep::Check;
}

IsaTmgLogonTarget DecideIsaTmgLogonTarget(const std::string& storedReferer, const std::string& requestHost,
                                          const std::string& requestUrl) {
  IsaTmgLogonTarget target;
  std::string stored = storedReferer;
  // Only a way back on this site is followed: a stored Referer must not
  // become an open redirect.
  if (!stored.empty() && !IsSameSiteUrl(stored, requestHost)) {
    target.storedNotOnSite = true;
    stored.clear();
  }
  const std::size_t at = LowerAscii(stored).find("cookieauth.dll");
  if (at != std::string::npos && at > 0) {
    target.kind = IsaTmgLogonTarget::Kind::StoredUrl;
    target.url = ReplaceAll(stored, "reason=0", "reason=4");
  } else if (stored.empty() && !requestUrl.empty()) {
    target.kind = IsaTmgLogonTarget::Kind::RequestUrl;
    target.url = requestUrl;
  }
  return target;
}

bool ReadsWholeAnswer(const std::optional<std::string>& canonicalUrl, const SessionSnapshot& session) {
  const bool beyondInitial = session.present && session.state && *session.state != static_cast<int>(SessionState::Initial);
  return !beyondInitial && IsIsaTmgLogonPost(canonicalUrl);
}

bool RefusesFallbackAnswer(int statusCode, bool fallbackForbidden, const SessionSnapshot& session) {
  return !session.IsIn(SessionState::Valid) && statusCode == 401 && fallbackForbidden;
}

Binding DecideBinding(const std::string& requestKey, const std::string& newKey, bool freshLogon) {
  if (newKey.empty() && !requestKey.empty()) return Binding::ExpireOld;
  // A key ISA/TMG hands out with its own pages ends a password logon: it
  // starts afresh and must not inherit a second factor the request's old
  // cookie may have passed.
  if (!newKey.empty() && newKey != requestKey && !freshLogon) return Binding::Renew;
  return Binding::CreateOrReset;
}

OutcomeDecision DecideOutcome(int statusCode, const std::string& locationLower, bool logonPost, bool sessionPresent,
                              const std::string& referer, bool refererOnSite) {
  OutcomeDecision decision;
  decision.passwordChange = statusCode == 200 && logonPost;
  bool other = statusCode == 500;
  if (!other && locationLower.find("cookieauth.dll") != std::string::npos && !decision.passwordChange) {
    if (statusCode == 302) {
      decision.outcome = Outcome::Rejected;
      return decision;
    }
    other = true;
  }
  if (!other && sessionPresent) {
    decision.outcome = Outcome::Accepted;
    return decision;
  }
  // Back to the page the browser came from, but only when that page is on
  // this site: a Referer is the browser's word and may name any site.
  if (statusCode == 500 && !referer.empty() && refererOnSite) {
    decision.outcome = Outcome::BackToReferer;
    decision.target = ReplaceAll(referer, "reason=0", "reason=4");
    return decision;
  }
  decision.outcome = Outcome::Refused;
  return decision;
}

bool MayPassAnswerOn(const GateView& gate) {
  // The answer to a request the session made after its second factor is the
  // session's, even when it ends the session (a logoff).
  if (gate.validAtRequest || gate.validNow) return true;
  if (!gate.authCookiePresent) return true;
  if (IsIsaTmgPage(gate.canonicalUrl)) return true;
  return gate.statusCode >= 300 && gate.statusCode < 400 && IsIsaTmgPage(CanonicalLocation(gate.location));
}

namespace {

AnswerDecision AnswerNeed(Member member) { return NeedOf<AnswerDecision>(member); }

AnswerDecision Answer(AnswerAction action, AnswerReason reason) { return DecisionOf<AnswerDecision>(action, reason); }

AnswerDecision Gate(const AnswerView& answer, const SessionSnapshot& session, AnswerDecision decision) {
  GateView gate;
  gate.validAtRequest = answer.validAtRequest;
  gate.validNow = session.IsIn(SessionState::Valid);
  gate.authCookiePresent = answer.authCookiePresent;
  gate.canonicalUrl = answer.canonicalUrl;
  gate.statusCode = answer.statusCode;
  gate.location = answer.location;
  const bool passes = MayPassAnswerOn(gate);
  decision.action = passes ? AnswerAction::PassOn : AnswerAction::Drop;
  if (decision.reason == AnswerReason::None || !passes) {
    decision.reason = passes ? AnswerReason::Passed : AnswerReason::NotPassed;
  }
  return decision;
}

}  // namespace

AnswerDecision DecideAnswer(const AnswerView& answer, const SessionSnapshot& session, bool bound) {
  if (session.present && !session.Has(Member::State)) return AnswerNeed(Member::State);
  if (!bound) {
    if (RefusesFallbackAnswer(answer.statusCode, answer.fallbackForbidden, session)) {
      return Answer(AnswerAction::Drop, AnswerReason::FallbackRefused);
    }
    if (answer.cookieAmbiguous) return Answer(AnswerAction::Drop, AnswerReason::CookieAmbiguous);
    if (answer.setsCookie) {
      AnswerDecision decision = Answer(AnswerAction::Bind, AnswerReason::None);
      decision.binding = DecideBinding(answer.requestKey, answer.newKey, IsIsaTmgPage(answer.canonicalUrl));
      return decision;
    }
    if (session.IsIn(SessionState::Expired)) return Answer(AnswerAction::Drop, AnswerReason::ExpiredNoRenewal);
  }

  // A 200 to the logon post is a password change page only when ISA/TMG logs
  // the user on with it; its logon form shown again is no such answer.
  const bool logonPost = IsIsaTmgLogonPost(answer.canonicalUrl);
  const bool passwordChangePage =
      logonPost && answer.statusCode == 200 && answer.setsCookie && !answer.newKey.empty();
  if (session.IsIn(SessionState::Initial)) {
    if (!passwordChangePage && !session.Has(Member::KeptUrl)) return AnswerNeed(Member::KeptUrl);
    const bool keptPage = !passwordChangePage && answer.urlLower == *session.keptUrlLower;
    if (passwordChangePage || keptPage) {
      AnswerDecision decision;
      decision.outcomeRan = true;
      decision.outcome = DecideOutcome(answer.statusCode, answer.locationLower, logonPost, session.present,
                                       answer.referer, answer.refererOnSite);
      switch (decision.outcome.outcome) {
        case Outcome::Rejected:
          decision.reason = AnswerReason::PasswordRejected;
          return Gate(answer, session, decision);
        case Outcome::Accepted:
          decision.action = AnswerAction::AskPasscode;
          decision.reason = AnswerReason::PasswordAccepted;
          return decision;
        case Outcome::BackToReferer:
          decision.action = AnswerAction::BackToReferer;
          decision.reason = AnswerReason::OddAnswer;
          return decision;
        case Outcome::Refused:
          decision.action = AnswerAction::Drop;
          decision.reason = AnswerReason::WrongState;
          return decision;
      }
    }
  }
  return Gate(answer, session, AnswerDecision());
}

// --- Request bytes ---------------------------------------------------------

RequestBlockView ReadRequestBlock(std::string_view block) {
  RequestBlockView view;
  const HttpHeaderBlock request = HttpHeaderBlock::Read(block);
  view.strict = request.IsStrict();
  view.method = std::string(request.FirstToken());
  view.url = std::string(request.SecondToken());
  view.length = request.GetBodyLength();
  std::string contentType;
  int typeLines = 0;
  request.VisitLines([&](std::string_view line) {
    std::string_view value;
    if (HttpHeaderBlock::MatchField(line, "Cookie", value)) {
      view.cookieLines.emplace_back(value);
    } else if (HttpHeaderBlock::MatchField(line, "Content-Type", value)) {
      if (++typeLines == 1) contentType = LowerAscii(std::string(value));
    }
    return false;
  });
  const std::string_view media = std::string_view(contentType).substr(0, contentType.find(';'));
  const std::size_t end = media.find_last_not_of(" \t");
  // Two Content-Type lines: ISA/TMG may read the form by the other one, and
  // find another user name in it than the one the back end was asked about.
  view.formUrlEncoded =
      typeLines <= 1 && (media.empty() || media.substr(0, end + 1) == "application/x-www-form-urlencoded");
  return view;
}

RequestBlockDecision DecideRequestBlock(const RequestBlockView& request, std::size_t blockSize, bool excluded) {
  using Action = RequestBlockAction;
  using Reason = RequestBlockReason;
  if (!request.strict) return DecisionOf<RequestBlockDecision>(Action::Finish, Reason::NotStrict);
  if (excluded) return DecisionOf<RequestBlockDecision>(Action::PassOn, Reason::Excluded);
  if (!http_text::EqualsIgnoringCase(request.method, "POST")) {
    return DecisionOf<RequestBlockDecision>(Action::PassOn, Reason::NoLoginForm);
  }
  const std::optional<std::string> canonical = CanonicalizeUrl(request.url);
  const bool logonPost = IsIsaTmgLogonPost(canonical);
  if (!logonPost && !ContainsOwnUrl(canonical, kOwnLoginAction)) {
    return DecisionOf<RequestBlockDecision>(Action::PassOn, Reason::NoLoginForm);
  }
  if (request.length.kind == HttpHeaderBlock::BodyLength::Kind::Invalid) {
    return DecisionOf<RequestBlockDecision>(Action::Finish, Reason::UnclearFraming);
  }
  if (request.length.length > kMaxLoginFormBody) {
    return DecisionOf<RequestBlockDecision>(Action::Finish, Reason::FormTooLong);
  }
  if (logonPost && !request.formUrlEncoded) {
    return DecisionOf<RequestBlockDecision>(Action::Finish, Reason::NotUrlEncoded);
  }
  RequestBlockDecision decision = DecisionOf<RequestBlockDecision>(Action::ReadBody, Reason::LoginForm);
  decision.bytesAwaited = blockSize + static_cast<std::size_t>(request.length.length);
  return decision;
}

}  // namespace talverin::flow
