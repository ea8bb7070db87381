#include "auth/connection_context.h"

#include <algorithm>
#include <cstring>

#include "config/filter_settings.h"
#include "diag/trace_log.h"
#include "http/host_access.h"
#include "http/responses.h"
#include "stub/session_store.h"

ConnectionContext::ConnectionContext() : config(talverin::FilterSettings::Instance().Snapshot()) {}

ConnectionContext::~ConnectionContext() {
  // Secrets first, before anything is released.
  responseBuffer_.Wipe();
  passcode.Wipe();
  username.Wipe();
}

bool ConnectionContext::HasValidSession() const {
  const bool present = session != nullptr;
  TLOGF(1, "Valid session present: %s", present ? "Yes" : "No");
  return present;
}

void ConnectionContext::FollowSession() {
  if (known_ == session.get() && snapshot_.present == (session != nullptr)) return;
  known_ = session.get();
  snapshot_ = talverin::flow::SessionSnapshot();
  snapshot_.present = session != nullptr;
  urlProtectionKnown_ = false;
}

const talverin::flow::SessionSnapshot& ConnectionContext::Snapshot() {
  FollowSession();
  return snapshot_;
}

void ConnectionContext::Fill(talverin::flow::Member member) {
  switch (member) {
    case talverin::flow::Member::State:
      SessionState();
      break;
    case talverin::flow::Member::KeptUrl:
      KeptUrl();
      break;
    case talverin::flow::Member::BypassReportPending:
      BypassReportPending();
      break;
    case talverin::flow::Member::None:
      break;
  }
}

int ConnectionContext::SessionState() {
  FollowSession();
  if (!snapshot_.state) snapshot_.state = session->GetState();
  return *snapshot_.state;
}

void ConnectionContext::SetSessionState(int value) {
  FollowSession();
  session->PutState(value);
  snapshot_.state = value;
}

void ConnectionContext::ForgetSessionState() noexcept { snapshot_.state.reset(); }

void ConnectionContext::BindSession(std::shared_ptr<Stub::Session> bound, std::optional<int> state) {
  session = std::move(bound);
  FollowSession();
  if (session) snapshot_.state = state;
}

std::string ConnectionContext::KeptUrl() {
  FollowSession();
  if (!snapshot_.keptUrl) {
    snapshot_.keptUrl = session->GetUrl();
    snapshot_.keptUrlLower = talverin::LowerCaseMultibyte(*snapshot_.keptUrl);
  }
  return *snapshot_.keptUrl;
}

void ConnectionContext::SetKeptUrl(const std::string& value) {
  FollowSession();
  session->PutUrl(value);
  snapshot_.keptUrl = value;
  snapshot_.keptUrlLower = talverin::LowerCaseMultibyte(value);
  urlProtectionKnown_ = false;
}

bool ConnectionContext::BypassReportPending() {
  FollowSession();
  if (!snapshot_.bypassReportPending) snapshot_.bypassReportPending = session->GetBypassTalverinAuthentication();
  return *snapshot_.bypassReportPending;
}

void ConnectionContext::SetBypassReportPending(bool value) {
  FollowSession();
  session->PutBypassTalverinAuthentication(value);
  snapshot_.bypassReportPending = value;
}

bool ConnectionContext::UrlIsProtected() {
  FollowSession();
  if (!urlProtectionKnown_) {
    urlIsProtected = session && talverin::LowerCaseMultibyte(url) == talverin::LowerCaseMultibyte(KeptUrl());
    urlProtectionKnown_ = true;
  }
  return urlIsProtected;
}

void ConnectionContext::AppendResponseData(const HTTP_FILTER_RAW_DATA& record) {
  AppendResponseData(record.pvInData, std::min(record.cbInData, record.cbInBuffer));
}

void ConnectionContext::AppendResponseData(const void* data, std::size_t size) {
  if (data == nullptr || size == 0) return;
  // Most answers are passed on where the host presents them: the room is
  // taken only for one that is held.
  if (responseBuffer_.capacity() < kResponseReserve) responseBuffer_.reserve(kResponseReserve);
  responseBuffer_.append(static_cast<const char*>(data), size);
}

const std::string& ConnectionContext::ListenerGuid(HTTP_FILTER_CONTEXT* pfc) {
  if (!listenerGuid_) listenerGuid_ = GetServerVariableText(pfc, "LISTENER_GUID");
  return *listenerGuid_;
}

void ConnectionContext::ClearResponseData() noexcept { responseBuffer_.Wipe(); }

bool ConnectionContext::HandResponseDataToHost(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record) const {
  return HandBytesToHost(pfc, record, responseBuffer_.data(), responseBuffer_.size());
}

ConnectionContext& ConnectionContextRegistry::CreateOrGet(HTTP_FILTER_CONTEXT* pfc) {
  if (pfc->pFilterContext != nullptr) {
    TLOGF(1, "Return existing context: 0x%p.", pfc->pFilterContext);
    return *static_cast<ConnectionContext*>(pfc->pFilterContext);
  }
  auto context = std::make_unique<ConnectionContext>();
  pfc->pFilterContext = context.release();
  TLOGF(1, "Connection context has been created: 0x%p.", pfc->pFilterContext);
  return *static_cast<ConnectionContext*>(pfc->pFilterContext);
}

ConnectionContext* ConnectionContextRegistry::Get(HTTP_FILTER_CONTEXT* pfc, bool mustExist) {
  TLOGF(1, "Connection context has been returned: 0x%p.", pfc->pFilterContext);
  if (pfc->pFilterContext == nullptr && mustExist) {
    TLOG(1, "Connection context has NOT been created!");
    throw ConnectionContextNotFoundException();
  }
  return static_cast<ConnectionContext*>(pfc->pFilterContext);
}

void ConnectionContextRegistry::Destroy(HTTP_FILTER_CONTEXT* pfc) noexcept {
  if (pfc->pFilterContext == nullptr) {
    TLOG(1, "WARNING: Attempt to destroy non-existing context!");
    return;
  }
  TLOGF(1, "Connection context destroyed: 0x%p", pfc->pFilterContext);
  std::unique_ptr<ConnectionContext> context(static_cast<ConnectionContext*>(pfc->pFilterContext));
  pfc->pFilterContext = nullptr;
}
