// The filter's own small web site under "/talverinauth.dll": the passcode
// login page, its pictures and style sheets, and the status it polls.
#include <cstdio>
#include <vector>

#include "auth/anonymous_logon_filter_implementation.h"
#include "auth/connection_context.h"
#include "auth/flow_text.h"
#include "diag/trace_log.h"
#include "http/responses.h"
#include "stub/authentication_proxy.h"
#include "stub/errors.h"
#include "stub/html_server.h"
#include "stub/passcode_status.h"
#include "stub/session_store.h"

namespace {

const char kActionPrefix[] = "/talverinauth.dll?action=";

struct StaticResource {
  const char* key;
  const char* name;
  bool picture;
};

const StaticResource kStaticResources[] = {
    {"getpic?login_img.jpg", "login_img.jpg", true},
    {"getpic?login_bgr_top.gif", "login_bgr_top.gif", true},
    {"getpic?login_bgr_body.gif", "login_bgr_body.gif", true},
    {"getpic?dialog_box_fade.gif", "dialog_box_fade.gif", true},
    {"getcss?common.css", "common.css", false},
    {"getcss?talverin.css", "talverin.css", false},
};

std::optional<std::string> CanonicalOf(const ConnectionContext& context) {
  if (!context.urlCanonicalValid) return std::nullopt;
  return context.urlCanonical;
}

}  // namespace

bool CAnonymousLogonFilterImplementation::ShowLoginPage(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context) {
  const std::shared_ptr<Stub::HtmlServer> server = HtmlServer();
  if (!server || !talverin::IsOwnUrl(CanonicalOf(context), "/talverinauth.dll?logon")) return false;
  const std::string page = server->RenderHtmlPage("TalvLogon.html", context.KeptUrl());
  SendHtmlPageResponse(pfc, page, std::string(), std::string());
  TLOG(1, "Showing TALVERIN login page. Sending response.");
  return true;
}

bool CAnonymousLogonFilterImplementation::ServeStaticResource(HTTP_FILTER_CONTEXT* pfc,
                                                              const ConnectionContext& context) {
  for (const StaticResource& resource : kStaticResources) {
    if (!talverin::ContainsOwnUrl(CanonicalOf(context), std::string(kActionPrefix) + resource.key)) continue;
    if (resource.picture) {
      TLOG(1, "FBA picture request. Sending picture response.");
      return SendPicture(pfc, resource.name) == SF_STATUS_REQ_FINISHED;
    }
    TLOG(1, "FBA css request. Sending text response.");
    return SendStyleSheet(pfc, resource.name) == SF_STATUS_REQ_FINISHED;
  }
  return false;
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

bool CAnonymousLogonFilterImplementation::AnswerStatusPoll(HTTP_FILTER_CONTEXT* pfc, ConnectionContext& context) {
  if (!talverin::IsOwnUrl(CanonicalOf(context), std::string(kActionPrefix) + "status")) return false;
  std::string message;
  try {
    const std::string token = context.session->GetToken();
    const std::shared_ptr<Stub::AuthenticationProxy> proxy = AuthenticationProxy();
    if (proxy) {
      if (const std::shared_ptr<Stub::PasscodeStatusEx> status = proxy->GetStatus(token)) {
        message = status->GetStatusText();
      }
    }
  } catch (const Stub::Exception&) {
    message.clear();
    TLOGF(1, "Stub error occurred while requesting the status. Error: 0x%X. Ignored.",
          static_cast<unsigned>(E_FAIL));
  } catch (const HRXEx& e) {
    message.clear();
    TLOGF(1, "COM error occurred while requesting the status. Error: 0x%X. Ignored.", static_cast<unsigned>(e.hr));
  }
  const std::string frame = "<html><body><B>SMS status: " + message + "</B></body></html>";
  SendHtmlPageResponse(pfc, frame, std::string(), std::string());
  TLOGF(1, "AJAX event detected, message sent: \"%s\".", message.c_str());
  return true;
}
