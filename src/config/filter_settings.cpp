#include "config/filter_settings.h"

#include <mbstring.h>

#include <vector>

#include "config/url_canonical.h"

namespace talverin {

const char kSettingsKey[] = "SOFTWARE\\TALVERIN\\ISA";

namespace {

constexpr const char kDefaultLanguage[] = "en";
constexpr std::uint32_t kDefaultTraceLevel = 0;
constexpr std::int32_t kDefaultBlockMaxTime = 120;
constexpr std::int32_t kDefaultBlockMaxRetryCount = 10;
constexpr std::uint32_t kDefaultFallbackFromFBAForbidden = 1;

// A number is read into a buffer that already holds its default: a missing
// value, or one longer than four bytes, leaves the default in place. The
// stored type is not checked.
std::uint32_t ReadNumber(HKEY key, const char* name, std::uint32_t fallback) {
  std::uint32_t value = fallback;
  DWORD size = sizeof value;
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
      size != sizeof value) {
    return fallback;
  }
  return value;
}

// Only REG_SZ and REG_EXPAND_SZ (not expanded) with a non-zero size; the text
// ends at the first zero, whether or not the stored data carries one.
std::string ReadText(HKEY key, const char* name, const char* fallback) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return fallback;
  if ((type != REG_SZ && type != REG_EXPAND_SZ) || size == 0) return fallback;
  std::vector<char> buffer(size, '\0');
  if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS)
    return fallback;
  std::size_t length = 0;
  while (length < size && length < buffer.size() && buffer[length] != '\0') ++length;
  return std::string(buffer.data(), length);
}

}  // namespace

FilterSettings& FilterSettings::Instance() {
  static FilterSettings settings;
  return settings;
}

void FilterSettings::SetDefaults() {
  language_ = kDefaultLanguage;
  traceLevel_ = kDefaultTraceLevel;
  blockMaxTime_ = kDefaultBlockMaxTime;
  blockMaxRetryCount_ = kDefaultBlockMaxRetryCount;
  defaultDomain_.clear();
  fallbackFromFBAForbidden_ = kDefaultFallbackFromFBAForbidden == 1;
}

bool FilterSettings::Load() {
  CsLock guard(lock_);
  // The installer writes the 64-bit view; a 32-bit build must read the same key.
  UniqueHkey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ | KEY_WOW64_64KEY, key.Put()) != ERROR_SUCCESS) {
    SetDefaults();
    return false;
  }
  language_ = ReadText(key.Get(), "Language", kDefaultLanguage);
  traceLevel_ = ReadNumber(key.Get(), "TraceLevel", kDefaultTraceLevel);
  blockMaxTime_ = static_cast<std::int32_t>(
      ReadNumber(key.Get(), "BlockMaxTime", static_cast<std::uint32_t>(kDefaultBlockMaxTime)));
  blockMaxRetryCount_ = static_cast<std::int32_t>(
      ReadNumber(key.Get(), "BlockMaxRetryCount", static_cast<std::uint32_t>(kDefaultBlockMaxRetryCount)));
  defaultDomain_ = ReadText(key.Get(), "DefaultDomain", "");
  fallbackFromFBAForbidden_ = ReadNumber(key.Get(), "FallbackFromFBAForbidden", kDefaultFallbackFromFBAForbidden) == 1;
  return true;
}

void FilterSettings::SaveWebListeners(const WebListenerMap& listeners) {
  CsLock guard(lock_);
  if (&listeners == &webListeners_) return;
  webListeners_ = listeners;
}

std::string FilterSettings::Language() { return Read(language_); }

std::uint32_t FilterSettings::TraceLevel() { return Read(traceLevel_); }

std::int32_t FilterSettings::BlockMaxTime() { return Read(blockMaxTime_); }

std::int32_t FilterSettings::BlockMaxRetryCount() { return Read(blockMaxRetryCount_); }

std::string FilterSettings::DefaultDomain() { return Read(defaultDomain_); }

bool FilterSettings::FallbackFromFBAForbidden() { return Read(fallbackFromFBAForbidden_); }

const WebListenerInfo* FilterSettings::Find(const std::string& listener) const {
  auto it = webListeners_.find(listener);
  return it == webListeners_.end() ? nullptr : &it->second;
}

bool FilterSettings::Enabled(const std::string& listener) {
  CsLock guard(lock_);
  const WebListenerInfo* info = Find(listener);
  return info && info->Enabled;
}

bool FilterSettings::RpcOverHttpAllowed(const std::string& listener) {
  CsLock guard(lock_);
  const WebListenerInfo* info = Find(listener);
  return info && info->RpcOverHttpAllowed;
}

bool FilterSettings::ActiveSyncAllowed(const std::string& listener) {
  CsLock guard(lock_);
  const WebListenerInfo* info = Find(listener);
  return info && info->ActiveSyncAllowed;
}

bool FilterSettings::AutoDiscoverAllowed(const std::string& listener) {
  CsLock guard(lock_);
  const WebListenerInfo* info = Find(listener);
  return info && info->AutoDiscoverAllowed;
}

bool FilterSettings::IsInCustomExclusionList(const std::string& listener, const std::string& url) {
  std::vector<std::string> entries;
  {
    CsLock guard(lock_);
    const WebListenerInfo* info = Find(listener);
    if (!info || info->CustomExclusionList.empty()) return false;
    entries = info->CustomExclusionList;
  }
  const std::optional<std::string> canonical = CanonicalizeUrl(url);
  return canonical && IsInExclusionList(*canonical, entries);
}

ListenerExclusionSettings FilterSettings::ListenerExclusion(const std::string& listener) {
  ListenerExclusionSettings result;
  CsLock guard(lock_);
  const WebListenerInfo* info = Find(listener);
  if (!info) return result;
  result.enabled = info->Enabled;
  result.rpcOverHttpAllowed = info->RpcOverHttpAllowed;
  result.activeSyncAllowed = info->ActiveSyncAllowed;
  result.autoDiscoverAllowed = info->AutoDiscoverAllowed;
  result.customExclusionList = info->CustomExclusionList;
  return result;
}

std::string FilterSettings::FBACookieName(const std::string& listener) {
  CsLock guard(lock_);
  const WebListenerInfo* info = Find(listener);
  return info ? info->FBACookieName : std::string();
}

std::string FilterSettings::MatchFBACookieDomain(const std::string& listener, const std::string& text) {
  CsLock guard(lock_);
  const WebListenerInfo* info = Find(listener);
  if (!info) return std::string();
  for (const std::string& domain : info->FBACookieDomains) {
    if (_mbsstr(reinterpret_cast<const unsigned char*>(text.c_str()),
                reinterpret_cast<const unsigned char*>(domain.c_str())) != nullptr) {
      return domain;
    }
  }
  return std::string();
}

std::size_t FilterSettings::WebListenerCount() {
  CsLock guard(lock_);
  return webListeners_.size();
}

std::string LowerCaseMultibyte(const std::string& text) {
  std::string lowered = text;
  if (!lowered.empty()) _mbslwr(reinterpret_cast<unsigned char*>(&lowered[0]));
  return lowered;
}

}  // namespace talverin
