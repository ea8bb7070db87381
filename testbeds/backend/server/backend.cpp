#include "backend.h"

#include <cwchar>
#include <cwctype>

#include "base/win.h"
#include "dispatch_object.h"
#include "faults.h"
#include "module.h"

namespace backend {

namespace {

constexpr int kMaxWrongPasscodes = 5;
// Records of finished passcodes stay this long, so a late status poll still
// gets an answer.
constexpr ULONGLONG kPasscodeRecordKeepMs = 60ull * 60 * 1000;
const wchar_t kSettingsKey[] = L"SOFTWARE\\TALVERIN\\TestBackend";

std::wstring Lower(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
  return s;
}

std::wstring ShortToken(const std::wstring& token) { return token.substr(0, 8) + (token.size() > 8 ? L"..." : L""); }

std::optional<std::wstring> EnvironmentText(const wchar_t* name) {
  wchar_t buffer[1024];
  DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
  if (length == 0 || length >= 1024) return std::nullopt;
  return std::wstring(buffer, length);
}

std::optional<std::wstring> RegistryText(const wchar_t* name) {
  talverin::UniqueHkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) return std::nullopt;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key.Get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
  if (type == REG_DWORD && size == sizeof(DWORD)) {
    DWORD value = 0;
    RegQueryValueExW(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    return std::to_wstring(value);
  }
  if ((type != REG_SZ && type != REG_EXPAND_SZ) || size == 0) return std::nullopt;
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (RegQueryValueExW(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&text[0]), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  text.resize(wcsnlen(text.c_str(), text.size()));
  return text;
}

std::optional<std::wstring> Setting(const wchar_t* valueName, const wchar_t* environmentName) {
  if (auto text = EnvironmentText(environmentName)) return text;
  return RegistryText(valueName);
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return {};
  int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
  return out;
}

std::wstring ErrorSuffix(DWORD error) { return L" (error " + std::to_wstring(error) + L")"; }

// User names and addresses come from the network: a line break in one must
// not start a forged line of its own.
std::wstring OneLine(std::wstring line) {
  for (auto& c : line) {
    if (c < 0x20 || c == 0x7F || c == 0x2028 || c == 0x2029) c = L'?';
  }
  return line;
}

void AppendLine(const std::wstring& path, const std::wstring& line) {
  talverin::UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) throw BackendError{L"cannot open '" + path + L"'" + ErrorSuffix(GetLastError())};
  const std::string bytes = Utf8(OneLine(line) + L"\r\n");
  DWORD written = 0;
  if (!WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size()) {
    throw BackendError{L"cannot write '" + path + L"'" + ErrorSuffix(GetLastError())};
  }
}

std::wstring WithBackslash(std::wstring dir) {
  if (!dir.empty() && dir.back() != L'\\' && dir.back() != L'/') dir.push_back(L'\\');
  return dir;
}

long PositiveSeconds(const std::wstring& name, const std::wstring& text) {
  auto number = ParseNumber(text);
  if (!number || *number < 1 || *number > 0x7FFFFFFF / 1000) {
    throw BackendError{L"option " + name + L" needs a number of seconds, not '" + text + L"'"};
  }
  return static_cast<long>(*number);
}

const wchar_t* StatusWord(long code) {
  switch (code) {
    case kUserNotFound: return L"not found";
    case kUserLockedOut: return L"locked out";
    case kUserDenied: return L"denied";
    case kUserMayBypass: return L"may bypass";
    case kUserValid: return L"valid";
    default: return L"?";
  }
}

}  // namespace

SessionData::~SessionData() {
  SecureZeroMemory(&password[0], password.size() * sizeof(wchar_t));
}

std::wstring UtcStamp() {
  SYSTEMTIME t;
  GetSystemTime(&t);
  wchar_t text[32];
  swprintf(text, 32, L"%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
  return text;
}

Backend& Backend::Instance() {
  static Backend backend;
  return backend;
}

Backend::Backend() {
  const std::wstring dir = ModuleDir();
  options_.usersFile = Setting(L"UsersFile", L"TALVERIN_BACKEND_USERS").value_or(dir + L"backend-users.txt");
  options_.dataDir = WithBackslash(Setting(L"DataDir", L"TALVERIN_BACKEND_DATA").value_or(dir));
  static const struct {
    const wchar_t* value;
    const wchar_t* environment;
    long Options::*field;
  } kNumbers[] = {
      {L"SessionIdleSeconds", L"TALVERIN_BACKEND_SESSION_IDLE", &Options::sessionIdleSeconds},
      {L"PasscodeLifetimeSeconds", L"TALVERIN_BACKEND_PASSCODE_LIFETIME", &Options::passcodeLifetimeSeconds},
      {L"QueueSeconds", L"TALVERIN_BACKEND_QUEUE_SECONDS", &Options::queueSeconds},
      {L"SendSeconds", L"TALVERIN_BACKEND_SEND_SECONDS", &Options::sendSeconds},
  };
  for (const auto& n : kNumbers) {
    if (auto text = Setting(n.value, n.environment)) {
      auto number = ParseNumber(*text);
      if (number && *number > 0 && *number <= 0x7FFFFFFF / 1000) options_.*n.field = static_cast<long>(*number);
    }
  }
}

Options Backend::GetOptions() {
  std::lock_guard<std::mutex> lock(mutex_);
  return options_;
}

void Backend::SetOption(const std::wstring& name, const std::wstring& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::wstring lower = Lower(name);
  if (lower == L"usersfile") {
    options_.usersFile = value;
    usersLoadedFrom_.clear();  // read again at the next use
  } else if (lower == L"datadir") {
    options_.dataDir = WithBackslash(value);
  } else if (lower == L"sessionidleseconds") {
    options_.sessionIdleSeconds = PositiveSeconds(name, value);
  } else if (lower == L"passcodelifetimeseconds") {
    options_.passcodeLifetimeSeconds = PositiveSeconds(name, value);
  } else if (lower == L"queueseconds") {
    options_.queueSeconds = PositiveSeconds(name, value);
  } else if (lower == L"sendseconds") {
    options_.sendSeconds = PositiveSeconds(name, value);
  } else {
    throw BackendError{L"unknown option '" + name + L"'"};
  }
}

void Backend::LoadUsersIfChanged() {
  const std::wstring& path = options_.usersFile;
  WIN32_FILE_ATTRIBUTE_DATA info{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info)) {
    usersLoadedFrom_.clear();
    users_.clear();
    usersError_ = L"users file '" + path + L"' cannot be read" + ErrorSuffix(GetLastError());
    return;
  }
  const ULONGLONG size = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (usersLoadedFrom_ == path && CompareFileTime(&usersStamp_, &info.ftLastWriteTime) == 0 && usersSize_ == size) {
    return;
  }
  usersLoadedFrom_ = path;
  usersStamp_ = info.ftLastWriteTime;
  usersSize_ = size;
  users_.clear();
  usersError_.reset();

  talverin::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  std::string bytes(static_cast<size_t>(size), '\0');
  DWORD read = 0;
  if (!file || (size && !ReadFile(file.Get(), &bytes[0], static_cast<DWORD>(size), &read, nullptr)) || read != size) {
    usersError_ = L"users file '" + path + L"' cannot be read" + ErrorSuffix(GetLastError());
    usersLoadedFrom_.clear();
    return;
  }
  try {
    users_ = ParseUsers(FromUtf8(bytes), path);
  } catch (const BackendError& e) {
    usersError_ = e.description;
    ConsoleLine(L"users file rejected: " + e.description);
  }
}

std::optional<UserRecord> Backend::FindUser(const std::wstring& name) {
  LoadUsersIfChanged();
  if (usersError_) throw BackendError{*usersError_};
  auto key = CanonicalUserName(name);
  if (!key) return std::nullopt;
  for (const auto& user : users_) {
    if (user.key == *key) return user;
  }
  return std::nullopt;
}

void Backend::Audit(const std::wstring& line) {
  AppendLine(options_.dataDir + L"audit.txt", UtcStamp() + L" " + line);
}

void Backend::Outbox(const std::wstring& line) {
  const std::wstring stamped = OneLine(UtcStamp() + L" " + line);
  AppendLine(options_.dataDir + L"outbox.txt", stamped);
  ConsoleLine(stamped);
}

long Backend::CheckAuthenticationAllowed(const std::wstring& user, const std::wstring& clientAddress) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto record = FindUser(user);
  const long code = record ? record->status : kUserNotFound;
  Audit(L"CheckAuthenticationAllowed user=" + user + L" client=" + clientAddress + L" result=" +
        std::to_wstring(code) + L" (" + StatusWord(code) + L")");
  return code;
}

