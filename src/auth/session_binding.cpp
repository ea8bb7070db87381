// The filter's session follows ISA/TMG's cookie: bound to the key ISA/TMG
// sets, carried over on a rotation, started afresh on a new logon, expired
// when the cookie is cleared.
#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "diag/trace_log.h"
#include "stub/session_store.h"

std::shared_ptr<Stub::Session> CAnonymousLogonFilterImplementation::FindSession(const std::string& key) {
  if (key.empty()) return nullptr;
  std::shared_ptr<Stub::Session> session;
  if (const std::shared_ptr<Stub::SessionStore> store = SessionStore()) session = store->GetSession(key);
  if (session) {
    TLOGF(1, "Session(%s) has been found", key.c_str());
  } else {
    TLOGF(1, "Session(%s) has NOT been found", key.c_str());
  }
  return session;
}

std::shared_ptr<Stub::Session> CAnonymousLogonFilterImplementation::CreateSessionForKey(const std::string& key) {
  if (key.empty()) return nullptr;
  std::shared_ptr<Stub::Session> session = FindSession(key);
  if (!session) {
    if (const std::shared_ptr<Stub::SessionStore> store = SessionStore()) {
      session = store->CreateSession(key);
      TLOGF(1, "Session(%s) has been created", key.c_str());
    }
  }
  if (session) {
    session->PutState(static_cast<int>(SessionState::Initial));
    TLOGF(1, "Session(%s) status has been changed to 'Initial'", key.c_str());
  }
  return session;
}

void CAnonymousLogonFilterImplementation::ExpireSessionForKey(const std::string& key) {
  if (key.empty()) return;
  if (const std::shared_ptr<Stub::Session> session = FindSession(key)) {
    session->PutState(static_cast<int>(SessionState::Expired));
    TLOGF(1, "Session(%s) status has been changed to 'Expired'", key.c_str());
  }
}

void CAnonymousLogonFilterImplementation::UpdateSessionBoundToIsaTmg(ConnectionContext* context,
                                                                     const std::string& newKey,
                                                                     talverin::flow::Binding binding) {
  if (!context) {
    TLOG(1, "ERROR UpdateSessionBoundToIsaTmg - context is null");
    return;
  }
  if (binding == talverin::flow::Binding::ExpireOld) {
    TLOG(1, "Cookie value has been set to \"\" by ISA/TMG.");
    ReportPasswordAuthenticationStatus(*context, false);
    ExpireSessionForKey(context->key);
    context->session = nullptr;
  } else if (binding == talverin::flow::Binding::Renew) {
    RenewExistingSession(*context, newKey);
  } else {
    TLOG(1, "New session has been created");
    context->BindSession(CreateSessionForKey(newKey), static_cast<int>(SessionState::Initial));
    // The user check's answer of the logon post goes with the session, where
    // the password status report looks for it.
    if (context->session && context->checkAuthenticationAllowedResult != 0) {
      context->session->PutCheckAuthenticationAllowedResult(context->checkAuthenticationAllowedResult);
    }
  }

  if (context->HasValidSession()) {
    context->session->PutUsername(context->username.str());
    if (context->bypassAllowed) {
      TLOG(1, "Request has been bypassed (session set to valid)");
      context->SetBypassReportPending(true);
      context->SetSessionState(static_cast<int>(SessionState::Valid));
    }
  }
}

void CAnonymousLogonFilterImplementation::RenewExistingSession(ConnectionContext& context, const std::string& newKey) {
  TLOG(1, "RenewExistingSession: About to enter critical lock...");
  talverin::CsLock guard(renewalLock_);
  TLOG(1, "Locked code started");
  TLOG(1, "Checking if the new session has already been created....");

  if (std::shared_ptr<Stub::Session> existing = FindSession(newKey)) {
    TLOGF(1, "Session(%s) has already been created. Updating connection context and leaving the locked code now",
          newKey.c_str());
    context.BindSession(std::move(existing));
    TLOG(1, "Update CheckAuthenticationAllowedResult.");
    context.session->PutCheckAuthenticationAllowedResult(context.checkAuthenticationAllowedResult);
    TLOG(1, "RenewExistingSession: Leaving the locked code now");
    return;
  }

  TLOGF(1, "RenewExistingSession: Session(%s) has NOT already been created. Creating and moving the state now...",
        newKey.c_str());
  const std::shared_ptr<Stub::Session> old = context.key.empty() ? nullptr : context.session;
  const int oldState = old ? context.SessionState() : static_cast<int>(SessionState::Initial);
  const std::string oldUrl = old ? context.KeptUrl() : std::string();
  TLOGF(1, "Cookie value has been changed by ISA/TMG to \"%s\"\r\n. Old session state: %d", newKey.c_str(), oldState);
  context.BindSession(CreateSessionForKey(newKey), static_cast<int>(SessionState::Initial));
  if (!context.session) return;
  // What the second factor learned travels with the state: the page to go
  // back to, the passcode's token and the way back to the logon page.
  if (old) {
    context.SetKeptUrl(oldUrl);
    context.session->PutToken(old->GetToken());
    context.session->PutPassword(old->GetPassword());
  }
  context.SetSessionState(oldState);
  TLOGF(1, "Session(%s) state has been changed to: %d", newKey.c_str(), oldState);
  context.session->PutCheckAuthenticationAllowedResult(context.checkAuthenticationAllowedResult);
  TLOG(1, "Leaving the locked code now");
}
