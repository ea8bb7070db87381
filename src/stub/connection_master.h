#pragma once
// The back end's root object: created by ProgID, it hands out the session
// store, the HTML server and the authentication proxy.
#include <memory>

#include "stub/abstract_stub.h"
#include "stub/authentication_proxy.h"
#include "stub/html_server.h"
#include "stub/session_store.h"

namespace Stub {

extern const wchar_t kConnectionMasterProgId[];  // "TALVERIN.ISA.Service.Object.ConnectionMaster"

class ConnectionMaster final : public AbstractStub {
 public:
  ConnectionMaster() = default;

  // Creates the root object (any server context) and holds it in place of the
  // one held before. Answers the first failing HRESULT, else CoCreateInstance's.
  HRESULT CreateInstance();

  std::shared_ptr<HtmlServer> GetServer();
  std::shared_ptr<SessionStore> GetStore();
  std::shared_ptr<AuthenticationProxy> GetProxy();

  // The probe: true only when the root object answers Server, called as a
  // method, with S_OK and a non-zero value. Raises only when no object is held.
  bool IsAlive();

  // Releases the root object.
  void Close();
  // Abandon() (inherited) lets go of it without releasing it.
};

}  // namespace Stub
