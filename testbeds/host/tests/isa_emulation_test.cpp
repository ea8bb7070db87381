// What the filter's own road tests take on trust from the emulated proxy:
// the forms-based logon with its cookie, key rotation and logoff, and the
// request and response cut into raw-data chunks as the proxy cuts them. No
// filter is loaded, so that only the proxy's own part is judged.
#include <gmock/gmock.h>

#include <regex>

#include "host/browser.h"
#include "host/isa_server.h"

namespace talverin::host {
namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::SizeIs;

const std::string kOrigin = "https://mail.contoso.test";

class IsaEmulationTest : public testing::Test {
 protected:
  Browser MakeBrowser(const std::string& name) {
    BrowserOptions options;
    options.client.name = name;
    return Browser(server_, options);
  }

  Reply LogOn(Browser& browser, const std::string& password) {
    EXPECT_EQ(browser.Visit("/owa/").status, 200);
    return browser.PostForm("/CookieAuth.dll?Logon",
                            {{"curl", "/owa/"}, {"username", "CONTOSO\\alice"}, {"password", password}});
  }

  FilterModule module_;
  PublishedSite site_;
  IsaServer server_{module_,
                    ParseListeners("[listener]\nname = Exchange OWA\npersistent-name = {AAAAAAAA-0000-0000-0000-0001}\n"
                                   "cookie-name = cadata\ncookie-domains-in-use = no\n"),
                    ParseUsers("CONTOSO\\alice | +49 170 1234567 | Secret1 | valid\n"), site_};
};

TEST_F(IsaEmulationTest, LogonRoadRedirectsToTheFormSetsTheCookieAndReturnsToThePage) {
  Browser browser = MakeBrowser("alice");
  Reply first = browser.Get("/owa/inbox.html?view=1");
  EXPECT_EQ(first.status, 302);
  EXPECT_EQ(first.Header("Location"),
            kOrigin + "/CookieAuth.dll?GetLogon?curl=/owa/inbox.html%3Fview%3D1&reason=0&formdir=1");
  Reply form = *browser.Follow(first);
  for (const char* field : {"name=\"username\"", "name=\"password\"", "name=\"curl\" value=\"/owa/inbox.html?view=1\"",
                            "name=\"formdir\" value=\"1\"", "action=\"/CookieAuth.dll?Logon\""}) {
    EXPECT_THAT(form.body, HasSubstr(field));
  }
  Reply posted = browser.PostForm("/CookieAuth.dll?Logon", {{"curl", "/owa/inbox.html?view=1"},
                                                             {"username", "CONTOSO\\alice"},
                                                             {"password", "Secret1"}});
  EXPECT_EQ(posted.status, 302);
  EXPECT_EQ(posted.Header("Location"), kOrigin + "/owa/inbox.html?view=1");
  ASSERT_THAT(posted.SetCookies(), SizeIs(1));
  EXPECT_TRUE(std::regex_match(posted.SetCookies()[0], std::regex("cadata=[0-9A-F]{32}; path=/")))
      << posted.SetCookies()[0];
  EXPECT_FALSE(CarriesSiteContent(browser.Transcript()));
  EXPECT_THAT(site_.Received(), IsEmpty());

  Reply page = *browser.Follow(posted);
  EXPECT_TRUE(CarriesSitePage(page.body, "/owa/inbox.html"));
  ASSERT_THAT(site_.Received(), SizeIs(1));
  EXPECT_EQ(site_.Received()[0].url, "/owa/inbox.html?view=1");
  EXPECT_EQ(site_.Received()[0].user, "CONTOSO\\alice");
  EXPECT_EQ(site_.Received()[0].sessionKey, *browser.Cookie("cadata"));
}

TEST_F(IsaEmulationTest, WrongPasswordGoesBackToTheFormWithReasonTwoAndNoCookie) {
  Browser browser = MakeBrowser("mallory");
  Reply posted = LogOn(browser, "secret1");
  EXPECT_THAT(posted.Header("Location"), HasSubstr("/CookieAuth.dll?GetLogon?curl=/owa/&reason=2&formdir=1"));
  EXPECT_FALSE(browser.Cookie("cadata"));
  EXPECT_FALSE(CarriesSiteContent(browser.Transcript()));
}

TEST_F(IsaEmulationTest, CookieRotatesTheOldKeyLastsItsGraceAndLogoffEndsTheKey) {
  server_.FirstListener().rotateAfterRequests = 3;
  server_.FirstListener().graceRequests = 1;
  Browser browser = MakeBrowser("rotating");
  browser.FollowAll(LogOn(browser, "Secret1"));  // the first request with the key
  const std::string oldKey = *browser.Cookie("cadata");
  EXPECT_THAT(browser.Get("/owa/inbox.html").SetCookies(), IsEmpty());
  Reply rotated = browser.Get("/owa/settings.html");
  EXPECT_TRUE(CarriesSitePage(rotated.body, "/owa/settings.html")) << "answered as usual";
  const std::string newKey = *browser.Cookie("cadata");
  EXPECT_NE(newKey, oldKey);
  EXPECT_THAT(rotated.SetCookies(), ElementsAre("cadata=" + newKey + "; path=/"));

  Browser stale = MakeBrowser("stale");
  stale.SetCookie("cadata", oldKey);
  EXPECT_EQ(stale.Get("/owa/").status, 200) << "within the grace";
  EXPECT_EQ(stale.Get("/owa/").status, 302) << "grace used up";

  EXPECT_THAT(browser.Get("/CookieAuth.dll?Logoff").SetCookies(),
              ElementsAre("cadata=; path=/; expires=Thu, 01-Jan-1970 00:00:00 GMT"));
  browser.SetCookie("cadata", newKey);
  EXPECT_EQ(browser.Get("/owa/").status, 302);
}

// A server behind the proxy that answers with one body in the pieces it names.
class PiecewiseSite : public SiteServer {
 public:
  SiteResponse Serve(const SiteRequest&) override {
    SiteResponse response;
    response.headers = {{"Content-Type", "text/plain"}};
    response.body = std::string(kSiteMarker) + " page=/scripted\n" + std::string(100, 'x');
    response.bodyChunks = {5, 100, 18};
    return response;
  }
};

TEST_F(IsaEmulationTest, RequestAndResponseArePresentedInChunksAsTheyArrivedAndCutOnlyWhenTooLarge) {
  PiecewiseSite site;
  IsaOptions options;
  options.requestChunkBytes = 16;
  options.responseChunkBytes = 64;
  IsaServer server(module_, ParseListeners("[listener]\nname = A\npersistent-name = {A}\ncookie-name = c\n"), {}, site,
                   options);
  auto connection = server.Connect({});
  const std::vector<std::string_view> pieces = {"GET /public/ HTTP/1.1\r\n", "Host: h\r\n", "\r\n"};
  Exchange exchange = server.Handle(*connection, pieces);
  EXPECT_TRUE(CarriesSitePage(exchange.sent, "/scripted"));
  size_t reads = 0;
  for (const NotificationResult& n : connection->Filter().Notifications()) reads += n.type == SF_NOTIFY_READ_RAW_DATA;
  EXPECT_EQ(reads, 4u) << "16 + 7, then 9 and 2";
  // The header block (66 bytes) in pieces of the proxy's size; then the body
  // as it came, a piece larger than the proxy's size cut.
  std::vector<size_t> sent;
  for (const ClientWrite& write : connection->Filter().ClientWrites()) {
    if (write.source == ClientBytesSource::RawSend) sent.push_back(write.bytes.size());
  }
  EXPECT_THAT(sent, ElementsAre(64, 2, 5, 64, 36, 18));
  EXPECT_THAT(exchange.sent, HasSubstr("Content-Length: 123\r\n"));
}

}  // namespace
}  // namespace talverin::host
