#include "config/url_canonical.h"

#include <gtest/gtest.h>

namespace talverin {
namespace {

struct CanonicalCase {
  const char* url;
  const char* canonical;  // nullptr: the path cannot be judged
};

std::ostream& operator<<(std::ostream& out, const CanonicalCase& c) { return out << c.url; }

class CanonicalizeUrlTest : public testing::TestWithParam<CanonicalCase> {};

TEST_P(CanonicalizeUrlTest, GivesTheCanonicalForm) {
  const CanonicalCase& c = GetParam();
  std::optional<std::string> canonical = CanonicalizeUrl(c.url);
  if (c.canonical == nullptr) {
    EXPECT_FALSE(canonical.has_value()) << *canonical;
  } else {
    ASSERT_TRUE(canonical.has_value());
    EXPECT_EQ(*canonical, c.canonical);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, CanonicalizeUrlTest,
    testing::Values(
        // Plain and case.
        CanonicalCase{"/owa/", "/owa/"}, CanonicalCase{"/OWA/Default.ASPX", "/owa/default.aspx"},
        CanonicalCase{"", ""}, CanonicalCase{"/", "/"},
        // Dot segments and repeated slashes.
        CanonicalCase{"/rpc/../owa/", "/owa/"}, CanonicalCase{"/rpc/./x", "/rpc/x"},
        CanonicalCase{"/rpc/.", "/rpc/"}, CanonicalCase{"/a/b/..", "/a/"}, CanonicalCase{"/..", "/"},
        CanonicalCase{"/../../rpc/", "/rpc/"}, CanonicalCase{"//rpc//x", "/rpc/x"},
        CanonicalCase{"/rpc/...", "/rpc/..."}, CanonicalCase{"/rpc/..x/", "/rpc/..x/"},
        // Escapes decoded once, backslashes as slashes.
        CanonicalCase{"/rpc/%2e%2e/owa/", "/owa/"}, CanonicalCase{"/rpc/%2E%2E/owa/", "/owa/"},
        CanonicalCase{"/rpc/..%5cowa/", "/owa/"}, CanonicalCase{"/rpc\\..\\owa\\", "/owa/"},
        CanonicalCase{"/rpc%2f..%2fowa/", "/owa/"}, CanonicalCase{"/%52PC/x", "/rpc/x"},
        CanonicalCase{"/a%2541", "/a%2541"}, CanonicalCase{"/a%3fb?c", "/a%3fb?c"},
        // The query stays as sent, lower-cased; dots in it are not segments.
        CanonicalCase{"/Rpc/x?A=/../B", "/rpc/x?a=/../b"}, CanonicalCase{"/x/../y?%zz", "/y?%zz"},
        CanonicalCase{"?Q", "?q"},
        // Escapes that cannot be judged.
        CanonicalCase{"/rpc/%zz/", nullptr}, CanonicalCase{"/rpc/%u002e%u002e/owa/", nullptr},
        CanonicalCase{"/rpc/%", nullptr}, CanonicalCase{"/rpc/%2", nullptr}, CanonicalCase{"/rpc/%00/", nullptr},
        // Overlong UTF-8 spellings of "." and "/".
        CanonicalCase{"/rpc/%c0%ae%c0%ae/owa/", nullptr}, CanonicalCase{"/rpc/..%c0%afowa/", nullptr},
        CanonicalCase{"/rpc/%e0%80%ae%e0%80%ae/owa/", nullptr}, CanonicalCase{"/rpc/%f0%80%80%ae/", nullptr},
        CanonicalCase{"/rpc/\xC0\xAE\xC0\xAE/owa/", nullptr}, CanonicalCase{"/%E0%A4%85", "/\xE0\xA4\x85"},
        // Absolute form: the path and query it carries.
        CanonicalCase{"http://host/rpc/", "/rpc/"}, CanonicalCase{"HTTPS://Host:443/Rpc/../owa/?A", "/owa/?a"},
        CanonicalCase{"https://host", "/"}, CanonicalCase{"https://host?Q", "/?q"},
        // Not a URL of the schemes a proxy takes: nothing to root.
        CanonicalCase{"ftp://host/rpc/", "ftp:/host/rpc/"}));

TEST(CanonicalizeUrlTest, CanonicalFormIsItsOwnCanonicalForm) {
  for (const char* url : {"/a%2541/../b%3f?x", "/rpc/%2e%2e/owa/", "/A//B/./c/", "/x%25u002e/"}) {
    std::optional<std::string> once = CanonicalizeUrl(url);
    ASSERT_TRUE(once.has_value()) << url;
    EXPECT_EQ(CanonicalizeUrl(*once), once) << url;
  }
}

TEST(CanonicalizeUrlTest, RawNulByteInThePathCannotBeJudged) {
  EXPECT_FALSE(CanonicalizeUrl(std::string_view("/rpc/../\0x", 10)).has_value());
  EXPECT_TRUE(CanonicalizeUrl(std::string_view("/rpc/?\0", 7)).has_value());
}

TEST(CanonicalizeUrlTest, NonAsciiBytesAreKept) {
  EXPECT_EQ(CanonicalizeUrl("/%C3%84b/\xC3\x84"), std::optional<std::string>("/\xC3\x84" "b/\xC3\x84"));
}

TEST(CanonicalPathTest, EndsAtTheFirstQuestionMark) {
  EXPECT_EQ(CanonicalPath("/a/b?c?d"), "/a/b");
  EXPECT_EQ(CanonicalPath("/a/b"), "/a/b");
}

}  // namespace
}  // namespace talverin
