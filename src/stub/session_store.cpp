#include "stub/session_store.h"

namespace Stub {
namespace {

constexpr Member kCreateSession = MethodCall(MemberSlot::StoreCreateSession, L"CreateSession");
constexpr Member kGetSession = MethodCall(MemberSlot::StoreGetSession, L"GetSession");

constexpr Member kGetState = PropertyGet(MemberSlot::SessionState, L"State");
constexpr Member kPutState = PropertyPut(MemberSlot::SessionState, L"State");
constexpr Member kGetUrl = PropertyGet(MemberSlot::SessionUrl, L"Url");
constexpr Member kPutUrl = PropertyPut(MemberSlot::SessionUrl, L"Url");
constexpr Member kGetFbaCookieDomain = PropertyGet(MemberSlot::SessionFbaCookieDomain, L"FbaCookieDomain");
constexpr Member kPutFbaCookieDomain = PropertyPut(MemberSlot::SessionFbaCookieDomain, L"FbaCookieDomain");
constexpr Member kGetUsername = PropertyGet(MemberSlot::SessionUsername, L"Username");
constexpr Member kPutUsername = PropertyPut(MemberSlot::SessionUsername, L"Username");
constexpr Member kGetPassword = PropertyGet(MemberSlot::SessionPassword, L"Password");
constexpr Member kPutPassword = PropertyPut(MemberSlot::SessionPassword, L"Password");
constexpr Member kGetToken = PropertyGet(MemberSlot::SessionToken, L"Token");
constexpr Member kPutToken = PropertyPut(MemberSlot::SessionToken, L"Token");
constexpr Member kGetBypass = PropertyGet(MemberSlot::SessionBypass, L"BypassTalverinAuthentication");
constexpr Member kPutBypass = PropertyPut(MemberSlot::SessionBypass, L"BypassTalverinAuthentication");
constexpr Member kGetAllowedResult = PropertyGet(MemberSlot::SessionAllowedResult, L"CheckAuthenticationAllowedResult");
constexpr Member kPutAllowedResult = PropertyPut(MemberSlot::SessionAllowedResult, L"CheckAuthenticationAllowedResult");

}  // namespace

std::shared_ptr<Session> SessionStore::CreateSession(const std::string& key) {
  return Call(kCreateSession, ProxyResult<Session>{false, Dispids()}, key);
}

std::shared_ptr<Session> SessionStore::GetSession(const std::string& key) {
  return Call(kGetSession, ProxyResult<Session>{true, Dispids()}, TextOrNull{key});
}

int Session::GetState() { return Call(kGetState, IntegerResult{OnEmpty::Raise}); }
void Session::PutState(int value) { Call(kPutState, NoResult(), value); }

std::string Session::GetUrl() { return Call(kGetUrl, TextResult{OnEmpty::ZeroValue}); }
void Session::PutUrl(const std::string& value) { Call(kPutUrl, NoResult(), value); }

std::string Session::GetFbaCookieDomain() { return Call(kGetFbaCookieDomain, TextResult{OnEmpty::ZeroValue}); }
void Session::PutFbaCookieDomain(const std::string& value) { Call(kPutFbaCookieDomain, NoResult(), value); }

std::string Session::GetUsername() { return Call(kGetUsername, TextResult{OnEmpty::Raise}); }
void Session::PutUsername(const std::string& value) { Call(kPutUsername, NoResult(), value); }

std::string Session::GetPassword() { return Call(kGetPassword, TextResult{OnEmpty::ZeroValue}); }
void Session::PutPassword(const std::string& value) { Call(kPutPassword, NoResult(), value); }

std::string Session::GetToken() { return Call(kGetToken, TextResult{OnEmpty::Raise}); }
void Session::PutToken(const std::string& value) { Call(kPutToken, NoResult(), value); }

bool Session::GetBypassTalverinAuthentication() { return Call(kGetBypass, TrueOnlyResult()); }
void Session::PutBypassTalverinAuthentication(bool value) { Call(kPutBypass, NoResult(), ShortBoolean{value}); }

int Session::GetCheckAuthenticationAllowedResult() {
  return Call(kGetAllowedResult, IntegerResult{OnEmpty::ZeroValue});
}
void Session::PutCheckAuthenticationAllowedResult(int value) { Call(kPutAllowedResult, NoResult(), value); }

}  // namespace Stub
