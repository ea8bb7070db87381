#pragma once
// What the emulated ISA/TMG server knows about its web listeners and its
// users, read from the files the other test beds use: the listeners from the
// configuration store's file, the accounts from the back end's users file.
// Settings that only the emulation has (authentication fallback, cookie
// rotation, password change) are set in code on the loaded records.
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "host/fba.h"

namespace talverin::host {

class IsaConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How a listener answers a request for a protected page that carries no
// valid authentication cookie.
enum class FallbackMode {
  None,       // 302 to the logon form
  Negotiate,  // 401 with "WWW-Authenticate: Negotiate"
  Basic,      // 401 with "WWW-Authenticate: Basic realm=..."
};

struct ListenerConfig {
  // From the store file.
  std::string name;
  std::string persistentName;  // the GUID text reported as "LISTENER_GUID"
  std::string cookieName;
  bool cookieDomainsInUse = false;
  std::vector<std::string> cookieDomains;

  // The emulation's own settings.
  FallbackMode fallback = FallbackMode::None;
  std::string realm = "ISA";
  int formDir = 1;
  // A key is replaced by a new one after this many requests made with it
  // (0: never); the replaced key is still honoured for graceRequests more.
  int rotateAfterRequests = 0;
  int graceRequests = 2;
  // Cookie values wrapped in double quotes, as some ISA/TMG versions send them.
  bool quotedKeys = false;
  // Answers to a replaced key within its grace carry the new key's cookie
  // again, so that connections still using the old key all learn the new one.
  bool repeatSuccessor = false;
  // A published page (canonical path) whose request logs the user off: the
  // proxy forwards it, revokes the key and clears its cookie in the answer,
  // as a publishing rule with a logoff URL does.
  std::string logoffPath;

  // The domain for the cookie of a request to this host name: the first
  // configured domain the host name ends with ("mail.d1.example" and
  // ".d1.example"), none when domains are not in use or none fits.
  std::string CookieDomainFor(std::string_view host) const;
};

struct UserAccount {
  std::string name;  // "DOMAIN\user" or "user@domain", as in the file
  std::string phone;
  std::string password;
  std::string status;  // the back end's status word; the proxy ignores it
  bool mustChangePassword = false;
};

struct IsaOptions {
  size_t requestChunkBytes = 4096;
  size_t responseChunkBytes = 4096;
  // Whether end of request still reaches the filter after it finished a
  // request (see ConnectionOptions).
  bool endOfRequestAfterFinished = true;
  // What the proxy remembers beyond the requests it serves: every client's
  // transcript, and each connection's records of its requests (client
  // writes, notifications, added response headers). A long-running server
  // keeps neither, or it grows with every request.
  bool keepTranscripts = true;
  bool keepConnectionRecords = true;
  // How the proxy reads a request's cookies, where real ISA/TMG's reading is
  // not known: names trimmed, names case-folded, and the cookies of several
  // Cookie lines joined (otherwise only the first line counts).
  CookieReading cookieReading;
  bool cookieLinesJoined = false;
  // The Cookie text the proxy acts on; nullopt when the request has no Cookie
  // line. (The HTTP_COOKIE server variable reports the first line alone.)
  std::optional<std::string> CookieText(const std::vector<std::pair<std::string, std::string>>& fields) const;
};

// "[listener]" sections of the store file: name, persistent-name,
// cookie-name, cookie-domains-in-use, cookie-domain. Other keys and sections
// are the store's own business and are skipped.
std::vector<ListenerConfig> ParseListeners(std::string_view text, const std::string& source = "store");
std::vector<ListenerConfig> LoadListeners(const std::string& path);

// The back end's users file: "name | phone | password | status"; the
// password is everything between the second and the last "|".
std::vector<UserAccount> ParseUsers(std::string_view text, const std::string& source = "users");
std::vector<UserAccount> LoadUsers(const std::string& path);

// The account a posted user name names. Both spellings of an account match
// each other without regard to case ("CONTOSO\alice" = "alice@contoso"); a
// name without a domain matches the one account with that user part, and
// none when several domains hold it.
// The emulation's own settings file, applied over listeners and users
// already loaded; blank lines and lines starting with "#" are skipped:
//   [proxy]
//   request-chunk = 4096            # bytes per raw-data notification
//   response-chunk = 4096
//   end-of-request-after-finished = yes
//   cookie-names-trimmed = yes      # "cadata =K" names cadata
//   cookie-names-case-folded = no   # "CADATA=K" names cadata
//   cookie-lines-joined = no        # two Cookie lines read as one
//   [listener {AAAAAAAA-0000-0000-0000-000000000001}]   # by persistent name
//   fallback = none                 # none, negotiate or basic
//   realm = mail.contoso.test
//   formdir = 1
//   rotate-after = 0                # requests per key; 0: never
//   grace = 2
//   quoted-keys = no
//   logoff-path = /owa/logoff.html   # forwarded, then the key revoked
//   [user CONTOSO\erin]            # any spelling of the account
//   must-change-password = yes
// Unknown sections, keys, listeners or users are errors, so that a typing
// mistake does not silently leave the proxy as it was.
void ApplyEmulationSettings(std::string_view text, std::vector<ListenerConfig>& listeners,
                            std::vector<UserAccount>& users, IsaOptions& options,
                            const std::string& source = "emulation");
void LoadEmulationSettings(const std::string& path, std::vector<ListenerConfig>& listeners,
                           std::vector<UserAccount>& users, IsaOptions& options);

const UserAccount* FindAccount(const std::vector<UserAccount>& users, std::string_view posted);
inline UserAccount* FindAccount(std::vector<UserAccount>& users, std::string_view posted) {
  const auto& constant = users;
  const UserAccount* found = FindAccount(constant, posted);
  return found ? &users[static_cast<size_t>(found - constant.data())] : nullptr;
}

std::string ToLowerAscii(std::string_view text);

// The text helpers every configuration file of the test beds is read with.
// Blanks (space, tab, CR, LF) off both ends.
std::string TrimConfigText(std::string_view text);
// "value   # comment" (or a tab before "#") gives "value".
std::string StripConfigComment(std::string_view value);
// The lines of a text, CR LF or LF; a final line feed ends the last line.
std::vector<std::string> ConfigLines(std::string_view text);

}  // namespace talverin::host
