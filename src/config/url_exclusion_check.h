#pragma once
// Applies the exclusion rules to a request and, for an excluded request, tells
// the host to stop notifying the filter for the rest of it.
#include <windows.h>
#include <httpfilt.h>

#include <string>

#include "config/url_exclusion.h"
#include "http/notification_masks.h"

namespace talverin {

// True when the request is excluded and the host has disabled the filter's
// notifications for it; false when the filter is to go on. Raises an Error of
// category Host when the host refuses to disable the notifications.
// listener holds the listener's answers (the defaults for an unknown one).
bool CheckUrlExclusion(HTTP_FILTER_CONTEXT* pfc, const std::string& url, const std::string& listenerGuid,
                       const std::string& method, const ListenerExclusionSettings& listener);

}  // namespace talverin
