#include "config/url_exclusion.h"

#include <gtest/gtest.h>

namespace talverin {
namespace {

ListenerExclusionSettings Protected() {
  ListenerExclusionSettings listener;
  listener.enabled = true;
  return listener;
}

ListenerExclusionSettings AllAllowed() {
  ListenerExclusionSettings listener = Protected();
  listener.rpcOverHttpAllowed = true;
  listener.activeSyncAllowed = true;
  listener.autoDiscoverAllowed = true;
  listener.customExclusionList = {"/public/", "/Upper/"};
  return listener;
}

struct RuleCase {
  const char* url;
  ListenerExclusionSettings listener;
  ExclusionRule rule;
};

std::ostream& operator<<(std::ostream& out, const RuleCase& c) { return out << c.url; }

class UrlExclusionRuleTest : public testing::TestWithParam<RuleCase> {};

TEST_P(UrlExclusionRuleTest, MatchesTheExpectedRule) {
  const RuleCase& c = GetParam();
  EXPECT_EQ(DecideUrlExclusion(c.url, "{L}", c.listener).rule, c.rule);
}

ListenerExclusionSettings RpcOnly() {
  ListenerExclusionSettings listener = Protected();
  listener.rpcOverHttpAllowed = true;
  return listener;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, UrlExclusionRuleTest,
    testing::Values(
        RuleCase{"/owa/", ListenerExclusionSettings{}, ExclusionRule::ListenerNotProtected},
        RuleCase{"/owa/", AllAllowed(), ExclusionRule::None},
        RuleCase{"/ms_proxy_intra_array_auth_query?x", Protected(), ExclusionRule::IntraArray},
        RuleCase{"/MS_Proxy_Intra_Array_Auth_Query", Protected(), ExclusionRule::IntraArray},
        RuleCase{"/favicon.ico", Protected(), ExclusionRule::Favicon},
        RuleCase{"/FAVICON.ICO", Protected(), ExclusionRule::Favicon},
        RuleCase{"/favicon.ico?x=1", Protected(), ExclusionRule::None},
        RuleCase{"/x/../favicon.ico", Protected(), ExclusionRule::None},
        RuleCase{"/rpc/rpcproxy.dll?a:6001", RpcOnly(), ExclusionRule::RpcOverHttp},
        RuleCase{"/Rpc/RpcProxy.dll", Protected(), ExclusionRule::None},
        RuleCase{"/rpc", RpcOnly(), ExclusionRule::None},
        RuleCase{"/Microsoft-Server-ActiveSync?Cmd=Sync", AllAllowed(), ExclusionRule::ActiveSync},
        RuleCase{"/Microsoft-Server-ActiveSync", RpcOnly(), ExclusionRule::None},
        RuleCase{"/autodiscoverx", AllAllowed(), ExclusionRule::AutoDiscover},
        RuleCase{"/AutoDiscover/AutoDiscover.xml", AllAllowed(), ExclusionRule::AutoDiscover},
        RuleCase{"/Public/page.htm", AllAllowed(), ExclusionRule::CustomList},
        RuleCase{"/upper/page.htm", AllAllowed(), ExclusionRule::None},
        RuleCase{"/publicx", AllAllowed(), ExclusionRule::None},
        RuleCase{"http://host/rpc/", AllAllowed(), ExclusionRule::RpcOverHttp},
        RuleCase{"http://host/favicon.ico", AllAllowed(), ExclusionRule::None},
        // Traversal and encoding attempts judged on the canonical form.
        RuleCase{"/rpc/../owa/", RpcOnly(), ExclusionRule::None},
        RuleCase{"/rpc/%2e%2e/owa/", RpcOnly(), ExclusionRule::None},
        RuleCase{"/rpc/..%5cowa/", RpcOnly(), ExclusionRule::None},
        RuleCase{"/rpc/%u002e%u002e/owa/", RpcOnly(), ExclusionRule::None},
        RuleCase{"/rpc/%zz/", RpcOnly(), ExclusionRule::None},
        RuleCase{"/rpc/%c0%ae%c0%ae/owa/", RpcOnly(), ExclusionRule::None},
        RuleCase{"/rpc\\..\\owa/", RpcOnly(), ExclusionRule::None},
        RuleCase{"/rpc/./../owa/", RpcOnly(), ExclusionRule::None},
        RuleCase{"/public/../owa/", AllAllowed(), ExclusionRule::None},
        RuleCase{"/autodiscover/..%2fowa", AllAllowed(), ExclusionRule::None},
        RuleCase{"/rpc/x?y=/../../owa/", RpcOnly(), ExclusionRule::RpcOverHttp},
        // Other spellings of an allowed prefix still pass.
        RuleCase{"/%72pc/rpcproxy.dll", RpcOnly(), ExclusionRule::RpcOverHttp},
        RuleCase{"//rpc//rpcproxy.dll", RpcOnly(), ExclusionRule::RpcOverHttp},
        RuleCase{"/owa/../rpc/x", RpcOnly(), ExclusionRule::RpcOverHttp}));

TEST(UrlExclusionTest, UnprotectedListenerLineNamesTheUrlAsSentAndTheListener) {
  ExclusionDecision decision = DecideUrlExclusion("/OWA/", "{ABC}", ListenerExclusionSettings{});
  EXPECT_EQ(decision.logText, "Url \"/OWA/\" is skipped because the listener \"{ABC}\" is not protected");
  EXPECT_EQ(decision.logLevel, 1u);
}

TEST(UrlExclusionTest, RuleLinesCarryTheLowerCasedUrl) {
  struct Expected {
    const char* url;
    const char* line;
  };
  const Expected cases[] = {
      {"/MS_PROXY_INTRA_ARRAY_AUTH_QUERY", "Url \"/ms_proxy_intra_array_auth_query\" is skipped because it is intra array communication request"},
      {"/Favicon.ico", "Url \"/favicon.ico\" is skipped because it is 'favicon.ico' request"},
      {"/RPC/A", "Url \"/rpc/a\" is skipped because Rpc over Http is allowed."},
      {"/Microsoft-Server-ActiveSync", "Url \"/microsoft-server-activesync\" is skipped because Microsoft Server ActiveSync is allowed."},
      {"/AutoDiscover", "Url \"/autodiscover\" is skipped because AutoDiscover is allowed."},
      {"/PUBLIC/X", "Url \"/public/x\" is skipped because it is in the custom exclusion URL list"},
  };
  for (const Expected& e : cases) {
    ExclusionDecision decision = DecideUrlExclusion(e.url, "{L}", AllAllowed());
    EXPECT_TRUE(decision.Excluded()) << e.url;
    EXPECT_EQ(decision.logText, e.line);
  }
}

TEST(UrlExclusionTest, UndecodableUrlIsReportedAndNotExcluded) {
  ExclusionDecision decision = DecideUrlExclusion("/RPC/%u002e/", "{L}", AllAllowed());
  EXPECT_FALSE(decision.Excluded());
  EXPECT_NE(decision.logText.find("\"/rpc/%u002e/\""), std::string::npos) << decision.logText;
}

TEST(UrlExclusionTest, PlainMissLogsNothing) {
  EXPECT_TRUE(DecideUrlExclusion("/owa/", "{L}", AllAllowed()).logText.empty());
}

TEST(ExclusionListTest, EmptyListAndEmptyEntriesMatchNothing) {
  EXPECT_FALSE(IsInExclusionList("/x", {}));
  EXPECT_FALSE(IsInExclusionList("/x", {""}));
  EXPECT_TRUE(IsInExclusionList("/x/y", {"", "/a", "/x/"}));
}

TEST(SplitExclusionListTest, RunsOfLineBreaksSeparateEntries) {
  EXPECT_EQ(SplitExclusionList("/a/\r\n\r\n/b/\r\n"), (std::vector<std::string>{"/a/", "/b/"}));
  EXPECT_EQ(SplitExclusionList("\n\r/a/\r/b/\n/c/"), (std::vector<std::string>{"/a/", "/b/", "/c/"}));
  EXPECT_EQ(SplitExclusionList(" /A b/ \r\n"), (std::vector<std::string>{" /A b/ "}));
  EXPECT_TRUE(SplitExclusionList("").empty());
  EXPECT_TRUE(SplitExclusionList("\r\n\r\n").empty());
}

}  // namespace
}  // namespace talverin
