// The package's custom actions: the work Windows Installer's own tables cannot
// describe. The package carries this library in its Binary table; it is never
// installed.
#include <windows.h>
#include <aclapi.h>
#include <msi.h>
#include <msiquery.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "base/win.h"

namespace {

struct MsiTraits {
  static MSIHANDLE None() noexcept { return 0; }
  static bool IsValid(MSIHANDLE h) noexcept { return h != 0; }
  static void Close(MSIHANDLE h) noexcept { MsiCloseHandle(h); }
};
using UniqueMsiHandle = talverin::UniqueResource<MSIHANDLE, MsiTraits>;

struct SidTraits {
  static PSID None() noexcept { return nullptr; }
  static bool IsValid(PSID h) noexcept { return h != nullptr; }
  static void Close(PSID h) noexcept { LocalFree(h); }
};
using UniqueSid = talverin::UniqueResource<PSID, SidTraits>;

constexpr HRESULT kClassNotRegistered = static_cast<HRESULT>(0x80040154);
const wchar_t kSettingsKey[] = L"SOFTWARE\\TALVERIN\\ISA";
// The web proxy runs inside the Firewall service.
const wchar_t kFirewallServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\fwsrv";

std::wstring GetProperty(MSIHANDLE install, const wchar_t* name) {
  DWORD size = 0;
  wchar_t empty[1] = L"";
  UINT rc = MsiGetPropertyW(install, name, empty, &size);
  if (rc != ERROR_MORE_DATA && rc != ERROR_SUCCESS) return std::wstring();
  std::wstring value(static_cast<std::size_t>(size) + 1, L'\0');
  size = static_cast<DWORD>(value.size());
  if (MsiGetPropertyW(install, name, &value[0], &size) != ERROR_SUCCESS) return std::wstring();
  value.resize(size);
  return value;
}

// One line in the installation log; an ERROR is also shown to the user unless
// the installation is silent.
void Tell(MSIHANDLE install, INSTALLMESSAGE kind, const std::wstring& text) {
  UniqueMsiHandle record(MsiCreateRecord(1));
  if (!record) return;
  MsiRecordSetStringW(record.Get(), 0, L"[1]");
  MsiRecordSetStringW(record.Get(), 1, text.c_str());
  MsiProcessMessage(install, kind, record.Get());
}

std::wstring Hex(HRESULT hr) {
  wchar_t text[16];
  std::swprintf(text, sizeof text / sizeof text[0], L"0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// --- Settings -------------------------------------------------------------

struct Setting {
  const wchar_t* property;
  const wchar_t* value;
  bool number;
  const wchar_t* fallback;
};

// The documented defaults of the filter's registry values.
const Setting kSettings[] = {
    {L"TRACELEVEL", L"TraceLevel", true, L"0"},
    {L"LANGUAGE", L"Language", false, L"en"},
    {L"DEFAULTDOMAIN", L"DefaultDomain", false, L""},
    {L"BLOCKMAXTIME", L"BlockMaxTime", true, L"120"},
    {L"BLOCKMAXRETRYCOUNT", L"BlockMaxRetryCount", true, L"10"},
    {L"FALLBACKFROMFBAFORBIDDEN", L"FallbackFromFBAForbidden", true, L"1"},
};

// The value as the property would give it, or false when there is none. A
// number is whatever four bytes the filter would read, as unsigned decimal.
bool ReadExisting(HKEY key, const Setting& setting, std::wstring& text) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, setting.value, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
  std::vector<BYTE> data(static_cast<std::size_t>(size) + sizeof(wchar_t), 0);
  if (RegQueryValueExW(key, setting.value, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return false;
  if (setting.number) {
    if (size != sizeof(DWORD)) return false;
    DWORD number = 0;
    std::memcpy(&number, data.data(), sizeof number);
    text = std::to_wstring(number);
    return true;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  text.assign(reinterpret_cast<const wchar_t*>(data.data()));
  return true;
}

// A number the registry's "#" form takes: decimal, optionally negative, within
// 32 bits.
bool IsRegistryNumber(const std::wstring& text) {
  if (text.empty() || text.size() > 11) return false;
  std::size_t start = text[0] == L'-' ? 1 : 0;
  if (start == text.size()) return false;
  for (std::size_t i = start; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
  }
  long long value = std::stoll(text);
  return value >= -2147483648LL && value <= 4294967295LL;
}

}  // namespace

extern "C" {

// Immediate: fills every settings property the command line left empty, from
// the value already in the registry (an administrator's change survives a
// repair and an upgrade) or else the documented default. A command-line value
// always wins.
UINT __stdcall PrepareSettings(MSIHANDLE install) {
  talverin::UniqueHkey key;
  RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ | KEY_WOW64_64KEY, key.Put());
  for (const Setting& setting : kSettings) {
    std::wstring value = GetProperty(install, setting.property);
    if (value.empty()) {
      std::wstring existing;
      value = key && ReadExisting(key.Get(), setting, existing) ? existing : setting.fallback;
      MsiSetPropertyW(install, setting.property, value.c_str());
    }
    if (setting.number && !IsRegistryNumber(value)) {
      Tell(install, INSTALLMESSAGE_ERROR,
           std::wstring(setting.property) + L"=" + value + L" is not a number; the filter's " + setting.value +
               L" takes a whole number.");
      return ERROR_INSTALL_FAILURE;
    }
  }
  return ERROR_SUCCESS;
}

}  // extern "C"

namespace {

// --- Registration ---------------------------------------------------------

// The installed filter: handed over by the package when the action runs from
// the installation script, read from the folder's property when it runs at
// once.
std::wstring FilterPath(MSIHANDLE install) {
  if (MsiGetMode(install, MSIRUNMODE_SCHEDULED)) return GetProperty(install, L"CustomActionData");
  return GetProperty(install, L"INSTALLDIR") + L"TALVERIN.ISA.Filter.dll";
}

// Calls one registration export of the installed filter on a thread of its
// own, which gets COM the way regsvr32's thread has it. The answer is the
// export's HRESULT.
HRESULT CallFilterExport(const std::wstring& dll, const char* exportName) {
  talverin::UniqueModule module(LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!module) return HRESULT_FROM_WIN32(GetLastError());
  using Export = HRESULT(__stdcall*)();
  auto entry = reinterpret_cast<Export>(reinterpret_cast<void*>(GetProcAddress(module.Get(), exportName)));
  if (!entry) return HRESULT_FROM_WIN32(GetLastError());
  HRESULT hr = E_UNEXPECTED;
  std::thread([&] { hr = entry(); }).join();
  return hr;
}

}  // namespace

extern "C" {

// Deferred, as the local system: adds the web filter to the ISA/TMG
// configuration store through the installed DLL's DllRegisterServer. Its
// failure fails the installation, which is then rolled back.
UINT __stdcall RegisterWebFilter(MSIHANDLE install) {
  const std::wstring dll = FilterPath(install);
  HRESULT hr = CallFilterExport(dll, "DllRegisterServer");
  if (FAILED(hr)) {
    Tell(install, INSTALLMESSAGE_ERROR,
         L"The web filter could not be registered in the ISA/TMG configuration store: DllRegisterServer of " + dll +
             L" answered " + Hex(hr) + L".");
    return ERROR_INSTALL_FAILURE;
  }
  Tell(install, INSTALLMESSAGE_INFO, L"Registered the web filter " + dll + L" in the ISA/TMG configuration store.");
  return ERROR_SUCCESS;
}

// Before the files go (and as the rollback of a registration): removes the web
// filter from the store. A store that is not there any more (ISA/TMG removed
// first) has nothing to remove; any other failure stops the removal, so that
// the store never lists a filter whose DLL is gone.
UINT __stdcall UnregisterWebFilter(MSIHANDLE install) {
  const std::wstring dll = FilterPath(install);
  HRESULT hr = CallFilterExport(dll, "DllUnregisterServer");
  if (hr == kClassNotRegistered) {
    Tell(install, INSTALLMESSAGE_INFO, L"No ISA/TMG configuration store on this machine: nothing to unregister.");
    return ERROR_SUCCESS;
  }
  if (FAILED(hr)) {
    Tell(install, INSTALLMESSAGE_ERROR,
         L"The web filter could not be removed from the ISA/TMG configuration store: DllUnregisterServer of " + dll +
             L" answered " + Hex(hr) + L".");
    return ERROR_INSTALL_FAILURE;
  }
  Tell(install, INSTALLMESSAGE_INFO, L"Removed the web filter " + dll + L" from the ISA/TMG configuration store.");
  return ERROR_SUCCESS;
}

}  // extern "C"

namespace {

// --- The Logs folder --------------------------------------------------------

// The account the Firewall service logs on as; the local system when the
// service names none or is not there.
UniqueSid WebProxyAccount(std::wstring& name) {
  talverin::UniqueHkey key;
  wchar_t account[256] = L"";
  DWORD size = sizeof account - sizeof account[0];
  DWORD type = 0;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFirewallServiceKey, 0, KEY_READ | KEY_WOW64_64KEY, key.Put()) ==
          ERROR_SUCCESS &&
      RegQueryValueExW(key.Get(), L"ObjectName", nullptr, &type, reinterpret_cast<BYTE*>(account), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ && account[0] != L'\0' && _wcsicmp(account, L"LocalSystem") != 0) {
    DWORD sidSize = 0;
    DWORD domainSize = 0;
    SID_NAME_USE use;
    LookupAccountNameW(nullptr, account, nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize != 0) {
      UniqueSid sid(LocalAlloc(LMEM_FIXED, sidSize));
      std::wstring domain(static_cast<std::size_t>(domainSize) + 1, L'\0');
      if (sid && LookupAccountNameW(nullptr, account, sid.Get(), &sidSize, &domain[0], &domainSize, &use)) {
        name = account;
        return sid;
      }
    }
  }
  PSID system = nullptr;
  ConvertStringSidToSidW(L"S-1-5-18", &system);
  name = L"LocalSystem";
  return UniqueSid(system);
}

}  // namespace

extern "C" {

// Deferred, as the local system: the Logs folder gets a protected list that
// lets only Administrators and the web proxy's account in. The trace log holds
// session keys and passcode tokens, the crash dump the proxy's memory.
UINT __stdcall RestrictLogsFolder(MSIHANDLE install) {
  const std::wstring folder = GetProperty(install, L"CustomActionData");
  std::wstring accountName;
  UniqueSid proxy = WebProxyAccount(accountName);
  wchar_t* proxyTextRaw = nullptr;
  if (!proxy || !ConvertSidToStringSidW(proxy.Get(), &proxyTextRaw)) {
    Tell(install, INSTALLMESSAGE_ERROR, L"The web proxy's account for the Logs folder could not be resolved.");
    return ERROR_INSTALL_FAILURE;
  }
  talverin::UniqueLocalMem proxyText(proxyTextRaw);
  // Administrators: full control. The proxy's account: read, write, delete
  // (0x13019F: it creates, appends to and replaces its log and dump). Both
  // inherited by everything below; nothing inherited from above.
  const std::wstring sddl =
      L"D:P(A;OICI;FA;;;BA)(A;OICI;0x13019f;;;" + std::wstring(proxyTextRaw) + L")";
  PSECURITY_DESCRIPTOR descriptorRaw = nullptr;
  DWORD rc = ERROR_SUCCESS;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptorRaw, nullptr))
    rc = GetLastError();
  talverin::UniqueLocalMem descriptor(descriptorRaw);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (rc == ERROR_SUCCESS && !GetSecurityDescriptorDacl(descriptorRaw, &present, &dacl, &defaulted)) rc = GetLastError();
  if (rc == ERROR_SUCCESS) {
    rc = SetNamedSecurityInfoW(const_cast<LPWSTR>(folder.c_str()), SE_FILE_OBJECT,
                               DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                               dacl, nullptr);
  }
  if (rc != ERROR_SUCCESS) {
    Tell(install, INSTALLMESSAGE_ERROR,
         L"The permissions of " + folder + L" could not be set: error " + std::to_wstring(rc) + L".");
    return ERROR_INSTALL_FAILURE;
  }
  Tell(install, INSTALLMESSAGE_INFO,
       L"Only Administrators and " + accountName + L" may open " + folder + L": " + sddl);
  return ERROR_SUCCESS;
}

}  // extern "C"
