#pragma once
// The users file: who may log on, where the passcode goes, and what the user
// check answers for them.
#include <optional>
#include <string>
#include <vector>

namespace backend {

// Codes of CheckAuthenticationAllowed.
enum UserStatus : long {
  kUserNotFound = 1,
  kUserLockedOut = 2,
  kUserDenied = 3,
  kUserMayBypass = 4,
  kUserValid = 5,
};

struct UserRecord {
  std::wstring name;   // as written in the file
  std::wstring key;    // canonical "domain\user", lower case
  std::wstring phone;  // may be empty
  std::wstring password;
  long status = kUserValid;
};

// "DOMAIN\user" and "user@domain" both give "domain\user" in lower case;
// nullopt when the name has no domain or an empty part.
std::optional<std::wstring> CanonicalUserName(const std::wstring& name);

// Parses the whole file. Throws BackendError "FILE(LINE): reason" for the
// first bad line; a name given twice is a bad line too.
std::vector<UserRecord> ParseUsers(const std::wstring& text, const std::wstring& fileName);

}  // namespace backend
