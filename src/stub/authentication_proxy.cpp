#include "stub/authentication_proxy.h"

namespace Stub {
namespace {

constexpr Member kRequestPasscode = MethodCall(MemberSlot::ProxyRequestPasscode, L"RequestPasscode");
constexpr Member kAuthenticate = StrictMethodCall(MemberSlot::ProxyAuthenticate, L"Authenticate");
constexpr Member kCheckAuthenticationAllowed =
    MethodCall(MemberSlot::ProxyCheckAuthenticationAllowed, L"CheckAuthenticationAllowed");
constexpr Member kReportPasswordAuthenticationStatus =
    MethodCallWithoutResult(MemberSlot::ProxyReportPasswordAuthenticationStatus, L"ReportPasswordAuthenticationStatus");
constexpr Member kGetStatus = MethodCall(MemberSlot::ProxyGetStatus, L"GetStatus");

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
  return Call(kGetStatus, ProxyResult<PasscodeStatusEx>{true, Dispids()}, token);
}

}  // namespace Stub
