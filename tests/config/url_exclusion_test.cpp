#include "config/url_exclusion.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace talverin {
namespace {

// Not protected; protected; with RPC over HTTP allowed; with every exclusion
// and a custom list (an empty entry matches nothing).
const ListenerExclusionSettings kUnprotected, kProtected{true}, kRpcOnly{true, true},
    kAllAllowed{true, true, true, true, {"", "/public/", "/Upper/"}};

TEST(UrlExclusionTest, MatchesTheExpectedRule) {
  using R = ExclusionRule;
  const std::tuple<const char*, ListenerExclusionSettings, ExclusionRule> rows[] = {
      {"/owa/", kUnprotected, R::ListenerNotProtected}, {"/owa/", kAllAllowed, R::None},
      {"/ms_proxy_intra_array_auth_query?x", kProtected, R::IntraArray},
      {"/MS_Proxy_Intra_Array_Auth_Query", kProtected, R::IntraArray}, {"/FAVICON.ICO", kProtected, R::Favicon},
      {"/favicon.ico?x=1", kProtected, R::None}, {"/x/../favicon.ico", kProtected, R::None},
      {"/rpc/rpcproxy.dll?a:6001", kRpcOnly, R::RpcOverHttp}, {"/Rpc/RpcProxy.dll", kProtected, R::None},
      {"/rpc", kRpcOnly, R::None}, {"/Microsoft-Server-ActiveSync?Cmd=Sync", kAllAllowed, R::ActiveSync},
      {"/Microsoft-Server-ActiveSync", kRpcOnly, R::None}, {"/autodiscoverx", kAllAllowed, R::AutoDiscover},
      {"/Public/page.htm", kAllAllowed, R::CustomList}, {"/upper/page.htm", kAllAllowed, R::None},
      {"/publicx", kAllAllowed, R::None}, {"http://host/rpc/", kAllAllowed, R::None},
      {"http://host/favicon.ico", kAllAllowed, R::None},
      // Traversal and encoding attempts judged on the canonical form.
      {"/rpc/../owa/", kRpcOnly, R::None}, {"/rpc/%2e%2e/owa/", kRpcOnly, R::None},
      {"/rpc/..%5cowa/", kRpcOnly, R::None}, {"/rpc/%u002e%u002e/owa/", kRpcOnly, R::None},
      {"/rpc/%zz/", kRpcOnly, R::None}, {"/rpc/%c0%ae%c0%ae/owa/", kRpcOnly, R::None},
      {"/rpc\\..\\owa/", kRpcOnly, R::None}, {"/rpc/./../owa/", kRpcOnly, R::None},
      {"/public/../owa/", kAllAllowed, R::None}, {"/autodiscover/..%2fowa", kAllAllowed, R::None},
      {"/rpc/x?y=/../../owa/", kRpcOnly, R::RpcOverHttp},
      // Other spellings of an allowed prefix still pass.
      {"/%72pc/rpcproxy.dll", kRpcOnly, R::RpcOverHttp}, {"//rpc//rpcproxy.dll", kRpcOnly, R::RpcOverHttp},
      {"/owa/../rpc/x", kRpcOnly, R::RpcOverHttp}};
  for (const auto& [url, listener, rule] : rows) EXPECT_EQ(DecideUrlExclusion(url, "{L}", listener).rule, rule) << url;
}

TEST(SplitExclusionListTest, RunsOfLineBreaksSeparateEntries) {
  const std::pair<const char*, std::vector<std::string>> rows[] = {
      {"/a/\r\n\r\n/b/\r\n", {"/a/", "/b/"}}, {"\n\r/a/\r/b/\n/c/", {"/a/", "/b/", "/c/"}},
      {" /A b/ \r\n", {" /A b/ "}}, {"", {}}, {"\r\n\r\n", {}}};
  for (const auto& [text, entries] : rows) EXPECT_EQ(SplitExclusionList(text), entries) << text;
}

}  // namespace
}  // namespace talverin
