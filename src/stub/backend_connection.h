#pragma once
// The connection to the back-end service: the root object, the three shared
// proxies it hands out, and the connect and reset procedures. Made on demand
// before each notification; dropped and made again after a back-end failure.
#include <windows.h>

#include <memory>

#include "base/win.h"
#include "stub/authentication_proxy.h"
#include "stub/connection_master.h"
#include "stub/html_server.h"
#include "stub/session_store.h"

namespace Stub {

class BackendConnection {
 public:
  BackendConnection() = default;
  BackendConnection(const BackendConnection&) = delete;
  BackendConnection& operator=(const BackendConnection&) = delete;
  // Members go in reverse order: the lock, then the authentication proxy, the
  // HTML server and the session store, last the root object.
  ~BackendConnection() = default;

  // Connects unless connected; true when a connection is up afterwards. A back
  // end that cannot be created is logged and answers false; a failure while
  // the proxies are obtained raises (Stub::Exception, HRXEx) and leaves the
  // connection down, to be tried again by the next call.
  bool Connect();

  // Drops the connection and connects again. For a back-end exception code
  // (COR_E_EXCEPTION, DISP_E_EXCEPTION) the root object is probed first and
  // the reset is skipped (true) while it still answers. Otherwise the current
  // proxies are abandoned, the root object closed (force: a failure to release
  // it is contained) and Connect called; its result is returned. Raises nothing:
  // a reconnect that fails is logged and answers false.
  bool Reset(bool force, HRESULT code);

  // Copies of the shared proxies, taken under the lock so that a concurrent
  // reset cannot pull one away mid-copy. Null until the first connect.
  std::shared_ptr<SessionStore> GetSessionStore();
  std::shared_ptr<HtmlServer> GetHtmlServer();
  std::shared_ptr<AuthenticationProxy> GetAuthenticationProxy();
  bool IsConnected();

 private:
  ConnectionMaster connectionMaster_;
  std::shared_ptr<SessionStore> sessionStore_;
  std::shared_ptr<HtmlServer> htmlServer_;
  std::shared_ptr<AuthenticationProxy> authenticationProxy_;
  bool connected_ = false;
  // Re-entrant: Reset calls Connect while it holds it. Taken before any proxy's
  // own lock.
  talverin::CriticalSection connectionLock_;
};

}  // namespace Stub