std::wstring Backend::RequestPasscode(const std::wstring& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  const ULONGLONG now = GetTickCount64();
  PurgePasscodes(now);
  auto record = FindUser(user);

  PasscodeEntry entry;
  entry.user = user;
  entry.created = now;
  const std::wstring token = RandomHex(16);
  const bool allowed = record && (record->status == kUserValid || record->status == kUserMayBypass);
  if (!allowed) {
    Audit(L"RequestPasscode user=" + user + L" token=" + ShortToken(token) + L" refused: user " +
          StatusWord(record ? record->status : kUserNotFound));
  } else if (record->phone.empty()) {
    Audit(L"RequestPasscode user=" + user + L" token=" + ShortToken(token) + L" failed: no phone number");
  } else {
    std::wstring passcode = RandomPasscode();
    RandomFill(entry.salt.data(), entry.salt.size());
    entry.hash = SaltedHash(entry.salt, passcode);
    entry.sendable = true;
    // One gateway sends the texts one after another, in the order they came.
    const Options& o = options_;
    entry.sendStart = std::max(now + static_cast<ULONGLONG>(o.queueSeconds) * 1000, lastSendDone_);
    entry.sendDone = entry.sendStart + static_cast<ULONGLONG>(o.sendSeconds) * 1000;
    lastSendDone_ = entry.sendDone;
    Outbox(L"SMS to=" + record->phone + L" user=" + user + L" passcode=" + passcode + L" token=" + token);
    SecureZeroMemory(&passcode[0], passcode.size() * sizeof(wchar_t));
    Audit(L"RequestPasscode user=" + user + L" token=" + ShortToken(token) + L" text queued to " + record->phone);
  }
  passcodes_[token] = entry;
  return token;
}

