// The filter's own small web site under "/talverinauth.dll": the passcode
// login page, its pictures and style sheets, and the status it polls.
#include <cstdio>
#include <vector>

#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "base/error.h"
#include "diag/trace_log.h"
#include "http/responses.h"
#include "stub/authentication_proxy.h"
#include "stub/html_server.h"
#include "stub/passcode_status.h"
#include "stub/session_store.h"

void CAnonymousLogonFilterImplementation::ShowLoginPage(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context) {
  const std::shared_ptr<Stub::HtmlServer> server = HtmlServer();
  if (!server) return;  // gone with a reset since the decision: the request ends without a page
  const std::string page = server->RenderHtmlPage("TalvLogon.html", context.KeptUrl());
  SendHtmlPageResponse(pfc, page, std::string(), std::string());
  TLOG(1, "Showing TALVERIN login page. Sending response.");
}

void CAnonymousLogonFilterImplementation::ServeOwnResource(HTTP_FILTER_CONTEXT* pfc,
                                                           const talverin::flow::OwnResource& resource) {
  if (resource.picture) {
    TLOG(1, "FBA picture request. Sending picture response.");
    SendPicture(pfc, resource.name);
  } else {
    TLOG(1, "FBA css request. Sending text response.");
    SendStyleSheet(pfc, resource.name);
  }
}

DWORD CAnonymousLogonFilterImplementation::SendStyleSheet(HTTP_FILTER_CONTEXT* pfc, const std::string& name) {
  if (const std::shared_ptr<Stub::HtmlServer> server = HtmlServer()) {
    SendStaticTextResponse(pfc, server->RenderHtmlPage(name, std::string()));
  }
  return SF_STATUS_REQ_FINISHED;
}

DWORD CAnonymousLogonFilterImplementation::SendPicture(HTTP_FILTER_CONTEXT* pfc, const std::string& name) {
  if (const std::shared_ptr<Stub::HtmlServer> server = HtmlServer()) {
    std::vector<unsigned char> bytes;
    server->RenderPicture(name, bytes);
    SendPictureResponse(pfc, bytes.data(), bytes.size());
  }
  return SF_STATUS_REQ_FINISHED;
}

void CAnonymousLogonFilterImplementation::AnswerStatusPoll(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context) {
  std::string message;
  const std::optional<talverin::Error> failure = talverin::CaptureError([&] {
    const std::string token = context.session->GetToken();
    const std::shared_ptr<Stub::AuthenticationProxy> proxy = AuthenticationProxy();
    if (proxy) {
      if (const std::shared_ptr<Stub::PasscodeStatusEx> status = proxy->GetStatus(token)) {
        message = status->GetStatusText();
      }
    }
  });
  if (failure) {
    // The poll is answered all the same, with no text: the page polls again.
    message.clear();
    if (failure->fromHResult) {
      TLOGF(1, "COM error occurred while requesting the status. Error: 0x%X. Ignored.",
            static_cast<unsigned>(failure->hr));
    } else {
      TLOGF(1, "Stub error occurred while requesting the status. Error: 0x%X. Ignored.",
            static_cast<unsigned>(failure->hr));
    }
  }
  const std::string frame = "<html><body><B>SMS status: " + message + "</B></body></html>";
  SendHtmlPageResponse(pfc, frame, std::string(), std::string());
  TLOGF(1, "AJAX event detected, message sent: \"%s\".", message.c_str());
}
