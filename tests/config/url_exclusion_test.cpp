#include "config/url_exclusion.h"

#include <gtest/gtest.h>

#include <utility>

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

ListenerExclusionSettings RpcOnly() {
  ListenerExclusionSettings listener = Protected();
  listener.rpcOverHttpAllowed = true;
  return listener;
}

ListenerExclusionSettings Unprotected() { return ListenerExclusionSettings{}; }

TEST(UrlExclusionTest, MatchesTheExpectedRule) {
  using R = ExclusionRule;
  struct Row {
    const char* url;
    ListenerExclusionSettings listener;
    ExclusionRule rule;
  };
  const Row rows[] = {
      {"/owa/", Unprotected(), R::ListenerNotProtected}, {"/owa/", AllAllowed(), R::None},
      {"/ms_proxy_intra_array_auth_query?x", Protected(), R::IntraArray},
      {"/MS_Proxy_Intra_Array_Auth_Query", Protected(), R::IntraArray}, {"/favicon.ico", Protected(), R::Favicon},
      {"/FAVICON.ICO", Protected(), R::Favicon}, {"/favicon.ico?x=1", Protected(), R::None},
      {"/x/../favicon.ico", Protected(), R::None}, {"/rpc/rpcproxy.dll?a:6001", RpcOnly(), R::RpcOverHttp},
      {"/Rpc/RpcProxy.dll", Protected(), R::None}, {"/rpc", RpcOnly(), R::None},
      {"/Microsoft-Server-ActiveSync?Cmd=Sync", AllAllowed(), R::ActiveSync},
      {"/Microsoft-Server-ActiveSync", RpcOnly(), R::None}, {"/autodiscoverx", AllAllowed(), R::AutoDiscover},
      {"/AutoDiscover/AutoDiscover.xml", AllAllowed(), R::AutoDiscover},
      {"/Public/page.htm", AllAllowed(), R::CustomList}, {"/upper/page.htm", AllAllowed(), R::None},
      {"/publicx", AllAllowed(), R::None}, {"http://host/rpc/", AllAllowed(), R::None},
      {"http://host/favicon.ico", AllAllowed(), R::None},
      // Traversal and encoding attempts judged on the canonical form.
      {"/rpc/../owa/", RpcOnly(), R::None}, {"/rpc/%2e%2e/owa/", RpcOnly(), R::None},
      {"/rpc/..%5cowa/", RpcOnly(), R::None}, {"/rpc/%u002e%u002e/owa/", RpcOnly(), R::None},
      {"/rpc/%zz/", RpcOnly(), R::None}, {"/rpc/%c0%ae%c0%ae/owa/", RpcOnly(), R::None},
      {"/rpc\\..\\owa/", RpcOnly(), R::None}, {"/rpc/./../owa/", RpcOnly(), R::None},
      {"/public/../owa/", AllAllowed(), R::None}, {"/autodiscover/..%2fowa", AllAllowed(), R::None},
      {"/rpc/x?y=/../../owa/", RpcOnly(), R::RpcOverHttp},
      // Other spellings of an allowed prefix still pass.
      {"/%72pc/rpcproxy.dll", RpcOnly(), R::RpcOverHttp}, {"//rpc//rpcproxy.dll", RpcOnly(), R::RpcOverHttp},
      {"/owa/../rpc/x", RpcOnly(), R::RpcOverHttp},
  };
  for (const Row& r : rows) EXPECT_EQ(DecideUrlExclusion(r.url, "{L}", r.listener).rule, r.rule) << r.url;
}

// The line an administrator reads names the URL lower-cased, or as sent when
// the listener is not protected at all.
TEST(UrlExclusionTest, EachRuleLogsItsLine) {
  const std::pair<const char*, const char*> rows[] = {
      {"/MS_PROXY_INTRA_ARRAY_AUTH_QUERY",
       "Url \"/ms_proxy_intra_array_auth_query\" is skipped because it is intra array communication request"},
      {"/Favicon.ico", "Url \"/favicon.ico\" is skipped because it is 'favicon.ico' request"},
      {"/RPC/A", "Url \"/rpc/a\" is skipped because Rpc over Http is allowed."},
      {"/Microsoft-Server-ActiveSync",
       "Url \"/microsoft-server-activesync\" is skipped because Microsoft Server ActiveSync is allowed."},
      {"/AutoDiscover", "Url \"/autodiscover\" is skipped because AutoDiscover is allowed."},
      {"/PUBLIC/X", "Url \"/public/x\" is skipped because it is in the custom exclusion URL list"},
  };
  for (const auto& [url, line] : rows) {
    ExclusionDecision decision = DecideUrlExclusion(url, "{L}", AllAllowed());
    EXPECT_TRUE(decision.Excluded()) << url;
    EXPECT_EQ(decision.logText, line);
  }
  ExclusionDecision unprotected = DecideUrlExclusion("/OWA/", "{ABC}", ListenerExclusionSettings{});
  EXPECT_EQ(unprotected.logText, "Url \"/OWA/\" is skipped because the listener \"{ABC}\" is not protected");
  EXPECT_EQ(unprotected.logLevel, 1u);
  ExclusionDecision undecodable = DecideUrlExclusion("/RPC/%u002e/", "{L}", AllAllowed());
  EXPECT_FALSE(undecodable.Excluded());
  EXPECT_NE(undecodable.logText.find("\"/rpc/%u002e/\""), std::string::npos) << undecodable.logText;
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
