#include "auth/connection_context.h"

#include <algorithm>

#include "diag/trace_log.h"
#include "http/responses.h"

ConnectionContext::ConnectionContext() { responseBuffer_.reserve(kResponseReserve); }

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

void ConnectionContext::AppendResponseData(const HTTP_FILTER_RAW_DATA& record) {
  AppendResponseData(record.pvInData, std::min(record.cbInData, record.cbInBuffer));
}

void ConnectionContext::AppendResponseData(const void* data, std::size_t size) {
  if (data == nullptr || size == 0) return;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  responseBuffer_.insert(responseBuffer_.end(), bytes, bytes + size);
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
