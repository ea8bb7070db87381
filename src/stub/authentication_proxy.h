#pragma once
// The back end's authentication proxy: the user check, the passcode request and
// check, the password outcome report and the passcode status.
#include <memory>
#include <string>

#include "stub/abstract_stub.h"
#include "stub/passcode_status.h"

namespace Stub {

// Answers of CheckAuthenticationAllowed. Other values are passed on unchanged.
enum AuthenticationAllowedResult : int {
  UserNotFound = 1,
  UserLockedOut = 2,
  UserDenied = 3,
  UserMayBypass = 4,
  UserValid = 5,
};

class AuthenticationProxy final : public AbstractStub {
 public:
  AuthenticationProxy() = default;

  // Has a passcode sent to the user; answers the token of that request.
  std::string RequestPasscode(const std::string& username);
  // True when passcode is the right one for token. Any HRESULT but S_OK raises.
  bool Authenticate(const std::string& token, const std::string& passcode);
  // One of AuthenticationAllowedResult, or whatever else the back end says.
  int CheckAuthenticationAllowed(const std::string& username, const std::string& clientAddress);
  // The outcome of ISA/TMG's password check for the user. No result is asked for.
  void ReportPasswordAuthenticationStatus(const std::string& username, bool value);
  // The status record of a passcode request, or null when there is none.
  std::shared_ptr<PasscodeStatusEx> GetStatus(const std::string& token);
};

}  // namespace Stub
