// The test bed's configuration parser: a store that misread its file would make every test through it meaningless.
#include "store_model.h"

#include <gtest/gtest.h>

namespace storebed {
namespace {

TEST(StoreConfigTest, ReadsListenersSetsAndFaults) {
  StoreConfig config = ParseConfig(R"(# comment
[listener]
name = A\tB
persistent-name = {G}
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
  // A mistyped line fails loudly instead of being read as something else.
  EXPECT_THROW(ParseConfig("[listener]\n[set S]\nEnabled = 1\n", "store.conf"), ConfigError);
  EXPECT_THROW(ParseConfig("[listener]\nbogus = 1\n", "store.conf"), ConfigError);
}

}  // namespace
}  // namespace storebed
