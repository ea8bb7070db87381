#pragma once
// The service behind the automation objects: users, passcodes and their text
// messages, sessions, the outbox and the audit trail. One per process, shared
// by every object and every client of that process.
#include <windows.h>

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crypto.h"
#include "users.h"

namespace backend {

struct Options {
  std::wstring usersFile;
  std::wstring dataDir;  // with a trailing backslash
  long sessionIdleSeconds = 1200;
  long passcodeLifetimeSeconds = 300;
  long queueSeconds = 1;
  long sendSeconds = 2;
};

// Status codes of a text message.
enum PasscodeState : long {
  kStatusNone = 0,
  kStatusQueued = 1,
  kStatusSending = 2,
  kStatusSent = 3,
  kStatusFailure = 4,
  kStatusSkipped = 5,
  kStatusUnknown = 6,
};

struct PasscodeStatus {
  long status = kStatusUnknown;
  long queuePosition = 0;
  long expireTicks = 0;  // seconds the passcode stays valid
};

// The members of one session; the session object locks it around each access.
struct SessionData {
  std::mutex mutex;
  long state = 0;
  std::wstring url;
  std::wstring fbaCookieDomain;
  std::wstring username;
  std::wstring password;
  std::wstring token;
  bool bypass = false;
  long checkResult = 0;
  ULONGLONG lastUse = 0;  // under the store's lock
  ~SessionData();
};

class Backend {
 public:
  static Backend& Instance();

  Options GetOptions();
  // Sets one option by its registry value name; throws BackendError for an
  // unknown name or a bad value.
  void SetOption(const std::wstring& name, const std::wstring& value);

  long CheckAuthenticationAllowed(const std::wstring& user, const std::wstring& clientAddress);
  std::wstring RequestPasscode(const std::wstring& user);
  bool Authenticate(const std::wstring& token, const std::wstring& passcode);
  void ReportPasswordAuthenticationStatus(const std::wstring& user, bool accepted);
  std::optional<PasscodeStatus> GetStatus(const std::wstring& token);

  std::shared_ptr<SessionData> CreateSession(const std::wstring& key);
  std::shared_ptr<SessionData> GetSession(const std::wstring& key);
  // Marks the session as used now, so that it is not dropped as idle.
  void TouchSession(SessionData& session);

 private:
  Backend();

  struct PasscodeEntry {
    std::wstring user;  // as the caller wrote it
    Salt salt{};
    Digest hash{};
    bool sendable = false;  // false: no message goes out and nothing can authenticate
    ULONGLONG created = 0, sendStart = 0, sendDone = 0;  // milliseconds
    int wrongAttempts = 0;
    bool used = false;
    bool dead = false;
  };

  // Under mutex_.
  std::optional<UserRecord> FindUser(const std::wstring& name);
  void LoadUsersIfChanged();
  void PurgePasscodes(ULONGLONG now);
  void DropIdleSessions(ULONGLONG now);
  PasscodeStatus StatusOf(const std::wstring& token, const PasscodeEntry& entry, ULONGLONG now) const;
  void Audit(const std::wstring& line);
  void Outbox(const std::wstring& line);

  std::mutex mutex_;
  Options options_;

  std::vector<UserRecord> users_;
  std::wstring usersLoadedFrom_;
  FILETIME usersStamp_{};
  ULONGLONG usersSize_ = 0;
  std::optional<std::wstring> usersError_;

  std::map<std::wstring, PasscodeEntry> passcodes_;  // by token
  ULONGLONG lastSendDone_ = 0;

  std::mutex sessionsMutex_;
  std::map<std::wstring, std::shared_ptr<SessionData>> sessions_;
};

// "2026-12-06T21:40:00Z": the stamp of audit and outbox lines.
std::wstring UtcStamp();

}  // namespace backend
