#include "http/http_message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <tuple>
#include <utility>

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

HttpMessage Message(const std::string& text) { return HttpMessage(text.data(), text.size()); }

TEST(HttpMessageSplitTest, SplitsAtTheFirstEmptyLine) {
  // Raw text, headers, body, whether the header block is complete.
  const std::tuple<std::string, std::string, std::string, bool> rows[] = {
      {"", "", "", false}, {"\r\n\r\n", "", "", true}, {"A\r\n\r\nB\r\n\r\nC", "A", "B\r\n\r\nC", true},
      {std::string("POST /x HTTP/1.1\r\n\r\na\0b\0c", 25), "POST /x HTTP/1.1", std::string("a\0b\0c", 5), true},
      // Header block still arriving: everything is header text.
      {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n", "", false}};
  for (const auto& [raw, headers, body, complete] : rows) {
    SCOPED_TRACE(raw);
    for (const HttpMessage& message : {Message(raw), HttpMessage{std::string_view(raw)}}) {
      EXPECT_EQ(message.GetHeaders().str(), headers);
      EXPECT_EQ(message.GetBody().str(), body);
      EXPECT_EQ(message.GetRaw().str(), raw);
      EXPECT_EQ(message.HeadersComplete(), complete);
      // Every byte goes out again, NULs included.
      if (complete) EXPECT_EQ(message.Serialize().str(), raw);
    }
  }
}

TEST(HttpMessageStartLineTest, ReadsTokensOfTheStartLineOnly) {
  using M = HttpMessage::Method;
  // Header text, first and second token, status code, method.
  const std::tuple<std::string, std::string, std::string, int, M> rows[] = {
      {"get /index.html?a=b HTTP/1.1", "get", "/index.html?a=b", 0, M::Get},
      {"Post /cookieauth.dll?logon HTTP/1.1", "Post", "/cookieauth.dll?logon", 0, M::Post},
      {"PUT /x HTTP/1.1", "PUT", "/x", 0, M::Other}, {"HTTP/1.1 abc OK", "HTTP/1.1", "abc", 0, M::Other},
      {"HTTP/1.1 302 Moved Temporarily\r\nLocation: /", "HTTP/1.1", "302", 302, M::Other},
      // No reason phrase and no blank after the code; blanks of later lines make no tokens.
      {"HTTP/1.1 302\r\nLocation: a b", "HTTP/1.1", "", 0, M::Other}, {"GET\r\nHost: a b", "", "", 0, M::Other},
      {"HTTP/1.1 404x Gone", "HTTP/1.1", "404x", 404, M::Other}, {"", "", "", 0, M::Other},
      {"HTTP/1.1 99999999999999999999999 Big", "HTTP/1.1", "99999999999999999999999", INT_MAX, M::Other}};
  for (const auto& [headers, first, second, status, method] : rows) {
    SCOPED_TRACE(headers);
    HttpMessage message = Message(headers + "\r\n\r\n");
    EXPECT_EQ(message.GetFirstToken().str(), first);
    EXPECT_EQ(message.GetSecondToken().str(), second);
    EXPECT_EQ(message.GetStatusCode(), status);
    EXPECT_EQ(message.GetMethod(), method);
  }
}

TEST(HttpMessageHeaderTest, FindsNamesAtLineStartOnly) {
  HttpMessage message = Message(
      "HTTP/1.1 302 Moved Temporarily\r\nLocation: /owa/\r\nX-Note: Content-Length: 99\r\nX-Content-Length: 77\r\n"
      "Set-Cookie: cadata=abc; path=/\r\nset-cookie: second=def\r\nHost : spaced\r\nNoBlank:value\r\n"
      "Padded: \t value \t\r\nEmpty:\r\nContent-Length: 12\r\n\r\n");
  const std::pair<std::string, std::string> rows[] = {
      {"Location", "/owa/"}, {"Content-Length", "12"}, {"content-LENGTH", "12"}, {"Set-Cookie", "cadata=abc; path=/"},
      {"Host", "spaced"},  // blanks before the colon, as lax parsers take them
      {"NoBlank", "value"}, {"Padded", "value"}, {"Empty", ""}, {"Referer", ""},
      {"HTTP/1.1 302 Moved Temporarily", ""}, {"Content", ""}};
  for (const auto& [name, value] : rows) EXPECT_EQ(message.GetHeaderValue(name).str(), value) << name;
  EXPECT_THAT(message.GetHeaderValues("Set-Cookie"), ElementsAre("cadata=abc; path=/", "second=def"));
  EXPECT_THAT(message.GetHeaderValues("Cookie"), IsEmpty());
  // The start line is no header, however it looks; an unfinished block is searched too.
  EXPECT_EQ(Message("Location: /start\r\nLocation: /real\r\n\r\n").GetHeaderValue("Location").str(), "/real");
  HttpMessage unfinished = Message("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nSet-Co");
  EXPECT_EQ(unfinished.GetHeaderValue("Content-Length").str(), "5");
  EXPECT_EQ(unfinished.GetHeaderValue("Set-Co").str(), "");
}

TEST(HttpMessageFormTest, FindsFieldsWhereAFieldStarts) {
  // Body, field name, value.
  const std::tuple<std::string, const char*, std::string> rows[] = {
      {"username=alice&password=secret", "password", "secret"},
      {"username=alice%40example.com", "username", "alice@example.com"},
      {"passcode=12+34", "passcode", "12+34"},  // '+' stays '+'
      {"myusername=x&username=y", "username", "y"},
      {"note=username%3Dz&c=username=evil&username=bob", "username", "bob"},
      {"username=&password=p", "username", ""}, {"username&password=p", "username", ""}, {"UserName=x", "username", ""},
      {"username=first&username=second", "username", "first"}, {"a=1&&username=z", "username", "z"},
      {"", "username", ""}};
  for (const auto& [body, name, value] : rows) {
    EXPECT_EQ(Message("POST /cookieauth.dll?logon HTTP/1.1\r\n\r\n" + body).GetFormField(name).str(), value) << body;
  }
  HttpMessage message =
      Message("POST / HTTP/1.1\r\n\r\nusername=a&UserName=b&&user%6Eame=c&xusername=d&username&password=p");
  EXPECT_THAT(message.GetFormFieldOccurrences("username"), ElementsAre("a", "b", "c", ""));
  EXPECT_THAT(message.GetFormFieldOccurrences("PASSWORD"), ElementsAre("p"));
  EXPECT_THAT(message.GetFormFieldOccurrences("passcode"), IsEmpty());
}

TEST(HttpMessageBodyTest, IsCompleteOnlyWithOneClearContentLength) {
  const std::string post = "POST / HTTP/1.1\r\n";
  const std::pair<std::string, bool> rows[] = {
      {post + "Content-Length: 4\r\n\r\nabc", false}, {post + "Content-Length: 2\r\n\r\nabc", false},
      {post + "content-length: 3\r\nX: y\r\n\r\nabc", true}, {post + "Content-Length:3\r\n\r\nabc", true},
      {"GET / HTTP/1.1\r\nHost: h\r\n\r\n", true},  // absent counts as 0
      {"GET / HTTP/1.1\r\nHost: h\r\n\r\nx", false}, {post + "Content-Length:  3 \r\n\r\nabc", true},
      // Framing two readers could disagree on is never complete.
      {post + "Content-Length: abc\r\n\r\n", false}, {post + "Content-Length: +3\r\n\r\nabc", false},
      {post + "Content-Length: 1, 1\r\n\r\nx", false}, {post + "Content-Length: 99999999999999999999\r\n\r\n", false},
      {post + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabc", false}, {post + "Content-Length: 3", false},
      {post + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nabc", true},
      {post + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabc", false}};
  for (const auto& [raw, complete] : rows) EXPECT_EQ(Message(raw).IsBodyComplete(), complete) << raw;
}

TEST(HttpMessageStrictnessTest, OnlyCrLfLinesWithoutFoldsOrNulAreStrict) {
  EXPECT_TRUE(Message("GET / HTTP/1.1\r\nHost: h\r\nCookie: a=1\r\n\r\n").HeaderBlockIsStrict());
  const std::string get = "GET / HTTP/1.1\r\n";
  for (const std::string& raw : {get + "Host: h\nContent-Length: 5\r\n\r\n", get + "Host: h\rX: y\r\n\r\n",
                                 get + "Cookie: a=1\r\n cadata=k\r\n\r\n", get + "Cookie: a=1\r\n\tcadata=k\r\n\r\n",
                                 get + std::string("X: a\0b\r\n\r\n", 11)}) {
    EXPECT_FALSE(Message(raw).HeaderBlockIsStrict()) << raw;
  }
}

TEST(HttpMessageEditTest, BuildsAndReplacesHeadersKeepingLineEnds) {
  HttpMessage built;
  built.AppendHeaderLine("HTTP/1.1 302 Moved Temporarily");
  built.AddHeader("Location", "/talverinauth.dll?logon");
  EXPECT_EQ(built.Serialize().str(), "HTTP/1.1 302 Moved Temporarily\r\nLocation: /talverinauth.dll?logon\r\n\r\n");
  EXPECT_EQ(HttpMessage().Serialize().str(), "\r\n\r\n");
  // Header text that is one line end already ends its last line: one more ends the block.
  EXPECT_EQ(Message("\r\n").Serialize().str(), "\r\n\r\n");
  const auto head = [](const std::string& location, const std::string& cookie) {
    return "HTTP/1.1 200 OK\r\nLocation: " + location + "\r\nSet-Cookie: " + cookie + "\r\nContent-Length: 2";
  };
  // The name asked, its new value, whether a header of that name was found, the header text after.
  const std::tuple<const char*, const char*, bool, std::string> rows[] = {
      {"Location", "/much/longer/place", true, head("/much/longer/place", "k=v")},
      {"set-cookie", "", true, head("/a", "")},
      // A name that a header's name only ends or starts with names no header.
      {"Cookie", "x", false, head("/a", "k=v")}, {"Content", "x", false, head("/a", "k=v")}};
  for (const auto& [name, value, found, headers] : rows) {
    HttpMessage message = Message(head("/a", "k=v") + "\r\n\r\nhi");
    EXPECT_EQ(message.ReplaceHeaderValue(name, value), found) << name;
    EXPECT_EQ(message.GetHeaders().str(), headers);
    EXPECT_EQ(message.GetBody().str(), "hi");
  }
}

// An edited field is percent-encoded, only the field of that name changes,
// and a Content-Length header, when there is one, follows the body.
TEST(HttpMessageEditTest, FormEditsEncodeTouchOnlyTheNamedFieldAndRewriteContentLength) {
  const std::string logon = "POST /cookieauth.dll?logon HTTP/1.1\r\nHost: h\r\nContent-Length: ";
  // Head and body, the field edited, its new value, head and body after.
  const std::string rows[][4] = {
      {logon + "39\r\nCookie: a=b\r\n\r\ncurl=Z2F&username=alice&password=secret", "password", "",
       logon + "33\r\nCookie: a=b\r\n\r\ncurl=Z2F&username=alice&password="},
      {logon + "14\r\n\r\nuser=x&other=1", "user", "a b@c", logon + "22\r\n\r\nuser=a%20b%40c&other=1"},
      {logon + "22\r\n\r\nxusername=a&username=b", "username", "", logon + "21\r\n\r\nxusername=a&username="},
      {"POST / HTTP/1.1\r\nHost: h\r\n\r\nusername=alice", "username", "bob",
       "POST / HTTP/1.1\r\nHost: h\r\n\r\nusername=bob"}};
  for (const auto& r : rows) {
    HttpMessage message = Message(r[0]);
    ASSERT_TRUE(message.ReplaceFormFieldEncoded(r[1], r[2])) << r[0];
    EXPECT_EQ(message.Serialize().str(), r[3]);
    EXPECT_EQ(message.GetFormField(r[1]).str(), r[2]);
    EXPECT_EQ(message.GetRaw().str(), r[0]);  // the text as received is kept
  }
  EXPECT_FALSE(Message(rows[2][0]).ReplaceFormFieldEncoded("password", ""));
}

}  // namespace
