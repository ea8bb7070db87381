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

// A value's name, type and bytes.
using RegistryValue = std::tuple<const char*, DWORD, std::string>;

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

// Numbers are taken whatever their type when four bytes long; texts only as REG_SZ or REG_EXPAND_SZ (not expanded), up
// to the first zero. The refusal of a fall-back from forms to other logons is off only by a value other than one.
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
    for (const auto& [name, type, data] : values) {
      ASSERT_TRUE(key.SetRaw(name, type, data.data(), static_cast<DWORD>(data.size())));
    }
    FilterSettings settings;
    EXPECT_EQ(Loaded(settings), loaded);
  }
}

// A listener unknown, or known only in another case, answers the fall-backs and is not added. Exclusion entries match a
// prefix of the lowered URL: one stored with an upper-case letter never matches. The cookie domain is the first in list
// order that occurs in the text, case counting.
TEST(WebListenerAccessTest, SettingsComeFromTheListenerOfThatId) {
  WebListenerMap map;
  WebListenerInfo& mail = map["{MAIL}"];
  mail.FBACookieName = "cadata";
  mail.Enabled = mail.RpcOverHttpAllowed = mail.AutoDiscoverAllowed = true;
  mail.FBACookieDomains = {".example.com", ".corp.example.com"};
  mail.CustomExclusionList = {"/docs/", "/Public/"};
  WebListenerInfo& portal = map["{PORTAL}"];
  portal.ActiveSyncAllowed = true;
  portal.FBACookieDomains = {".a.test", ".b.test"};
  FilterSettings settings;
  settings.SaveWebListeners(map);
  settings.Load();  // the registry values leave the listeners alone

  // Enabled, RPC over HTTP, ActiveSync and AutoDiscover allowed; the cookie name.
  const std::vector<bool> none(4, false);
  const std::tuple<const char*, std::vector<bool>, const char*> listeners[] = {
      {"{MAIL}", {1, 1, 0, 1}, "cadata"}, {"{PORTAL}", {0, 0, 1, 0}, ""}, {"{mail}", none, ""}, {"", none, ""}};
  for (const auto& [id, flags, cookie] : listeners) {
    const std::vector<bool> read = {settings.Enabled(id), settings.RpcOverHttpAllowed(id),
                                    settings.ActiveSyncAllowed(id), settings.AutoDiscoverAllowed(id)};
    EXPECT_EQ(read, flags) << id;
    EXPECT_EQ(settings.FBACookieName(id), cookie) << id;
  }
  EXPECT_EQ(settings.WebListenerCount(), 2u);

  const std::tuple<const char*, const char*, bool> urls[] = {
      {"{MAIL}", "/DOCS/a.htm", true}, {"{MAIL}", "/docs/", true},     {"{MAIL}", "/x/docs/a.htm", false},
      {"{MAIL}", "/doc", false},       {"{MAIL}", "/Public/a", false}, {"{PORTAL}", "/docs/a", false},
      {"{NONE}", "/docs/a", false},    {"{mail}", "/docs/a", false}};
  for (const auto& [id, url, excluded] : urls) EXPECT_EQ(settings.IsInCustomExclusionList(id, url), excluded) << url;
  const std::tuple<const char*, const char*, const char*> texts[] = {
      {"{PORTAL}", "host.b.test", ".b.test"}, {"{PORTAL}", "x.b.test and y.a.test", ".a.test"},
      {"{MAIL}", "WWW.EXAMPLE.COM", ""}, {"{mail}", "www.example.com", ""}};
  for (const auto& [id, text, domain] : texts) EXPECT_EQ(settings.MatchFBACookieDomain(id, text), domain) << text;
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
