#include "config/url_canonical.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace talverin {
namespace {

TEST(CanonicalizeUrlTest, GivesTheCanonicalForm) {
  const std::pair<std::string, std::optional<std::string>> rows[] = {
      // Plain and case.
      {"/owa/", "/owa/"}, {"/OWA/Default.ASPX", "/owa/default.aspx"}, {"", ""}, {"/", "/"},
      // Dot segments and repeated slashes.
      {"/rpc/../owa/", "/owa/"}, {"/rpc/./x", "/rpc/x"}, {"/rpc/.", "/rpc/"}, {"/a/b/..", "/a/"}, {"/..", "/"},
      {"/../../rpc/", "/rpc/"}, {"//rpc//x", "/rpc/x"}, {"/rpc/...", "/rpc/..."}, {"/rpc/..x/", "/rpc/..x/"},
      // Escapes decoded once, backslashes as slashes, other bytes kept.
      {"/rpc/%2e%2e/owa/", "/owa/"}, {"/rpc/%2E%2E/owa/", "/owa/"}, {"/rpc/..%5cowa/", "/owa/"},
      {"/rpc\\..\\owa\\", "/owa/"}, {"/rpc%2f..%2fowa/", "/owa/"}, {"/%52PC/x", "/rpc/x"}, {"/a%2541", "/a%2541"},
      {"/a%3fb?c", "/a%3fb?c"}, {"/a%2541/../b%3f?x", "/b%3f?x"}, {"/x%25u002e/", "/x%25u002e/"},
      {"/%C3%84b/\xC3\x84", "/\xC3\x84" "b/\xC3\x84"}, {"/%E0%A4%85", "/\xE0\xA4\x85"},
      // The query stays as sent, lower-cased; dots and NULs in it are not judged.
      {"/Rpc/x?A=/../B", "/rpc/x?a=/../b"}, {"/x/../y?%zz", "/y?%zz"}, {"?Q", "?q"},
      {std::string("/rpc/?\0", 7), std::string("/rpc/?\0", 7)},
      // Escapes and bytes that cannot be judged ({}).
      {"/rpc/%zz/", {}}, {"/rpc/%u002e%u002e/owa/", {}}, {"/rpc/%", {}}, {"/rpc/%2", {}}, {"/rpc/%00/", {}},
      {std::string("/rpc/../\0x", 10), {}},
      // Overlong UTF-8 spellings of "." and "/".
      {"/rpc/%c0%ae%c0%ae/owa/", {}}, {"/rpc/..%c0%afowa/", {}}, {"/rpc/%e0%80%ae%e0%80%ae/owa/", {}},
      {"/rpc/%f0%80%80%ae/", {}}, {"/rpc/\xC0\xAE\xC0\xAE/owa/", {}},
      // Absolute form: the path and query it carries.
      {"http://host/rpc/", "/rpc/"}, {"HTTPS://Host:443/Rpc/../owa/?A", "/owa/?a"}, {"https://host", "/"},
      {"https://host?Q", "/?q"},
      // Not a URL of the schemes a proxy takes: nothing to root.
      {"ftp://host/rpc/", "ftp:/host/rpc/"}};
  for (const auto& [url, canonical] : rows) {
    EXPECT_EQ(CanonicalizeUrl(url), canonical) << url;
    // Judged again, the canonical form must not change: no second decoding.
    if (canonical) EXPECT_EQ(CanonicalizeUrl(*canonical), canonical) << url;
  }
  // The path of a canonical form ends at its first question mark.
  EXPECT_EQ(CanonicalPath("/a/b?c?d"), "/a/b");
}

}  // namespace
}  // namespace talverin