bool Backend::Authenticate(const std::wstring& token, const std::wstring& passcode) {
  std::lock_guard<std::mutex> lock(mutex_);
  const ULONGLONG now = GetTickCount64();
  auto it = passcodes_.find(token);
  auto decide = [&](bool accepted, const std::wstring& reason) {
    Audit(L"Authenticate token=" + ShortToken(token) +
          (it != passcodes_.end() ? L" user=" + it->second.user : std::wstring()) + L" result=" +
          (accepted ? L"accepted" : L"rejected: " + reason));
    return accepted;
  };
  if (it == passcodes_.end()) return decide(false, L"unknown token");
  PasscodeEntry& entry = it->second;
  if (!entry.sendable) return decide(false, L"no passcode was sent");
  if (entry.dead) return decide(false, L"token dead after too many wrong passcodes");
  if (entry.used) return decide(false, L"passcode already used");
  if (now >= entry.created + static_cast<ULONGLONG>(options_.passcodeLifetimeSeconds) * 1000) {
    return decide(false, L"passcode expired");
  }
  size_t begin = 0, end = passcode.size();
  while (begin < end && std::iswspace(passcode[begin])) ++begin;
  while (end > begin && std::iswspace(passcode[end - 1])) --end;
  if (SameDigest(SaltedHash(entry.salt, passcode.substr(begin, end - begin)), entry.hash)) {
    entry.used = true;
    return decide(true, L"");
  }
  if (++entry.wrongAttempts >= kMaxWrongPasscodes) {
    entry.dead = true;
    return decide(false, L"wrong passcode; token killed after " + std::to_wstring(kMaxWrongPasscodes) + L" wrong passcodes");
  }
  return decide(false, L"wrong passcode (" + std::to_wstring(entry.wrongAttempts) + L" of " +
                           std::to_wstring(kMaxWrongPasscodes) + L")");
}

