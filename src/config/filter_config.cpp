#include "config/filter_config.h"

#include <utility>

namespace talverin {

RegistrySettings RegistryDefaults() {
  RegistrySettings defaults;
  defaults.language = "en";
  defaults.traceLevel = 0;
  defaults.blockMaxTime = 120;
  defaults.blockMaxRetryCount = 10;
  defaults.fallbackFromFBAForbidden = true;
  return defaults;
}

Config::Config(RegistrySettings settings, WebListenerMap listeners)
    : settings_(std::move(settings)), listeners_(std::move(listeners)) {
  for (const auto& entry : listeners_) {
    ListenerExclusionSettings& exclusion = exclusions_[entry.first];
    exclusion.enabled = entry.second.Enabled;
    exclusion.rpcOverHttpAllowed = entry.second.RpcOverHttpAllowed;
    exclusion.activeSyncAllowed = entry.second.ActiveSyncAllowed;
    exclusion.autoDiscoverAllowed = entry.second.AutoDiscoverAllowed;
    exclusion.customExclusionList = entry.second.CustomExclusionList;
  }
}

const WebListenerInfo* Config::Listener(const std::string& guid) const {
  const auto it = listeners_.find(guid);
  return it == listeners_.end() ? nullptr : &it->second;
}

const ListenerExclusionSettings& Config::Exclusion(const std::string& guid) const {
  static const ListenerExclusionSettings kUnknown;
  const auto it = exclusions_.find(guid);
  return it == exclusions_.end() ? kUnknown : it->second;
}

const std::string& Config::FBACookieName(const std::string& guid) const {
  static const std::string kNone;
  const WebListenerInfo* info = Listener(guid);
  return info ? info->FBACookieName : kNone;
}

}  // namespace talverin
