#pragma once
// The handler interface the filter dispatches every host notification to.
#include <windows.h>
#include <httpfilt.h>

#include <memory>

#include "stub/backend_connection.h"

class ConnectionContext;  // per-request record, auth/connection_context.h

class IFilterImplementation {
 public:
  IFilterImplementation();
  IFilterImplementation(const IFilterImplementation&) = delete;
  IFilterImplementation& operator=(const IFilterImplementation&) = delete;

  // Start-up of the implementation (the locale's resource library); 0 = success.
  virtual HRESULT Init();
  virtual DWORD Deinit();

  virtual DWORD OnPreprocHeaders(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) = 0;
  virtual DWORD OnAuthentication(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) = 0;
  virtual DWORD OnAccessDenied(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) = 0;
  virtual DWORD OnAuthComplete(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) = 0;
  virtual DWORD OnEndOfRequest(HTTP_FILTER_CONTEXT* pfc, ConnectionContext* context) = 0;
  virtual DWORD OnReadRawData(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) = 0;
  virtual DWORD OnSendRawData(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) = 0;
  virtual DWORD OnSendResponse(HTTP_FILTER_CONTEXT* pfc, void* notification, ConnectionContext* context) = 0;

  virtual ~IFilterImplementation();

  // The back-end connection: made on demand before each notification and
  // dropped and made again after a back-end failure. Virtual so that tests of
  // the dispatcher can stand in for the back end.
  virtual bool Connect();
  virtual bool Reset(bool force, HRESULT code);

  // The back end's objects as of now; null while not connected. Each call
  // hands out a reference of the caller's own, safe against a concurrent reset.
  std::shared_ptr<Stub::SessionStore> SessionStore() { return connection_.GetSessionStore(); }
  std::shared_ptr<Stub::HtmlServer> HtmlServer() { return connection_.GetHtmlServer(); }
  std::shared_ptr<Stub::AuthenticationProxy> AuthenticationProxy() { return connection_.GetAuthenticationProxy(); }

 private:
  Stub::BackendConnection connection_;
};
