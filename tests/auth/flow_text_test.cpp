// The text decisions of the logon flow: cookies, locations, form fields and which URLs belong to ISA/TMG or to the
// filter; the user name read from the form or the lgn cookie is walked by the request body stage tests.
#include <gtest/gtest.h>

#include "auth/flow_text.h"
#include "config/url_canonical.h"

namespace talverin {
namespace {

TEST(FindCookieTest, ReadsTheListenersCookieExactlyOnce) {
  using M = CookieMatch;
  struct Row {
    const char* text;
    CookieMatch match;
    const char* value;
  };
  const Row rows[] = {
      {"", M::Absent, ""}, {"other=1; lgn=x", M::Absent, ""}, {"cookieauth=\"abc\"; other=2", M::Found, "abc"},
      {"a=1; cookieauth=last", M::Found, "last"}, {"  cookieauth=k1  ", M::Found, "k1"},
      {"cookieauth=; path=/", M::Found, ""},
      // Look-alikes: only inside another name, or twice.
      {"xcookieauth=forged", M::Ambiguous, ""}, {"xcookieauth=forged; cookieauth=real", M::Found, "real"},
      {"cookieauth=a; cookieauth=b", M::Ambiguous, ""}, {"other=cookieauth=v", M::Ambiguous, ""},
      // Spellings a proxy may take for the cookie: trimmed, case-folded, quoted.
      {"cookieauth =k", M::Found, "k"}, {"cookieauth\t=k", M::Found, "k"}, {"COOKIEAUTH=k", M::Found, "k"},
      {"CookieAuth=\"k\"", M::Found, "k"}, {"a=1; cookieauth = k ; b=2", M::Found, "k"},
      {"cookieauth=a; COOKIEAUTH=b", M::Ambiguous, ""}, {"cookieauth=a; cookieauth =a", M::Ambiguous, ""},
      {"x=cookieauth =k", M::Ambiguous, ""},
  };
  for (const Row& r : rows) {
    const CookieLookup lookup = FindCookie(r.text, "cookieauth");
    EXPECT_EQ(r.match, lookup.match) << r.text;
    EXPECT_EQ(r.value, lookup.value) << r.text;
  }
  EXPECT_EQ(M::Absent, FindCookie("a=b", "").match);  // an empty name matches nothing
}

TEST(FindSessionKey, TheHostsJoinedTextAndTheRequestsOwnLinesMustAgree) {
  EXPECT_EQ("k", FindSessionKey("a=1; cookieauth=k", {"a=1", "cookieauth=k"}, "cookieauth").value);
  EXPECT_EQ("k", FindSessionKey("", {"a=1", "cookieauth=k"}, "cookieauth").value);
  EXPECT_EQ("k", FindSessionKey("cookieauth=k", {}, "cookieauth").value);
  EXPECT_EQ(CookieMatch::Ambiguous, FindSessionKey("cookieauth=k; cookieauth=j", {}, "cookieauth").match);
  // A second line naming the cookie: the host's joined text may have kept only one of them.
  EXPECT_EQ(CookieMatch::Ambiguous,
            FindSessionKey("cookieauth=k", {"cookieauth=k", "cookieauth=j"}, "cookieauth").match);
  EXPECT_EQ(CookieMatch::Ambiguous, FindSessionKey("cookieauth=k", {"cookieauth=j"}, "cookieauth").match);
  EXPECT_EQ(CookieMatch::Absent, FindSessionKey("", {}, "cookieauth").match);
}

TEST(Locations, KeepThePathAndQueryOfAbsoluteUrlsAndPaths) {
  EXPECT_EQ("/owa/?a=1", StripLocation("https://mail.example/owa/?a=1 "));
  EXPECT_EQ("/owa/?a=1", StripLocation(" /owa/?a=1"));
  EXPECT_EQ("", StripLocation("//evil.example/owa/"));
  EXPECT_EQ("", StripLocation("/\\evil.example/owa/"));
  EXPECT_EQ("", StripLocation("owa/"));
  EXPECT_EQ("", StripLocation("https://mail.example"));
  EXPECT_TRUE(IsIsaTmgPage(CanonicalLocation("https://mail.example/CookieAuth.dll?GetLogon?reason=0")));
  EXPECT_TRUE(IsIsaTmgPage(CanonicalLocation("/CookieAuth.dll?GetLogon")));
  EXPECT_FALSE(IsIsaTmgPage(CanonicalLocation("https://evil.example/?cookieauth.dll")));
  EXPECT_FALSE(IsIsaTmgPage(CanonicalLocation("cookieauth.dll")));
}

// Climbing out, paths below it and more URL spellings are rows of the stage and end-to-end tables.
TEST(IsaTmgUrls, AreJudgedOnTheCanonicalForm) {
  EXPECT_TRUE(IsIsaTmgPage(CanonicalizeUrl("/CookieAuth.dll?GetLogon?curl=Z2F")));
  EXPECT_FALSE(IsIsaTmgPage(CanonicalizeUrl("/cookieauth.dllx")));
  EXPECT_FALSE(IsIsaTmgPage(CanonicalizeUrl("/x/cookieauth.dll")));
  EXPECT_TRUE(IsIsaTmgLogonPost(CanonicalizeUrl("/CookieAuth.dll?Logon")));
  EXPECT_TRUE(IsIsaTmgLogonPost(CanonicalizeUrl("//cookieauth%2Edll?logon")));
  // ISA/TMG reads the command word, whatever follows it and however spelled.
  EXPECT_TRUE(IsIsaTmgLogonPost(CanonicalizeUrl("/cookieauth.dll?%4cogon")));
  EXPECT_FALSE(IsIsaTmgLogonPost(CanonicalizeUrl("/cookieauth.dll?getlogon")));
  EXPECT_FALSE(IsIsaTmgLogonPost(CanonicalizeUrl("/cookieauth.dll/x?logon")));
  EXPECT_TRUE(IsIsaTmgGetLogon(CanonicalizeUrl("/CookieAuth.dll?GetLogon?reason=0")));
  EXPECT_FALSE(IsIsaTmgPage(std::nullopt));
}

TEST(IsSameSiteUrl, FollowsOnlyPathsAndUrlsOfTheRequestsHost) {
  EXPECT_TRUE(IsSameSiteUrl("/CookieAuth.dll?GetLogon?reason=0", "mail.example"));
  EXPECT_TRUE(IsSameSiteUrl("https://Mail.Example/CookieAuth.dll", "mail.example"));
  EXPECT_TRUE(IsSameSiteUrl("http://mail.example:8080/x", "mail.example:8080"));
  EXPECT_FALSE(IsSameSiteUrl("//evil.example/cookieauth.dll", "mail.example"));
  EXPECT_FALSE(IsSameSiteUrl("/\\evil.example/cookieauth.dll", "mail.example"));
  EXPECT_FALSE(IsSameSiteUrl("https://evil.example/cookieauth.dll", "mail.example"));
  EXPECT_FALSE(IsSameSiteUrl("https://mail.example@evil.example/", "mail.example"));
  EXPECT_FALSE(IsSameSiteUrl("https://mail.example.evil.example/", "mail.example"));
  EXPECT_FALSE(IsSameSiteUrl("javascript:alert(1)", "mail.example"));
  EXPECT_FALSE(IsSameSiteUrl("https://mail.example/", ""));
}

}  // namespace
}  // namespace talverin
