#include "stub/authentication_proxy.h"

namespace Stub {
namespace {

constexpr Member kRequestPasscode = MethodCall(L"RequestPasscode");
constexpr Member kAuthenticate = StrictMethodCall(L"Authenticate");
constexpr Member kCheckAuthenticationAllowed = MethodCall(L"CheckAuthenticationAllowed");
constexpr Member kReportPasswordAuthenticationStatus = MethodCallWithoutResult(L"ReportPasswordAuthenticationStatus");
constexpr Member kGetStatus = MethodCall(L"GetStatus");

}  // namespace

std::string AuthenticationProxy::RequestPasscode(const std::string& username) {
  return Call(kRequestPasscode, TextResult{OnEmpty::Raise}, username);
}

bool AuthenticationProxy::Authenticate(const std::string& token, const std::string& passcode) {
  return Call(kAuthenticate, NonZeroResult{OnEmpty::Raise}, token, passcode);
}

int AuthenticationProxy::CheckAuthenticationAllowed(const std::string& username, const std::string& clientAddress) {
  return Call(kCheckAuthenticationAllowed, IntegerResult{OnEmpty::Raise}, username, clientAddress);
}

void AuthenticationProxy::ReportPasswordAuthenticationStatus(const std::string& username, bool value) {
  Call(kReportPasswordAuthenticationStatus, NoResult(), username, value);
}

std::shared_ptr<PasscodeStatusEx> AuthenticationProxy::GetStatus(const std::string& token) {
  return Call(kGetStatus, ProxyResult<PasscodeStatusEx>{true}, token);
}

}  // namespace Stub
