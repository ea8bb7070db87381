#pragma once
// The filter's settings: six values from the registry and the per-listener
// configuration, handed out under one lock to every thread.
#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/win.h"
#include "config/url_exclusion.h"
#include "config/web_listener_info.h"

namespace talverin {

// Where the settings live in HKEY_LOCAL_MACHINE.
extern const char kSettingsKey[];  // "SOFTWARE\\TALVERIN\\ISA"

class FilterSettings {
 public:
  FilterSettings() = default;
  FilterSettings(const FilterSettings&) = delete;
  FilterSettings& operator=(const FilterSettings&) = delete;

  static FilterSettings& Instance();

  // Reads the registry values (defaults for what is missing); false when the
  // key cannot be opened. The listener map is left as it is.
  bool Load();
  // Replaces the stored listener map by a copy of the given one.
  void SaveWebListeners(const WebListenerMap& listeners);

  std::string Language();
  std::uint32_t TraceLevel();
  std::int32_t BlockMaxTime();
  std::int32_t BlockMaxRetryCount();
  std::string DefaultDomain();
  bool FallbackFromFBAForbidden();

  // Per listener; an unknown listener answers false or empty and is not added.
  bool Enabled(const std::string& listener);
  bool RpcOverHttpAllowed(const std::string& listener);
  bool ActiveSyncAllowed(const std::string& listener);
  bool AutoDiscoverAllowed(const std::string& listener);
  // The custom-list rule of the exclusion decision: true when the URL's
  // canonical form begins with one of the listener's entries.
  bool IsInCustomExclusionList(const std::string& listener, const std::string& url);
  // Everything the exclusion rules need of one listener, copied under one
  // lock so that a reload cannot mix two configurations.
  ListenerExclusionSettings ListenerExclusion(const std::string& listener);
  std::string FBACookieName(const std::string& listener);
  // The first of the listener's cookie domains that occurs in text, or empty.
  std::string MatchFBACookieDomain(const std::string& listener, const std::string& text);

  std::size_t WebListenerCount();

 private:
  // A copy of one setting, taken under the lock a reload writes them under.
  template <typename T>
  T Read(const T& setting) {
    CsLock guard(lock_);
    return setting;
  }

  void SetDefaults();
  const WebListenerInfo* Find(const std::string& listener) const;

  CriticalSection lock_;
  std::string language_;
  WebListenerMap webListeners_;
  std::uint32_t traceLevel_ = 0;
  std::int32_t blockMaxRetryCount_ = 0;
  std::int32_t blockMaxTime_ = 0;
  std::string defaultDomain_;
  bool fallbackFromFBAForbidden_ = false;
};

// Multibyte-aware lower-casing in the thread's code page.
std::string LowerCaseMultibyte(const std::string& text);

}  // namespace talverin
