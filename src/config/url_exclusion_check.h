#pragma once
// Applies the exclusion rules to a request and, for an excluded request, tells
// the host to stop notifying the filter for the rest of it.
#include <windows.h>
#include <httpfilt.h>

#include <functional>
#include <string>

#include "config/url_exclusion.h"
#include "http/notification_masks.h"

namespace talverin {

// The listener's answers for a listener GUID (the settings object's
// accessors, read under its lock); an unknown GUID answers the defaults.
using ListenerExclusionLookup = std::function<ListenerExclusionSettings(const std::string& listenerGuid)>;

// True when the request is excluded and the host has disabled the filter's
// notifications for it; false when the filter is to go on. Raises an Error of
// category Host when the host refuses to disable the notifications.
bool CheckUrlExclusion(HTTP_FILTER_CONTEXT* pfc, const std::string& url, const std::string& listenerGuid,
                       const std::string& method, const ListenerExclusionLookup& lookup);
// The same with the listener's answers already at hand.
bool CheckUrlExclusion(HTTP_FILTER_CONTEXT* pfc, const std::string& url, const std::string& listenerGuid,
                       const std::string& method, const ListenerExclusionSettings& listener);

}  // namespace talverin
