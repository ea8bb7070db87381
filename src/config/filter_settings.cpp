#include "config/filter_settings.h"

#include <mbstring.h>

#include <algorithm>
#include <vector>

#include "config/url_canonical.h"

namespace talverin {

const char kSettingsKey[] = "SOFTWARE\\TALVERIN\\ISA";

namespace {

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

FilterSettings::FilterSettings() : current_(std::make_shared<const Config>()) {}

FilterSettings& FilterSettings::Instance() {
  static FilterSettings settings;
  return settings;
}

RegistrySettings FilterSettings::ReadRegistry(bool* keyOpened) {
  const RegistrySettings defaults = RegistryDefaults();
  // The installer writes the 64-bit view; a 32-bit build must read the same key.
  UniqueHkey key;
  const bool opened =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ | KEY_WOW64_64KEY, key.Put()) == ERROR_SUCCESS;
  if (keyOpened) *keyOpened = opened;
  if (!opened) return defaults;
  RegistrySettings read;
  read.language = ReadText(key.Get(), "Language", defaults.language.c_str());
  read.traceLevel = ReadNumber(key.Get(), "TraceLevel", defaults.traceLevel);
  read.blockMaxTime = static_cast<std::int32_t>(
      ReadNumber(key.Get(), "BlockMaxTime", static_cast<std::uint32_t>(defaults.blockMaxTime)));
  read.blockMaxRetryCount = static_cast<std::int32_t>(
      ReadNumber(key.Get(), "BlockMaxRetryCount", static_cast<std::uint32_t>(defaults.blockMaxRetryCount)));
  read.defaultDomain = ReadText(key.Get(), "DefaultDomain", "");
  read.fallbackFromFBAForbidden =
      ReadNumber(key.Get(), "FallbackFromFBAForbidden", kDefaultFallbackFromFBAForbidden) == 1;
  return read;
}

void FilterSettings::Publish(ConfigSnapshot config) {
  if (!config) return;
  std::atomic_store(&current_, std::move(config));
}

bool FilterSettings::Load() {
  bool opened = false;
  RegistrySettings read = ReadRegistry(&opened);
  CsLock guard(writeLock_);
  Publish(std::make_shared<const Config>(std::move(read), Snapshot()->Listeners()));
  return opened;
}

void FilterSettings::SaveWebListeners(const WebListenerMap& listeners) {
  CsLock guard(writeLock_);
  const ConfigSnapshot now = Snapshot();
  if (&listeners == &now->Listeners()) return;
  Publish(std::make_shared<const Config>(now->Settings(), listeners));
}

bool FilterSettings::Enabled(const std::string& listener) const {
  const WebListenerInfo* info = Snapshot()->Listener(listener);
  return info && info->Enabled;
}

bool FilterSettings::RpcOverHttpAllowed(const std::string& listener) const {
  const WebListenerInfo* info = Snapshot()->Listener(listener);
  return info && info->RpcOverHttpAllowed;
}

bool FilterSettings::ActiveSyncAllowed(const std::string& listener) const {
  const WebListenerInfo* info = Snapshot()->Listener(listener);
  return info && info->ActiveSyncAllowed;
}

bool FilterSettings::AutoDiscoverAllowed(const std::string& listener) const {
  const WebListenerInfo* info = Snapshot()->Listener(listener);
  return info && info->AutoDiscoverAllowed;
}

bool FilterSettings::IsInCustomExclusionList(const std::string& listener, const std::string& url) const {
  const ConfigSnapshot config = Snapshot();
  const WebListenerInfo* info = config->Listener(listener);
  if (!info || info->CustomExclusionList.empty()) return false;
  const std::optional<std::string> canonical = CanonicalizeUrl(url);
  return canonical && IsInExclusionList(*canonical, info->CustomExclusionList);
}

ListenerExclusionSettings FilterSettings::ListenerExclusion(const std::string& listener) const {
  return Snapshot()->Exclusion(listener);
}

std::string FilterSettings::FBACookieName(const std::string& listener) const {
  return Snapshot()->FBACookieName(listener);
}

std::string FilterSettings::MatchFBACookieDomain(const std::string& listener, const std::string& text) const {
  return talverin::MatchFBACookieDomain(*Snapshot(), listener, text);
}

std::string MatchFBACookieDomain(const Config& config, const std::string& listener, const std::string& text) {
  const WebListenerInfo* info = config.Listener(listener);
  if (!info) return std::string();
  for (const std::string& domain : info->FBACookieDomains) {
    if (_mbsstr(reinterpret_cast<const unsigned char*>(text.c_str()),
                reinterpret_cast<const unsigned char*>(domain.c_str())) != nullptr) {
      return domain;
    }
  }
  return std::string();
}

std::string LowerCaseMultibyte(const std::string& text) {
  // Text in ASCII alone, as URLs mostly are, holds no lead or trail byte, and
  // every code page lowers it alike: no look-up of the C library's per
  // character. Like the C library, the text ends at its first NUL.
  const std::size_t end = std::min(text.find('\0'), text.size());
  const auto ascii = [](char c) { return static_cast<unsigned char>(c) < 0x80; };
  if (std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), ascii)) {
    return LowerAscii(std::string_view(text).substr(0, end)) + text.substr(end);
  }
  std::string lowered = text;
  _mbslwr(reinterpret_cast<unsigned char*>(&lowered[0]));
  return lowered;
}

}  // namespace talverin
