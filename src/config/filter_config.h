#pragma once
// One immutable picture of the filter's configuration: the registry values
// and every web listener's settings. Built whole at start-up and at every
// reload, then only read: a request holds one picture from its first byte to
// its end, so a reload can never hand it half of the old values and half of
// the new. Pure logic: no Windows header.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "config/url_exclusion.h"
#include "config/web_listener_info.h"

namespace talverin {

// The six registry values. The member defaults are those of a filter that has
// read nothing yet; RegistryDefaults() are those of a missing key or value.
struct RegistrySettings {
  std::string language;
  std::uint32_t traceLevel = 0;
  std::int32_t blockMaxTime = 0;
  std::int32_t blockMaxRetryCount = 0;
  std::string defaultDomain;
  bool fallbackFromFBAForbidden = false;
};

RegistrySettings RegistryDefaults();

class Config {
 public:
  Config() = default;
  Config(RegistrySettings settings, WebListenerMap listeners);

  const RegistrySettings& Settings() const noexcept { return settings_; }
  const WebListenerMap& Listeners() const noexcept { return listeners_; }

  // Null for a listener that is not configured.
  const WebListenerInfo* Listener(const std::string& guid) const;
  // What the exclusion rules need of the listener; the defaults (nothing
  // excluded, not protected) for an unknown one.
  const ListenerExclusionSettings& Exclusion(const std::string& guid) const;
  // Empty for an unknown listener.
  const std::string& FBACookieName(const std::string& guid) const;

 private:
  RegistrySettings settings_;
  WebListenerMap listeners_;
  // Derived once here instead of copied out for every request.
  std::map<std::string, ListenerExclusionSettings> exclusions_;
};

using ConfigSnapshot = std::shared_ptr<const Config>;

}  // namespace talverin
