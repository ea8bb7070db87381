// Tells the back end whether ISA/TMG accepted a password, for the users whose
// check asked for it.
#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "base/error.h"
#include "diag/trace_log.h"
#include "stub/authentication_proxy.h"
#include "stub/session_store.h"

void CAnonymousLogonFilterImplementation::ReportPasswordAuthenticationStatus(ConnectionContext& context, bool value) {
  TLOG(1, "Entered report password authentication status...");
  const std::optional<talverin::Error> failure = talverin::CaptureError([&] {
    const std::shared_ptr<Stub::Session> session = context.session ? context.session : FindSession(context.key);
    if (!session) return;
    // The request's own session answers from what the request knows of it.
    const bool own = session == context.session;
    const int state = own ? context.SessionState() : session->GetState();
    if (state != static_cast<int>(SessionState::Initial)) {
      const bool bypass = own ? context.BypassReportPending() : session->GetBypassTalverinAuthentication();
      if (!(state == static_cast<int>(SessionState::Valid) && bypass)) return;
    }
    const std::string user = context.username.empty() ? session->GetUsername() : context.username.str();
    TLOG(1, "About to get check authentication allowed result...");
    const int result = session->GetCheckAuthenticationAllowedResult();
    TLOGF(1, "CheckAuthenticationAllowedResult stored: %d", result);
    const std::shared_ptr<Stub::AuthenticationProxy> proxy = AuthenticationProxy();
    if (proxy && !user.empty() && (result == Stub::UserMayBypass || result == Stub::UserValid)) {
      TLOG(1, "About to report password authentication status...");
      proxy->ReportPasswordAuthenticationStatus(user, value);
      TLOGF(1,
            "Password authentication status has been reported. Username: %s, Value: %d, "
            "CheckAuthenticationAllowed: %d",
            user.c_str(), value ? 1 : 0, result);
    } else {
      TLOGF(1,
            "Password authentication status has NOT been reported. Username: %s, Value: %d, "
            "CheckAuthenticationAllowed: %d",
            user.c_str(), value ? 1 : 0, result);
    }
  });
  if (!failure) return;
  // A failed call is passed over, as if the report had been made; a proxy that
  // cannot be used is not.
  if (!failure->fromHResult) throw *failure;
  TLOGF(1, "COM error occurred while reporting the password authentication status. Error: 0x%X. Ignored.",
        static_cast<unsigned>(failure->hr));
}
