#include "config/filter_settings.h"

#include <gtest/gtest.h>
#include <mbstring.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "config/settings_registry.h"

namespace talverin {
namespace {

struct RegistryValue {
  const char* name;
  DWORD type;
  std::string data;
};

RegistryValue Number(const char* name, DWORD value) {
  return {name, REG_DWORD, std::string(reinterpret_cast<const char*>(&value), sizeof value)};
}

RegistryValue Text(const char* name, const char* text) { return {name, REG_SZ, std::string(text) + '\0'}; }

// Whether the key opened, then the six values, as one line.
std::string Loaded(FilterSettings& settings) {
  const bool opened = settings.Load();
  return std::to_string(opened) + "|" + settings.Language() + "|" + std::to_string(settings.TraceLevel()) + "|" +
         std::to_string(settings.BlockMaxTime()) + "|" + std::to_string(settings.BlockMaxRetryCount()) + "|" +
         settings.DefaultDomain() + "|" + std::to_string(settings.FallbackFromFBAForbidden());
}

// Numbers are taken whatever their type when four bytes long; texts only as
// REG_SZ or REG_EXPAND_SZ (not expanded), up to the first zero. The refusal of
// a fall-back from forms to other logons is off only by a value other than one.
TEST(FilterSettingsRegistryTest, ValuesFollowTheTypeAndSizeRules) {
  const std::uint64_t seven = 7;
  const std::pair<std::vector<RegistryValue>, const char*> rows[] = {
      {{}, "0|en|0|120|10||1"},
      {{Text("Language", "de"), Number("TraceLevel", 2), Number("BlockMaxTime", 30),
        Number("BlockMaxRetryCount", 0xFFFFFFFF), Text("DefaultDomain", "CORP"), Number("FallbackFromFBAForbidden", 0)},
       "1|de|2|30|-1|CORP|0"},
      {{Number("FallbackFromFBAForbidden", 0x101), {"Language", REG_SZ, ""}}, "1|en|0|120|10||0"},
      {{{"DefaultDomain", REG_EXPAND_SZ, std::string("%USERDOMAIN%", 13)}, Number("Language", 7),
        {"BlockMaxTime", REG_BINARY, std::string("\5\0\0\0", 4)},
        {"BlockMaxRetryCount", REG_QWORD, std::string(reinterpret_cast<const char*>(&seven), sizeof seven)},
        {"TraceLevel", REG_BINARY, std::string("\5\0", 2)}},
       "1|en|0|5|10|%USERDOMAIN%|1"},
      {{{"Language", REG_SZ, "fr"}, {"DefaultDomain", REG_SZ, std::string("AB\0CD", 6)}}, "1|fr|0|120|10|AB|1"}};
  test::SettingsKey key;
  for (const auto& [values, loaded] : rows) {
    SCOPED_TRACE(loaded);
    test::SettingsKey::Remove();
    for (const RegistryValue& v : values) {
      ASSERT_TRUE(key.SetRaw(v.name, v.type, v.data.data(), static_cast<DWORD>(v.data.size())));
    }
    FilterSettings settings;
    EXPECT_EQ(Loaded(settings), loaded);
  }
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
  // Enabled, RPC over HTTP, ActiveSync and AutoDiscover allowed.
  std::vector<bool> Flags(const std::string& id) const {
    return {settings_.Enabled(id), settings_.RpcOverHttpAllowed(id), settings_.ActiveSyncAllowed(id),
            settings_.AutoDiscoverAllowed(id)};
  }

  WebListenerMap map_;
  FilterSettings settings_;
};

// A listener unknown, or known only in another case, answers the fall-backs
// and is not added.
TEST_F(WebListenerAccessTest, FlagsAndCookieNameComeFromTheListener) {
  const std::vector<bool> none(4, false);
  const std::tuple<const char*, std::vector<bool>, const char*> rows[] = {
      {"{MAIL}", {1, 1, 0, 1}, "cadata"}, {"{PORTAL}", {0, 0, 1, 0}, ""}, {"{mail}", none, ""}, {"", none, ""}};
  settings_.Load();  // the registry values leave the listeners alone
  for (const auto& [id, flags, cookie] : rows) {
    EXPECT_EQ(Flags(id), flags) << id;
    EXPECT_EQ(settings_.FBACookieName(id), cookie) << id;
  }
  EXPECT_EQ(settings_.WebListenerCount(), 2u);
}

// Entries match a prefix of the lowered URL: one stored with an upper-case
// letter never matches.
TEST_F(WebListenerAccessTest, ExclusionListMatchesPrefixOfLoweredUrl) {
  const std::tuple<const char*, const char*, bool> rows[] = {
      {"{MAIL}", "/DOCS/a.htm", true}, {"{MAIL}", "/docs/", true},     {"{MAIL}", "/x/docs/a.htm", false},
      {"{MAIL}", "/doc", false},       {"{MAIL}", "/Public/a", false}, {"{PORTAL}", "/docs/a", false},
      {"{NONE}", "/docs/a", false},    {"{mail}", "/docs/a", false}};
  for (const auto& [id, url, excluded] : rows) EXPECT_EQ(settings_.IsInCustomExclusionList(id, url), excluded) << url;
}

// The first domain in list order that occurs in the text, case counting.
TEST_F(WebListenerAccessTest, CookieDomainIsFirstInListOrderThatOccurs) {
  const std::tuple<const char*, const char*, const char*> rows[] = {
      {"{PORTAL}", "host.b.test", ".b.test"}, {"{PORTAL}", "x.b.test and y.a.test", ".a.test"},
      {"{MAIL}", "WWW.EXAMPLE.COM", ""}, {"{mail}", "www.example.com", ""}};
  for (const auto& [id, text, domain] : rows) EXPECT_EQ(settings_.MatchFBACookieDomain(id, text), domain) << text;
}

}  // namespace
}  // namespace talverin

// Lowered as the C library's multibyte lowering does, up to a NUL and past it.
TEST(LowerCaseMultibyteTest, LowersAsTheCLibraryDoes) {
  const std::string texts[] = {"", "/\xC4\xD6/Ab", "@[`{Z", std::string("/X\0\xC4Y", 5)};
  for (const std::string& text : texts) {
    std::string expected = text;
    if (!expected.empty()) _mbslwr(reinterpret_cast<unsigned char*>(&expected[0]));
    EXPECT_EQ(talverin::LowerCaseMultibyte(text), expected) << text;
  }
}
