#pragma once
// The settings key of the Wine prefix, written by the test itself: emptied
// when the object is made and removed when it goes, so tests do not depend on
// each other's values.
#include <windows.h>

#include <string>

#include "config/filter_settings.h"

namespace talverin::test {

class SettingsKey {
 public:
  SettingsKey() { Remove(); }
  ~SettingsKey() { Remove(); }
  SettingsKey(const SettingsKey&) = delete;
  SettingsKey& operator=(const SettingsKey&) = delete;

  bool SetRaw(const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
      return false;
    LONG rc = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
  }
  bool SetDword(const char* name, DWORD value) { return SetRaw(name, REG_DWORD, &value, sizeof value); }
  bool SetText(const char* name, const std::string& text, DWORD type = REG_SZ) {
    return SetRaw(name, type, text.c_str(), static_cast<DWORD>(text.size() + 1));
  }

  static void Remove() { RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, KEY_WOW64_64KEY, 0); }
};

}  // namespace talverin::test
