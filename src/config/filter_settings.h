#pragma once
// The filter's settings: six values from the registry and the per-listener
// configuration, published as one immutable snapshot (config/filter_config.h)
// that every thread reads without a lock.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/win.h"
#include "config/filter_config.h"
#include "config/url_exclusion.h"
#include "config/web_listener_info.h"

namespace talverin {

// Where the settings live in HKEY_LOCAL_MACHINE.
extern const char kSettingsKey[];  // "SOFTWARE\\TALVERIN\\ISA"

class FilterSettings {
 public:
  FilterSettings();
  FilterSettings(const FilterSettings&) = delete;
  FilterSettings& operator=(const FilterSettings&) = delete;

  static FilterSettings& Instance();

  // The registry values (defaults for what is missing); keyOpened false when
  // the key cannot be opened. Reads only: nothing is published.
  static RegistrySettings ReadRegistry(bool* keyOpened = nullptr);

  // The configuration as of now. A request takes this once and keeps it: no
  // lock is held and nothing is copied while the request reads from it.
  ConfigSnapshot Snapshot() const { return std::atomic_load(&current_); }
  // Swaps a whole new configuration in; readers see the old one or the new
  // one, never a mix.
  void Publish(ConfigSnapshot config);

  // Reads the registry values and publishes them with the listeners held now;
  // false when the key cannot be opened.
  bool Load();
  // Publishes the registry values held now with a copy of these listeners.
  void SaveWebListeners(const WebListenerMap& listeners);

  std::string Language() const { return Snapshot()->Settings().language; }
  std::uint32_t TraceLevel() const { return Snapshot()->Settings().traceLevel; }
  std::int32_t BlockMaxTime() const { return Snapshot()->Settings().blockMaxTime; }
  std::int32_t BlockMaxRetryCount() const { return Snapshot()->Settings().blockMaxRetryCount; }
  std::string DefaultDomain() const { return Snapshot()->Settings().defaultDomain; }
  bool FallbackFromFBAForbidden() const { return Snapshot()->Settings().fallbackFromFBAForbidden; }

  // Per listener; an unknown listener answers false or empty and is not added.
  bool Enabled(const std::string& listener) const;
  bool RpcOverHttpAllowed(const std::string& listener) const;
  bool ActiveSyncAllowed(const std::string& listener) const;
  bool AutoDiscoverAllowed(const std::string& listener) const;
  // The custom-list rule of the exclusion decision: true when the URL's
  // canonical form begins with one of the listener's entries.
  bool IsInCustomExclusionList(const std::string& listener, const std::string& url) const;
  // Everything the exclusion rules need of one listener, from one snapshot.
  ListenerExclusionSettings ListenerExclusion(const std::string& listener) const;
  std::string FBACookieName(const std::string& listener) const;
  // The first of the listener's cookie domains that occurs in text, or empty.
  std::string MatchFBACookieDomain(const std::string& listener, const std::string& text) const;

  std::size_t WebListenerCount() const { return Snapshot()->Listeners().size(); }

 private:
  ConfigSnapshot current_;
  // Serializes writers only (a load and a save must not lose each other's
  // half); readers never take it.
  CriticalSection writeLock_;
};

// The first of the listener's cookie domains that occurs in text (multibyte
// aware), or empty; an unknown listener gives empty.
std::string MatchFBACookieDomain(const Config& config, const std::string& listener, const std::string& text);

// Multibyte-aware lower-casing in the thread's code page.
std::string LowerCaseMultibyte(const std::string& text);

}  // namespace talverin
