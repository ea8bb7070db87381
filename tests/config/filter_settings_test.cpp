#include "config/filter_settings.h"

#include <gtest/gtest.h>
#include <mbstring.h>

#include <cstdint>
#include <string>
#include <utility>

#include "config/settings_registry.h"

namespace talverin {
namespace {

using test::SettingsKey;

class FilterSettingsRegistryTest : public testing::Test {
 protected:
  SettingsKey key_;
  FilterSettings settings_;
};

TEST_F(FilterSettingsRegistryTest, MissingKeyGivesEveryDefault) {
  EXPECT_FALSE(settings_.Load());
  EXPECT_EQ(settings_.Language(), "en");
  EXPECT_EQ(settings_.TraceLevel(), 0u);
  EXPECT_EQ(settings_.BlockMaxTime(), 120);
  EXPECT_EQ(settings_.BlockMaxRetryCount(), 10);
  EXPECT_EQ(settings_.DefaultDomain(), "");
  EXPECT_TRUE(settings_.FallbackFromFBAForbidden());
}

TEST_F(FilterSettingsRegistryTest, ReadsAllSixValues) {
  ASSERT_TRUE(key_.SetText("Language", "de"));
  ASSERT_TRUE(key_.SetDword("TraceLevel", 2));
  ASSERT_TRUE(key_.SetDword("BlockMaxTime", 30));
  ASSERT_TRUE(key_.SetDword("BlockMaxRetryCount", 0xFFFFFFFF));
  ASSERT_TRUE(key_.SetText("DefaultDomain", "CORP"));
  ASSERT_TRUE(key_.SetDword("FallbackFromFBAForbidden", 0));
  EXPECT_TRUE(settings_.Load());
  EXPECT_EQ(settings_.Language(), "de");
  EXPECT_EQ(settings_.TraceLevel(), 2u);
  EXPECT_EQ(settings_.BlockMaxTime(), 30);
  EXPECT_EQ(settings_.BlockMaxRetryCount(), -1);  // signed
  EXPECT_EQ(settings_.DefaultDomain(), "CORP");
  EXPECT_FALSE(settings_.FallbackFromFBAForbidden());
}

// The refusal of a fall-back from forms to other logons is off only by an
// explicit value other than one.
TEST_F(FilterSettingsRegistryTest, FallbackIsForbiddenUnlessAnotherValueIsStored) {
  ASSERT_TRUE(key_.SetText("Language", "en"));
  settings_.Load();
  EXPECT_TRUE(settings_.FallbackFromFBAForbidden());
  const std::pair<DWORD, bool> rows[] = {{1, true}, {0, false}, {2, false}, {0x101, false}};
  for (const auto& [value, forbidden] : rows) {
    ASSERT_TRUE(key_.SetDword("FallbackFromFBAForbidden", value));
    settings_.Load();
    EXPECT_EQ(settings_.FallbackFromFBAForbidden(), forbidden) << value;
  }
}

TEST_F(FilterSettingsRegistryTest, ValuesFollowTheTypeAndSizeRules) {
  ASSERT_TRUE(key_.SetText("DefaultDomain", "%USERDOMAIN%", REG_EXPAND_SZ));  // taken as stored, not expanded
  ASSERT_TRUE(key_.SetDword("Language", 7));                                 // a number for a text: the default
  const unsigned char four[4] = {5, 0, 0, 0};
  const std::uint64_t eight = 7;
  ASSERT_TRUE(key_.SetRaw("BlockMaxTime", REG_BINARY, four, sizeof four));          // four bytes: taken
  ASSERT_TRUE(key_.SetRaw("BlockMaxRetryCount", REG_QWORD, &eight, sizeof eight));  // too long: default
  ASSERT_TRUE(key_.SetRaw("TraceLevel", REG_BINARY, four, 2));                      // too short: default
  settings_.Load();
  EXPECT_EQ(settings_.DefaultDomain(), "%USERDOMAIN%");
  EXPECT_EQ(settings_.Language(), "en");
  EXPECT_EQ(settings_.BlockMaxTime(), 5);
  EXPECT_EQ(settings_.BlockMaxRetryCount(), 10);
  EXPECT_EQ(settings_.TraceLevel(), 0u);

  ASSERT_TRUE(key_.SetRaw("Language", REG_SZ, "fr", 2));  // no terminating zero stored
  ASSERT_TRUE(key_.SetRaw("DefaultDomain", REG_SZ, "", 0));
  settings_.Load();
  EXPECT_EQ(settings_.Language(), "fr");
  EXPECT_EQ(settings_.DefaultDomain(), "");
  ASSERT_TRUE(key_.SetRaw("DefaultDomain", REG_SZ, "AB\0CD", 6));
  settings_.Load();
  EXPECT_EQ(settings_.DefaultDomain(), "AB");
}

class WebListenerAccessTest : public testing::Test {
 protected:
  void SetUp() override {
    WebListenerInfo& mail = map_["{MAIL}"];
    mail.FBACookieName = "cadata";
    mail.Enabled = mail.RpcOverHttpAllowed = mail.AutoDiscoverAllowed = true;
    mail.FBACookieDomains = {".example.com", ".corp.example.com"};
    mail.CustomExclusionList = {"/docs/", "/Public/"};
    WebListenerInfo& portal = map_["{PORTAL}"];
    portal.ActiveSyncAllowed = true;
    portal.FBACookieDomains = {".a.test", ".b.test"};
    settings_.SaveWebListeners(map_);
  }

