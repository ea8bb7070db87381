#include "stub/backend_connection.h"

#include "diag/event_log.h"
#include "diag/trace_log.h"

namespace Stub {
namespace {

void LogConnectFailure(HRESULT hr) {
  TLOGF(0, "Failed connect to the service, error: 0x%X.", static_cast<unsigned>(hr));
  talverin::EventLog::Instance().BackendUnreachable(hr);
}

}  // namespace

bool BackendConnection::Connect() {
  talverin::CsLock guard(connectionLock_);
  if (connected_) return true;
  const HRESULT hr = connectionMaster_.CreateInstance();
  if (hr != S_OK) {
    LogConnectFailure(hr);
    return false;
  }
  htmlServer_ = connectionMaster_.GetServer();
  sessionStore_ = connectionMaster_.GetStore();
  authenticationProxy_ = connectionMaster_.GetProxy();
  TLOG(0, "Connection to service has been established successfully.");
  talverin::EventLog::Instance().BackendReachable();
  connected_ = true;
  return true;
}

bool BackendConnection::Reset(bool force, HRESULT code) {
  if (IsBackendExceptionCode(code)) {
    // A root object another thread has already let go of cannot answer: that
    // is a dead connection, not a reason to fail the reset.
    bool alive = false;
    (void)talverin::CaptureError([&] { alive = connectionMaster_.IsAlive(); });
    if (alive) {
      TLOG(0, "Backend exception detected. Reset skipped");
      return true;
    }
    force = true;
  }

  talverin::CsLock guard(connectionLock_);
  for (AbstractStub* child : {static_cast<AbstractStub*>(htmlServer_.get()),
                              static_cast<AbstractStub*>(sessionStore_.get()),
                              static_cast<AbstractStub*>(authenticationProxy_.get())}) {
    if (child != nullptr) child->Abandon();
  }

  if (force) {
    if (talverin::CaptureError([&] { connectionMaster_.Close(); })) {
      TLOG(0, "Forcibly closing COM connection. Leaving objects to hang.");
      connectionMaster_.Abandon();
    } else {
      TLOG(0, "Closing COM connection.");
    }
  } else {
    TLOG(0, "Closing COM connection.");
    connectionMaster_.Close();
  }
  connected_ = false;

  // Reset runs on the dispatcher's failure path, where an exception would be
  // taken for a machine fault; the next notification tries to connect again.
  bool connected = false;
  if (const std::optional<talverin::Error> failure = talverin::CaptureError([&] { connected = Connect(); })) {
    if (failure->fromHResult) {
      LogConnectFailure(failure->hr);
    } else {
      TLOGF(0, "Exception during processing. Error message: \"%s\".", failure->what());
    }
  }
  return connected;
}

std::shared_ptr<SessionStore> BackendConnection::GetSessionStore() {
  talverin::CsLock guard(connectionLock_);
  return sessionStore_;
}

std::shared_ptr<HtmlServer> BackendConnection::GetHtmlServer() {
  talverin::CsLock guard(connectionLock_);
  return htmlServer_;
}

std::shared_ptr<AuthenticationProxy> BackendConnection::GetAuthenticationProxy() {
  talverin::CsLock guard(connectionLock_);
  return authenticationProxy_;
}

bool BackendConnection::IsConnected() {
  talverin::CsLock guard(connectionLock_);
  return connected_;
}

}  // namespace Stub
