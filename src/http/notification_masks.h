#pragma once
// The notification masks the filter registers for and turns off, each defined
// once.
#include <windows.h>
#include <httpfilt.h>

namespace talverin {

// What the version call asks for: auth complete, read raw data, preproc
// headers, authentication, access denied, send raw data, end of request, send
// response; no port or order bit.
constexpr DWORD kIsapiNotificationFlags = SF_NOTIFY_AUTH_COMPLETE | SF_NOTIFY_READ_RAW_DATA |
                                          SF_NOTIFY_PREPROC_HEADERS | SF_NOTIFY_AUTHENTICATION |
                                          SF_NOTIFY_ACCESS_DENIED | SF_NOTIFY_SEND_RAW_DATA |
                                          SF_NOTIFY_END_OF_REQUEST | SF_NOTIFY_SEND_RESPONSE;
static_assert(kIsapiNotificationFlags == 0x0400ECC0, "the flags the host expects of this filter");

// Every notification of the request but its end, turned off once the filter
// has nothing more to do with the request (an excluded URL, a held-back page
// sent); the end of the request still comes, to free its context.
constexpr DWORD kRequestNotifications = kIsapiNotificationFlags & ~static_cast<DWORD>(SF_NOTIFY_END_OF_REQUEST);
static_assert(kRequestNotifications == 0x0400EC40, "the mask the host is asked to turn off");

// The answer's notifications, turned off once the filter has let the answer
// through or replaced it.
constexpr DWORD kResponseNotifications = SF_NOTIFY_SEND_RAW_DATA | SF_NOTIFY_SEND_RESPONSE;

}  // namespace talverin
