// The test bed's configuration parser: a store that silently misreads its
// file would make every test through it meaningless.
#include "store_model.h"

#include <gtest/gtest.h>

namespace storebed {
namespace {

std::string ErrorOf(const std::string& text) {
  try {
    ParseConfig(text, "store.conf");
  } catch (const ConfigError& error) {
    return error.what();
  }
  return "no error";
}

TEST(StoreConfigTest, ReadsListenersSetsAndFaults) {
  StoreConfig config = ParseConfig(R"(# comment
[listener]
name = A\tB
persistent-name = {G}
cookie-name = c
cookie-domains-in-use = yes
cookie-domain = .x
fault.listener.name = 0x80004005
[set {S}]
Enabled = i4:65537
Flag = bool:-1
List = bstr:/a/\r\n/b/
Odd = i4:1 !0x1
[faults]
root.create = 0x80040154
)",
                                   "store.conf");
  ASSERT_EQ(config.listeners.size(), 1u);
  const Listener& l = config.listeners[0];
  EXPECT_EQ(l.name, "A\tB");
  EXPECT_EQ(l.persistentName, "{G}");
  EXPECT_TRUE(l.cookieDomainsInUse);
  EXPECT_EQ(l.cookieDomains, std::vector<std::string>{".x"});
  EXPECT_EQ(l.faults.at("listener.name"), static_cast<std::int32_t>(0x80004005));
  ASSERT_EQ(l.sets.size(), 1u);
  const auto& values = l.sets[0].values;
  EXPECT_EQ(values.at("Enabled").type, ValueType::I4);
  EXPECT_EQ(values.at("Enabled").number, 65537);
  EXPECT_EQ(values.at("Flag").type, ValueType::Bool);
  EXPECT_EQ(values.at("Flag").number, -1);
  EXPECT_EQ(values.at("List").text, "/a/\r\n/b/");
  EXPECT_EQ(values.at("Odd").result, 1);
  EXPECT_EQ(config.faults.at("root.create"), static_cast<std::int32_t>(0x80040154));
}

TEST(StoreConfigTest, BadInputNamesFileAndLine) {
  EXPECT_EQ(ErrorOf("[listener]\nname = a\nbogus = 1\n"), "store.conf:3: unknown listener key \"bogus\"");
  EXPECT_EQ(ErrorOf("\n[set {S}]\n"), "store.conf:2: a [set] must follow a [listener]");
  EXPECT_EQ(ErrorOf("[listener]\n[set S]\nEnabled = i4:x\n"), "store.conf:3: \"x\" is not a number");
  EXPECT_EQ(ErrorOf("[listener]\n[set S]\nEnabled = 1\n"),
            "store.conf:3: value \"1\" has no type (i4:, bool:, bstr: or empty)");
  EXPECT_EQ(ErrorOf("name = a\n"), "store.conf:1: \"name\" outside a section");
  EXPECT_EQ(ErrorOf("[listener]\nname = a\\q\n"), "store.conf:2: unknown escape \"\\q\"");
}

TEST(StoreConfigTest, FaultListFromTheEnvironment) {
  Faults faults = ParseFaultList(" a = 0x1 ;b=0x80004005;", "env");
  EXPECT_EQ(faults.at("a"), 1);
  EXPECT_EQ(faults.at("b"), static_cast<std::int32_t>(0x80004005));
  EXPECT_THROW(ParseFaultList("a", "env"), ConfigError);
}

TEST(WebFiltersFileTest, RoundTrips) {
  WebFilter filter;
  filter.guid = "{F}";
  filter.name = "N";
  filter.dllPath = "A\\B.dll";
  filter.arg1 = 2;
  filter.arg2 = 2;
  filter.vendor = "V\xC2\xAE";
  filter.enabled = true;
  std::vector<WebFilter> back = ParseWebFilters(FormatWebFilters({filter}), "filters");
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].dllPath, "A\\B.dll");
  EXPECT_EQ(back[0].vendor, filter.vendor);
  EXPECT_TRUE(back[0].enabled);
}

}  // namespace
}  // namespace storebed
