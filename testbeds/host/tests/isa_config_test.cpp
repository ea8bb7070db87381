// The proxy emulation's building blocks: its configuration files, the
// canonical path, form and cookie reading, and the site's markers.
#include <gmock/gmock.h>

#include "host/fba.h"
#include "host/isa_config.h"
#include "host/published_site.h"

namespace talverin::host {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;

TEST(IsaConfigTest, ListenersAreReadFromTheStoreFileAndItsOtherContentIsSkipped) {
  std::vector<ListenerConfig> listeners = ParseListeners(
      "# store\n[listener]\nname = Exchange OWA\npersistent-name = {A-1}\ncookie-name = cadata\n"
      "fault.listener.name = 0x80004005\n\n[set {347A24CF-D801-4b9a-8F0F-74902FA92D76}]\nEnabled = i4:1\n"
      "cookie-name = not-a-listener-key\n[listener]\r\nname = Portal\r\npersistent-name = {B-2}\r\n"
      "cookie-name = portalauth\r\ncookie-domains-in-use = yes    # comment\r\ncookie-domain = .d1.example\r\n"
      "cookie-domain = .d2.example\r\n[faults]\nweb-listeners.count = 0x1\n");
  ASSERT_EQ(listeners.size(), 2u);
  EXPECT_EQ(listeners[0].name, "Exchange OWA");
  EXPECT_EQ(listeners[0].persistentName, "{A-1}");
  EXPECT_EQ(listeners[0].cookieName, "cadata");
  EXPECT_FALSE(listeners[0].cookieDomainsInUse);
  EXPECT_EQ(listeners[1].cookieName, "portalauth");
  EXPECT_TRUE(listeners[1].cookieDomainsInUse);
  EXPECT_THAT(listeners[1].cookieDomains, ElementsAre(".d1.example", ".d2.example"));
  EXPECT_THROW(ParseListeners("[listener]\nno equals sign\n"), IsaConfigError);
}

TEST(IsaConfigTest, UsersAreReadFromTheBackEndFileWithPasswordsHoldingBars) {
  std::vector<UserAccount> users = ParseUsers(
      "# name | phone | password | status\n\nCONTOSO\\alice | +49 170 1234567 | Secret1 | valid\n"
      "bob@contoso | +44 7700 900123 | pa|ss | bypass\nCONTOSO\\carol |  | x | locked\n");
  ASSERT_EQ(users.size(), 3u);
  EXPECT_EQ(users[0].name, "CONTOSO\\alice");
  EXPECT_EQ(users[0].phone, "+49 170 1234567");
  EXPECT_EQ(users[1].password, "pa|ss");
  EXPECT_EQ(users[1].status, "bypass");
  EXPECT_EQ(users[2].phone, "");
  EXPECT_THROW(ParseUsers("alice | phone | valid\n"), IsaConfigError);
}

TEST(IsaConfigTest, AccountsMatchInEitherSpellingWithoutCaseAndBareNamesOnlyWhenUnique) {
  std::vector<UserAccount> users = ParseUsers(
      "CONTOSO\\alice | | a | valid\nbob@contoso | | b | valid\nFABRIKAM\\alice | | c | valid\n");
  auto name = [&](const char* posted) {
    const UserAccount* account = FindAccount(users, posted);
    return account ? account->name : std::string("-");
  };
  EXPECT_EQ(name("contoso\\ALICE"), "CONTOSO\\alice");
  EXPECT_EQ(name("Alice@Contoso"), "CONTOSO\\alice");
  EXPECT_EQ(name("CONTOSO\\bob"), "bob@contoso");
  EXPECT_EQ(name("bob"), "bob@contoso");
  EXPECT_EQ(name("alice"), "-") << "two domains hold an alice";
  EXPECT_EQ(name("OTHER\\bob"), "-");
  EXPECT_EQ(name(""), "-");
  EXPECT_EQ(name("CONTOSO\\"), "-");
}

TEST(IsaConfigTest, CookieDomainIsTheFirstConfiguredDomainTheHostEndsWith) {
  ListenerConfig listener;
  listener.cookieDomains = {".d1.example", "contoso.test"};
  EXPECT_EQ(listener.CookieDomainFor("mail.d1.example"), "") << "domains not in use";
  listener.cookieDomainsInUse = true;
  EXPECT_EQ(listener.CookieDomainFor("Mail.D1.Example:443"), ".d1.example");
  EXPECT_EQ(listener.CookieDomainFor("contoso.test"), "contoso.test");
  EXPECT_EQ(listener.CookieDomainFor("evilcontoso.test"), "");
  EXPECT_EQ(listener.CookieDomainFor("other.example"), "");
}

TEST(IsaConfigTest, EmulationSettingsApplyToTheNamedListenersUsersAndProxy) {
  std::vector<ListenerConfig> listeners = ParseListeners("[listener]\npersistent-name = {A}\n[listener]\npersistent-name = {B}\n");
  std::vector<UserAccount> users = ParseUsers("CONTOSO\\erin | | x | valid\n");
  IsaOptions options;
  ApplyEmulationSettings(
      "[proxy]\nrequest-chunk = 512\nresponse-chunk = 0\n[listener {B}]\nfallback = negotiate\nrotate-after = 5  # per key\n"
      "grace = 1\nquoted-keys = yes\nformdir = 3\n[user erin@contoso]\nmust-change-password = yes\n",
      listeners, users, options);
  EXPECT_EQ(options.requestChunkBytes, 512u);
  EXPECT_EQ(options.responseChunkBytes, 1u) << "a chunk holds at least one byte";
  EXPECT_EQ(listeners[0].fallback, FallbackMode::None);
  EXPECT_EQ(listeners[1].fallback, FallbackMode::Negotiate);
  EXPECT_EQ(listeners[1].rotateAfterRequests, 5);
  EXPECT_EQ(listeners[1].graceRequests, 1);
  EXPECT_TRUE(listeners[1].quotedKeys);
  EXPECT_EQ(listeners[1].formDir, 3);
  EXPECT_TRUE(users[0].mustChangePassword);

  for (const char* bad : {"[listener {C}]\n", "[user nobody]\n", "[proxy]\nrequest-chunk = many\n",
                          "[listener {A}]\nfallback = ntlm\n", "[listener {A}]\nrotate = 1\n", "grace = 1\n",
                          "[other]\n"}) {
    EXPECT_THROW(ApplyEmulationSettings(bad, listeners, users, options), IsaConfigError) << bad;
  }
}

TEST(IsaConfigTest, ErrorsNameTheSourceAndLine) {
  auto error = [](auto parse) -> std::string {
    try {
      parse();
    } catch (const IsaConfigError& e) {
      return e.what();
    }
    return "no error";
  };
  std::vector<ListenerConfig> listeners = ParseListeners("[listener]\npersistent-name = {A}\n");
  std::vector<UserAccount> users;
  IsaOptions options;
  EXPECT_EQ(error([] { ParseListeners("\n[listener]\nno equals sign\n", "gw.conf"); }),
            "gw.conf(3): expected \"key = value\"");
  EXPECT_EQ(error([] { ParseUsers("# users\nalice | phone | valid\n", "gw.conf"); }),
            "gw.conf(2): expected four fields separated by '|'");
  EXPECT_EQ(error([&] { ApplyEmulationSettings("\n\n[listener {A}]\nrotate = 1\n", listeners, users, options, "gw.conf"); }),
            "gw.conf(4): unknown key \"rotate\"");
}

struct PathCase {
  const char* url;
  const char* canonical;
};

class CanonicalPathTest : public testing::TestWithParam<PathCase> {};

TEST_P(CanonicalPathTest, ResolvesAsTheServerDoes) { EXPECT_EQ(CanonicalPath(GetParam().url), GetParam().canonical); }

INSTANTIATE_TEST_SUITE_P(
    Table, CanonicalPathTest,
    testing::Values(PathCase{"/owa/", "/owa/"}, PathCase{"/OWA/Inbox.html?x=../y", "/owa/inbox.html"},
                    PathCase{"/rpc/../owa/", "/owa/"}, PathCase{"/a/b/../../../../etc", "/etc"},
                    PathCase{"//owa//inbox.html", "/owa/inbox.html"}, PathCase{"\\owa\\inbox.html", "/owa/inbox.html"},
                    PathCase{"/owa%2F..%2Fpublic/", "/public/"}, PathCase{"/owa/%2e%2e/public/", "/public/"},
                    PathCase{"/owa/%252e%252e/x", "/owa/%2e%2e/x"}, PathCase{"/owa/.", "/owa/"},
                    PathCase{"/owa/..", "/"}, PathCase{"", "/"}, PathCase{"/bad%zz", "/bad%zz"},
                    PathCase{"/CookieAuth.dll?GetLogon?curl=/owa/", "/cookieauth.dll"}));

TEST(FormFieldsTest, FirstFieldOfANameInExactCaseIsTaken) {
  FormFields form = FormFields::Parse("username=CONTOSO%5Calice&password=a+b%26c&password=second&Curl=x&flag&&=v");
  EXPECT_EQ(form.First("username"), "CONTOSO\\alice");
  EXPECT_EQ(form.First("password"), "a b&c");
  EXPECT_EQ(form.First("curl"), "");
  EXPECT_EQ(form.First("Curl"), "x");
  EXPECT_TRUE(form.Has("flag"));
  EXPECT_EQ(form.All().size(), 6u);
}

TEST(CookieValueTest, FirstCookieOfTheExactNameWithoutSurroundingBlanks) {
  EXPECT_EQ(CookieValue("a=1; cadata=KEY ; cadata=OTHER", "cadata"), "KEY");
  EXPECT_EQ(CookieValue("xcadata=1; cadata=2", "cadata"), "2");
  EXPECT_EQ(CookieValue("CADATA=1", "cadata"), std::nullopt);
  EXPECT_EQ(CookieValue("cadata=", "cadata"), "");
  EXPECT_EQ(KeyOfCookieValue("\"ABC\""), "ABC");
  EXPECT_EQ(KeyOfCookieValue("\"ABC"), "\"ABC");
}

TEST(FbaSessionsTest, RotatedKeyIsHonouredForItsGraceThenForgotten) {
  FbaSessions sessions;
  std::string key = sessions.Issue("CONTOSO\\alice", "{L}", false);
  EXPECT_EQ(key.size(), 32u);
  EXPECT_EQ(sessions.Use(key, "{OTHER}"), nullptr) << "a key belongs to its listener";
  ASSERT_NE(sessions.Use(key, "{L}"), nullptr);
  EXPECT_FALSE(sessions.RotateIfDue(key, 2, 1));
  sessions.Use(key, "{L}");
  std::optional<std::string> successor = sessions.RotateIfDue(key, 2, 1);
  ASSERT_TRUE(successor);
  EXPECT_NE(*successor, key);
  EXPECT_FALSE(sessions.RotateIfDue(key, 2, 1)) << "a replaced key is not replaced again";
  EXPECT_EQ(sessions.Use(*successor, "{L}")->user, "CONTOSO\\alice");
  EXPECT_NE(sessions.Use(key, "{L}"), nullptr);
  EXPECT_EQ(sessions.Use(key, "{L}"), nullptr);
  EXPECT_EQ(sessions.Find(key), nullptr);
}

// What a browser reads of a page: the HTML with its comments taken out.
std::string WithoutComments(std::string html) {
  for (size_t open = html.find("<!--"); open != std::string::npos; open = html.find("<!--", open)) {
    size_t close = html.find("-->", open + 4);
    html.erase(open, close == std::string::npos ? std::string::npos : close + 3 - open);
  }
  return html;
}

TEST(PublishedSiteTest, MailPagesAreWholeHtmlWithTheMarkersHiddenInComments) {
  PublishedSite site;
  SiteRequest request;
  request.canonicalPath = "/owa/inbox.html";
  request.user = "CONTOSO\\ann & <bob> with a name long enough for two lines";
  const std::string body = site.Serve(request).body;
  size_t lineStart = 0;
  for (size_t end = body.find('\n'); end != std::string::npos; end = body.find('\n', lineStart)) {
    EXPECT_LE(end + 1 - lineStart, kMarkerSpacing) << body.substr(lineStart, end - lineStart);
    EXPECT_EQ(body.compare(lineStart, kSiteMarker.size(), kSiteMarker), 0) << body.substr(lineStart, end - lineStart);
    lineStart = end + 1;
  }
  EXPECT_EQ(lineStart, body.size()) << "the page ends with a whole line";

  const std::string shown = WithoutComments(body);
  // Only the opening lines' markers stay, as text the style sheet hides.
  EXPECT_EQ(shown.find(kSiteMarker, shown.find('\n') + 1 + kSiteMarker.size()), std::string::npos) << shown;
  EXPECT_THAT(shown, HasSubstr("<h1>Inbox of CONTOSO\\ann &amp; &lt;bob&gt; with a name long enough for two lines</h1>"));
  EXPECT_THAT(shown, HasSubstr("<link rel=\"stylesheet\" href=\"/owa/site.css\">"));
  EXPECT_THAT(shown, HasSubstr("<td>Parking garage closed on Friday</td>"));
  EXPECT_THAT(shown, HasSubstr("<title>Inbox of CONTOSO\\ann &amp; &lt;bob</title>"))
      << "a title is one line, cut to fit";
}

TEST(PublishedSiteTest, EveryRunOfSiteBytesALineLongCarriesTheMarker) {
  PublishedSite site(100 * 1024);
  for (const char* path :
       {"/owa/", "/owa/inbox.html", "/owa/settings.html", "/owa/site.css", "/download/big.bin", "/nothing-here"}) {
    SiteRequest request;
    request.canonicalPath = path;
    request.user = "CONTOSO\\a-user-with-a-rather-long-name-to-fill-the-title";
    std::string body = site.Serve(request).body;
    EXPECT_TRUE(CarriesSitePage(body, path)) << path;
    size_t window = kMarkerSpacing + kSiteMarker.size();
    for (size_t at = 0; at + window <= body.size(); at += 7) {
      ASSERT_TRUE(CarriesSiteContent(std::string_view(body).substr(at, window))) << path << " at " << at;
    }
  }
  EXPECT_EQ(site.Received().size(), 6u);

  site.AnswerWith("/owa/", 500, "Internal Server Error");
  SiteRequest owa;
  owa.canonicalPath = "/owa/";
  SiteResponse failed = site.Serve(owa);
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.reason, "Internal Server Error");
  EXPECT_TRUE(CarriesSitePage(failed.body, "/owa/"));
  EXPECT_FALSE(CarriesSiteContent(LogonFormPage("/owa/", 2, 1) + PasswordChangePage("u", "/") + LogoffPage()));
  EXPECT_THAT(LogonFormPage("/a\"><script>", 0, 3), HasSubstr("value=\"/a&quot;&gt;&lt;script&gt;\""));
}

}  // namespace
}  // namespace talverin::host
