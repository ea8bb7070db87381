#pragma once
// The two-factor handler set: ISA/TMG checks the password, this
// implementation holds the session on its own login page until the passcode
// has been accepted.
#include "base/win.h"
#include "filter/filter_implementation.h"

class CAnonymousLogonFilterImplementation : public IFilterImplementation {
 public:
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

 private:
  // Serializes the renewal of sessions bound to ISA/TMG's cookie.
  talverin::CriticalSection renewalLock_;
};
