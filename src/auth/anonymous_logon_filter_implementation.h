#pragma once
// The two-factor handler set: ISA/TMG checks the password, this
// implementation holds the session on its own login page until the passcode
// has been accepted. Each stage of the logon road lives in the file named
// after it; this header is their one declaration.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "auth/flow_decisions.h"
#include "base/win.h"
#include "config/filter_config.h"
#include "filter/filter_implementation.h"
#include "http/http_message.h"

namespace Stub {
class Session;
}

// What the key extraction found in a cookie text for the request's listener.
struct KeyExtraction {
  std::string key;
  bool cookieFound = false;  // the listener's cookie is named in the text
  bool ambiguous = false;    // named, but not as exactly one cookie: refuse
};

class CAnonymousLogonFilterImplementation : public IFilterImplementation {
 public:
  // Responses held back longer than this are not waited for.
  static constexpr std::size_t kMaxResponseHeaderBlock = 64 * 1024;
  static constexpr std::size_t kMaxLogonPostAnswer = 1024 * 1024;
  // Requests: the header block is read up to this (a login form's body up to
  // flow::kMaxLoginFormBody); a longer one is finished.
  static constexpr std::size_t kMaxRequestHeaderBlock = 64 * 1024;

  CAnonymousLogonFilterImplementation() = default;
  ~CAnonymousLogonFilterImplementation() override = default;

  DWORD OnPreprocHeaders(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) override;
  DWORD OnAuthentication(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) override;
  DWORD OnAccessDenied(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) override;
  DWORD OnAuthComplete(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) override;
  DWORD OnEndOfRequest(HTTP_FILTER_CONTEXT* pfc, ConnectionContext* context) override;
  DWORD OnReadRawData(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) override;
  DWORD OnSendRawData(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) override;
  DWORD OnSendResponse(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) override;

  // Session binding and renewal.
  std::shared_ptr<Stub::Session> FindSession(const std::string& key);
  std::shared_ptr<Stub::Session> CreateSessionForKey(const std::string& key);
  void ExpireSessionForKey(const std::string& key);
  void UpdateSessionBoundToIsaTmg(ConnectionContext* context, const std::string& newKey,
                                  talverin::flow::Binding binding);

  // Password authentication status report.
  void ReportPasswordAuthenticationStatus(ConnectionContext& context, bool value);

 private:
  // Key and user name extraction.
  // The key from a cookie text, and from further Cookie lines of the same
  // request when the host reports only one of them: every line counts.
  KeyExtraction ExtractKey(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context, const std::string& cookieText,
                           const std::vector<std::string>& moreCookieLines = {});
  static std::string ExtractUserName(const HttpMessage& request, const std::string& formUserName,
                                     const std::string& defaultDomain);

  // Request body stage and user check.
  // What the header block tells; READ_NEXT with requestBytesAwaited set
  // when the body of a login form post has to be read whole.
  DWORD ReadRequestHeaderBlock(HTTP_FILTER_CONTEXT* pfc, std::string_view block, ConnectionContext& context);
  static void RecordLoginForm(const HttpMessage& request, ConnectionContext& context);
  // False when the request must end (the credentials could not be emptied).
  bool RunUserCheck(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record, const HttpMessage& request,
                    ConnectionContext& context);
  bool CheckUser(ConnectionContext& context);
  static bool EmptyCredentials(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record, const HttpMessage& request);

  // Session state dispatch: carries out the request decision.
  DWORD ActOnRequest(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context,
                     const talverin::flow::RequestDecision& decision);
  DWORD TakePasscode(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context);

  // Session renewal under the renewal lock.
  void RenewExistingSession(ConnectionContext& context, const std::string& newKey);

  // Response stage.
  // inRecord: the answer is decided on in the host's record, not copied.
  DWORD AccumulateResponse(HTTP_FILTER_RAW_DATA* record, ConnectionContext& context, bool& inRecord);
  // The answer decision, reading the session members it asks for.
  talverin::flow::AnswerDecision DecideAnswer(ConnectionContext& context, const talverin::flow::AnswerView& view,
                                             bool bound);

  // Authentication outcome.
  // Carries out what an answer in state Initial says of the password.
  DWORD CheckIsaTmgAuthenticationStatus(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record,
                                        ConnectionContext& context, const talverin::flow::AnswerView& view,
                                        const talverin::flow::AnswerDecision& decision,
                                        const std::string& setCookie);
  DWORD AskForPasscode(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record, ConnectionContext& context,
                       const std::string& keptCookie);
  void SaveRedirectLocation(ConnectionContext& context, const HttpMessage& response);
  DWORD ReplaceResponse(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record, ConnectionContext& context,
                        const std::string& location, const std::string& cookieText);

 public:
  static void GetIsaTmgCookieNameAndDomain(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context, std::string& name,
                                           std::string& domain);

  // Redirects to the login pages.
  DWORD IFilterRedirect(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context, const std::string& url,
                        const std::string& cookieToRemove, const std::string& cookieDomain);
  DWORD RedirectToIsaTmgLoginPage(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context);
  DWORD RedirectToOwnLoginPage(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context);

  // The filter's own pages.
  void ShowLoginPage(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context);
  void ServeOwnResource(HTTP_FILTER_CONTEXT* pfc, const talverin::flow::OwnResource& resource);
  void AnswerStatusPoll(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context);
  DWORD SendStyleSheet(HTTP_FILTER_CONTEXT* pfc, const std::string& name);
  DWORD SendPicture(HTTP_FILTER_CONTEXT* pfc, const std::string& name);

 private:
  // Serializes the renewal of sessions bound to ISA/TMG's cookie.
  talverin::CriticalSection renewalLock_;
  // Serializes passcode checks: the back end's authentication proxy answers
  // one call at a time anyway, and a check must see the outcome of the one
  // before it.
  talverin::CriticalSection passcodeCheckLock_;
};