void Backend::ReportPasswordAuthenticationStatus(const std::wstring& user, bool accepted) {
  std::lock_guard<std::mutex> lock(mutex_);
  Audit(L"ReportPasswordAuthenticationStatus user=" + user + L" password=" + (accepted ? L"accepted" : L"rejected"));
}

PasscodeStatus Backend::StatusOf(const std::wstring& token, const PasscodeEntry& entry, ULONGLONG now) const {
  PasscodeStatus status;
  const ULONGLONG expires = entry.created + static_cast<ULONGLONG>(options_.passcodeLifetimeSeconds) * 1000;
  if (entry.sendable && !entry.used && !entry.dead && now < expires) {
    status.expireTicks = static_cast<long>((expires - now + 999) / 1000);
  }
  if (!entry.sendable || entry.dead) {
    status.status = kStatusFailure;
  } else if (now < entry.sendStart) {
    status.status = kStatusQueued;
    status.queuePosition = 1;
    for (const auto& other : passcodes_) {
      const PasscodeEntry& o = other.second;
      if (other.first != token && o.sendable && o.sendStart < entry.sendStart && now < o.sendStart) {
        ++status.queuePosition;
      }
    }
  } else if (now < entry.sendDone) {
    status.status = kStatusSending;
  } else {
    status.status = kStatusSent;
  }
  return status;
}

std::optional<PasscodeStatus> Backend::GetStatus(const std::wstring& token) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = passcodes_.find(token);
  if (it == passcodes_.end()) return std::nullopt;
  return StatusOf(token, it->second, GetTickCount64());
}

void Backend::PurgePasscodes(ULONGLONG now) {
  const ULONGLONG lifetime = static_cast<ULONGLONG>(options_.passcodeLifetimeSeconds) * 1000;
  for (auto it = passcodes_.begin(); it != passcodes_.end();) {
    const ULONGLONG end = std::max(it->second.created + lifetime, it->second.sendDone);
    if (now > end + kPasscodeRecordKeepMs) {
      it = passcodes_.erase(it);
    } else {
      ++it;
    }
  }
}

void Backend::DropIdleSessions(ULONGLONG now) {
  const ULONGLONG idle = static_cast<ULONGLONG>(GetOptions().sessionIdleSeconds) * 1000;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (now - it->second->lastUse >= idle) {
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
}

std::shared_ptr<SessionData> Backend::CreateSession(const std::wstring& key) {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  const ULONGLONG now = GetTickCount64();
  DropIdleSessions(now);
  // A new logon under a key that is still known starts from a clean session.
  auto session = std::make_shared<SessionData>();
  session->lastUse = now;
  sessions_[key] = session;
  return session;
}

std::shared_ptr<SessionData> Backend::GetSession(const std::wstring& key) {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  const ULONGLONG now = GetTickCount64();
  DropIdleSessions(now);
  auto it = sessions_.find(key);
  if (it == sessions_.end()) return nullptr;
  it->second->lastUse = now;
  return it->second;
}

void Backend::TouchSession(SessionData& session) {
  std::lock_guard<std::mutex> lock(sessionsMutex_);
  session.lastUse = GetTickCount64();
}

}  // namespace backend