  WebListenerMap map_;
  FilterSettings settings_;
};

TEST_F(WebListenerAccessTest, FlagsAndCookieNameComeFromTheListener) {
  EXPECT_TRUE(settings_.Enabled("{MAIL}"));
  EXPECT_TRUE(settings_.RpcOverHttpAllowed("{MAIL}"));
  EXPECT_FALSE(settings_.ActiveSyncAllowed("{MAIL}"));
  EXPECT_TRUE(settings_.AutoDiscoverAllowed("{MAIL}"));
  EXPECT_EQ(settings_.FBACookieName("{MAIL}"), "cadata");
  EXPECT_FALSE(settings_.Enabled("{PORTAL}"));
  EXPECT_FALSE(settings_.RpcOverHttpAllowed("{PORTAL}"));
  EXPECT_TRUE(settings_.ActiveSyncAllowed("{PORTAL}"));
  // Loading the registry values leaves the listeners alone.
  settings_.Load();
  EXPECT_TRUE(settings_.Enabled("{MAIL}"));
}

TEST_F(WebListenerAccessTest, UnknownOrDifferentlyCasedListenerAnswersFallbacksWithoutAdding) {
  for (const char* id : {"{NONE}", "{mail}", ""}) {
    SCOPED_TRACE(id);
    EXPECT_FALSE(settings_.Enabled(id));
    EXPECT_FALSE(settings_.RpcOverHttpAllowed(id));
    EXPECT_FALSE(settings_.ActiveSyncAllowed(id));
    EXPECT_FALSE(settings_.AutoDiscoverAllowed(id));
    EXPECT_FALSE(settings_.IsInCustomExclusionList(id, "/docs/a"));
    EXPECT_EQ(settings_.FBACookieName(id), "");
    EXPECT_EQ(settings_.MatchFBACookieDomain(id, "www.example.com"), "");
  }
  EXPECT_EQ(settings_.WebListenerCount(), 2u);
}

TEST_F(WebListenerAccessTest, ExclusionListMatchesPrefixOfLoweredUrl) {
  EXPECT_TRUE(settings_.IsInCustomExclusionList("{MAIL}", "/DOCS/a.htm"));
  EXPECT_TRUE(settings_.IsInCustomExclusionList("{MAIL}", "/docs/"));
  EXPECT_FALSE(settings_.IsInCustomExclusionList("{MAIL}", "/x/docs/a.htm"));
  EXPECT_FALSE(settings_.IsInCustomExclusionList("{MAIL}", "/doc"));
  // An entry stored with an upper-case letter can never match a lowered URL.
  EXPECT_FALSE(settings_.IsInCustomExclusionList("{MAIL}", "/Public/a"));
  EXPECT_FALSE(settings_.IsInCustomExclusionList("{PORTAL}", "/docs/a"));  // empty list
}

TEST_F(WebListenerAccessTest, CookieDomainIsFirstInListOrderThatOccurs) {
  EXPECT_EQ(settings_.MatchFBACookieDomain("{PORTAL}", "host.b.test"), ".b.test");
  EXPECT_EQ(settings_.MatchFBACookieDomain("{PORTAL}", "x.b.test and y.a.test"), ".a.test");
  EXPECT_EQ(settings_.MatchFBACookieDomain("{MAIL}", "www.corp.example.com"), ".example.com");
  EXPECT_EQ(settings_.MatchFBACookieDomain("{MAIL}", "WWW.EXAMPLE.COM"), "");  // case-sensitive
}

TEST_F(WebListenerAccessTest, SaveReplacesTheMapWithAnIndependentCopy) {
  WebListenerMap next;
  next["{NEW}"].Enabled = true;
  next["{NEW}"].CustomExclusionList = {"/a/"};
  settings_.SaveWebListeners(next);
  next["{NEW}"].Enabled = false;
  next["{NEW}"].CustomExclusionList.clear();
  EXPECT_TRUE(settings_.Enabled("{NEW}"));
  EXPECT_TRUE(settings_.IsInCustomExclusionList("{NEW}", "/a/b"));
  EXPECT_FALSE(settings_.Enabled("{MAIL}"));
  EXPECT_EQ(settings_.WebListenerCount(), 1u);
}

}  // namespace
}  // namespace talverin

// Lowered as the C library's multibyte lowering does, ASCII text and text up
// to a NUL included.
TEST(LowerCaseMultibyteTest, LowersAsTheCLibraryDoes) {
  const std::string texts[] = {"/OWA/Inbox.HTML?A=B", "", "/A\0B/C", "/\xC4\xD6/Ab", "@[`{Z", std::string("/X\0\xC4Y", 5)};
  for (const std::string& text : texts) {
    std::string expected = text;
    if (!expected.empty()) _mbslwr(reinterpret_cast<unsigned char*>(&expected[0]));
    EXPECT_EQ(talverin::LowerCaseMultibyte(text), expected) << text;
  }
}
