#include "auth/anonymous_logon_filter_implementation.h"

// The request and response stages let every request go on until they are
// linked in; authentication, access denied, auth complete and send response
// need nothing of this filter.

DWORD CAnonymousLogonFilterImplementation::OnPreprocHeaders(HTTP_FILTER_CONTEXT*, void*, ConnectionContext*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::OnAuthentication(HTTP_FILTER_CONTEXT*, void*, ConnectionContext*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::OnAccessDenied(HTTP_FILTER_CONTEXT*, void*, ConnectionContext*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::OnAuthComplete(HTTP_FILTER_CONTEXT*, void*, ConnectionContext*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::OnEndOfRequest(HTTP_FILTER_CONTEXT*, ConnectionContext*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::OnReadRawData(HTTP_FILTER_CONTEXT*, void*, ConnectionContext*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::OnSendRawData(HTTP_FILTER_CONTEXT*, void*, ConnectionContext*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

DWORD CAnonymousLogonFilterImplementation::OnSendResponse(HTTP_FILTER_CONTEXT*, void*, ConnectionContext*) {
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}
