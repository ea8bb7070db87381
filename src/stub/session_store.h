#pragma once
// The back end's session store and its sessions: one session per ISA/TMG
// logon, keyed by the key taken from ISA/TMG's authentication cookie.
#include <memory>
#include <string>

#include "stub/abstract_stub.h"

namespace Stub {

// One back-end session. Its members are read and written one call at a time;
// a read followed by a write is not atomic across threads.
class Session final : public AbstractStub {
 public:
  Session() = default;

  // A SessionState value; VT_EMPTY raises.
  int GetState();
  void PutState(int value);
  // The URL first asked for; VT_EMPTY reads as "".
  std::string GetUrl();
  void PutUrl(const std::string& value);
  // VT_EMPTY reads as "".
  std::string GetFbaCookieDomain();
  void PutFbaCookieDomain(const std::string& value);
  // VT_EMPTY raises.
  std::string GetUsername();
  void PutUsername(const std::string& value);
  // VT_EMPTY reads as "".
  std::string GetPassword();
  void PutPassword(const std::string& value);
  // The passcode token; VT_EMPTY raises.
  std::string GetToken();
  void PutToken(const std::string& value);
  // True only for VARIANT_TRUE; sent as VT_I2.
  bool GetBypassTalverinAuthentication();
  void PutBypassTalverinAuthentication(bool value);
  // VT_EMPTY reads as 0.
  int GetCheckAuthenticationAllowedResult();
  void PutCheckAuthenticationAllowedResult(int value);
};

class SessionStore final : public AbstractStub {
 public:
  SessionStore() = default;

  // A new session for key; a store that answers nothing raises.
  std::shared_ptr<Session> CreateSession(const std::string& key);
  // The session of key, or null when the back end has none. Not a failure.
  std::shared_ptr<Session> GetSession(const std::string& key);
};

}  // namespace Stub
