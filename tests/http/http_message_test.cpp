#include "http/http_message.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace {

using talverin::SecureString;
using testing::ElementsAre;
using testing::IsEmpty;

HttpMessage Message(const std::string& text) { return HttpMessage(text.data(), text.size()); }

std::vector<std::string> Strings(const std::vector<SecureString>& values) {
  std::vector<std::string> out;
  for (const SecureString& v : values) out.push_back(v.str());
  return out;
}

// --- Construction and split -------------------------------------------------

struct SplitCase {
  std::string raw;
  std::string headers;
  std::string body;
  bool complete;
};

class HttpMessageSplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(HttpMessageSplitTest, SplitsAtFirstEmptyLine) {
  const SplitCase& c = GetParam();
  HttpMessage message = Message(c.raw);
  EXPECT_EQ(message.GetHeaders().str(), c.headers);
  EXPECT_EQ(message.GetBody().str(), c.body);
  EXPECT_EQ(message.GetRaw().str(), c.raw);
  EXPECT_EQ(message.HeadersComplete(), c.complete);
  HttpMessage fromText{std::string_view(c.raw)};
  EXPECT_EQ(fromText.GetHeaders().str(), c.headers);
  EXPECT_EQ(fromText.GetBody().str(), c.body);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, HttpMessageSplitTest,
    testing::Values(
        SplitCase{"", "", "", false},
        // Header block still arriving: everything is header text.
        SplitCase{"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n", "", false},
        SplitCase{"HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody", "HTTP/1.1 200 OK\r\nA: b", "body", true},
        SplitCase{"GET / HTTP/1.1\r\n\r\n", "GET / HTTP/1.1", "", true},
        SplitCase{"A\r\n\r\nB\r\n\r\nC", "A", "B\r\n\r\nC", true}, SplitCase{"\r\n\r\n", "", "", true}));

TEST(HttpMessageConstructionTest, KeepsEveryByteOfTheRangeNulIncluded) {
  static const char kBytes[] = "POST /x HTTP/1.1\r\nContent-Length: 5\r\n\r\na\0b\0c";
  const std::string raw(kBytes, sizeof kBytes - 1);
  HttpMessage message(raw.data(), raw.size());
  EXPECT_EQ(message.GetRaw().size(), raw.size());
  EXPECT_EQ(message.GetBody().str(), std::string("a\0b\0c", 5));
  EXPECT_TRUE(message.IsBodyComplete());
  EXPECT_EQ(message.Serialize().str(), raw);
}

TEST(HttpMessageConstructionTest, RawDataRecordUsesTheSmallerOfDataAndBufferSize) {
  const char bytes[] = "GET /a HTTP/1.1\r\n\r\nXYZ";
  EXPECT_EQ(HttpMessage::FromRawDataRecord(bytes, 22, 20).GetRaw().str(), std::string(bytes, 20));
  EXPECT_EQ(HttpMessage::FromRawDataRecord(bytes, 19, 64).GetRaw().str(), std::string(bytes, 19));
  EXPECT_EQ(HttpMessage::FromRawDataRecord(nullptr, 10, 10).GetRaw().str(), "");
}

TEST(HttpMessageConstructionTest, EmptyMessageHasNothing) {
  HttpMessage message;
  EXPECT_EQ(message.GetRaw().str(), "");
  EXPECT_EQ(message.GetHeaders().str(), "");
  EXPECT_EQ(message.GetBody().str(), "");
  EXPECT_FALSE(message.HeadersComplete());
  EXPECT_EQ(message.GetStatusCode(), 0);
  EXPECT_EQ(message.GetHeaderValue("Host").str(), "");
  EXPECT_EQ(message.GetFormField("a").str(), "");
}

// --- Start line -------------------------------------------------------------

struct StartLineCase {
  std::string headers;
  std::string first;
  std::string second;
  int status;
  HttpMessage::Method method;
};

class HttpMessageStartLineTest : public testing::TestWithParam<StartLineCase> {};

TEST_P(HttpMessageStartLineTest, ReadsTokensOfTheStartLineOnly) {
  const StartLineCase& c = GetParam();
  HttpMessage message = Message(c.headers + "\r\n\r\n");
  EXPECT_EQ(message.GetFirstToken().str(), c.first);
  EXPECT_EQ(message.GetSecondToken().str(), c.second);
  EXPECT_EQ(message.GetStatusCode(), c.status);
  EXPECT_EQ(message.GetMethod(), c.method);
}

using M = HttpMessage::Method;
INSTANTIATE_TEST_SUITE_P(
    Lines, HttpMessageStartLineTest,
    testing::Values(
        StartLineCase{"GET /index.html?a=b HTTP/1.1\r\nHost: h", "GET", "/index.html?a=b", 0, M::Get},
        StartLineCase{"get / HTTP/1.1", "get", "/", 0, M::Get},
        StartLineCase{"Post /cookieauth.dll?logon HTTP/1.1", "Post", "/cookieauth.dll?logon", 0, M::Post},
        StartLineCase{"PUT /x HTTP/1.1", "PUT", "/x", 0, M::Other},
        StartLineCase{"HTTP/1.1 302 Moved Temporarily\r\nLocation: /", "HTTP/1.1", "302", 302, M::Other},
        StartLineCase{"HTTP/1.1 200 OK", "HTTP/1.1", "200", 200, M::Other},
        // No reason phrase and no blank after the code.
        StartLineCase{"HTTP/1.1 302", "HTTP/1.1", "", 0, M::Other},
        // Blanks of later lines do not make start-line tokens.
        StartLineCase{"HTTP/1.1 302\r\nLocation: a b", "HTTP/1.1", "", 0, M::Other},
        StartLineCase{"GET\r\nHost: a b", "", "", 0, M::Other},
        StartLineCase{"HTTP/1.1 abc OK", "HTTP/1.1", "abc", 0, M::Other},
        StartLineCase{"HTTP/1.1 404x Gone", "HTTP/1.1", "404x", 404, M::Other},
        StartLineCase{"HTTP/1.1 99999999999999999999999 Big", "HTTP/1.1", "99999999999999999999999", INT_MAX,
                      M::Other},
        StartLineCase{"", "", "", 0, M::Other}));

// --- Header lookup ----------------------------------------------------------

constexpr const char* kResponseHeaders =
    "HTTP/1.1 302 Moved Temporarily\r\n"
    "Location: /owa/\r\n"
    "X-Note: Content-Length: 99\r\n"
    "X-Content-Length: 77\r\n"
    "Set-Cookie: cadata=abc; path=/\r\n"
    "set-cookie: second=def\r\n"
    "Host : spaced\r\n"
    "NoBlank:value\r\n"
    "Padded: \t value \t\r\n"
    "Empty:\r\n"
    "Content-Length: 12";

struct HeaderCase {
  std::string name;
  std::string value;
};

class HttpMessageHeaderLookupTest : public testing::TestWithParam<HeaderCase> {};

TEST_P(HttpMessageHeaderLookupTest, FindsNameAtLineStartOnly) {
  HttpMessage message = Message(std::string(kResponseHeaders) + "\r\n\r\n");
  EXPECT_EQ(message.GetHeaderValue(GetParam().name).str(), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Names, HttpMessageHeaderLookupTest,
    testing::Values(HeaderCase{"Location", "/owa/"},             // followed by more lines: no CR LF
                    HeaderCase{"Content-Length", "12"},          // last line, neither inside X-Note nor X-Content-Length
                    HeaderCase{"content-LENGTH", "12"},          // name compared without regard to case
                    HeaderCase{"Set-Cookie", "cadata=abc; path=/"},  // the first of two
                    HeaderCase{"Host", "spaced"},                // blanks before the colon, as lax parsers take them
                    HeaderCase{"NoBlank", "value"},              // the blank after the colon is optional
                    HeaderCase{"Padded", "value"},               // blanks and tabs around the value are no part of it
                    HeaderCase{"Empty", ""}, HeaderCase{"Referer", ""},
                    HeaderCase{"HTTP/1.1 302 Moved Temporarily", ""},  // the start line is no header
                    HeaderCase{"Content", ""}));

TEST(HttpMessageHeaderLookupTest, StartLineThatLooksLikeAHeaderIsNotOne) {
  HttpMessage message = Message("Location: /start\r\nLocation: /real\r\n\r\n");
  EXPECT_EQ(message.GetHeaderValue("Location").str(), "/real");
}

TEST(HttpMessageHeaderLookupTest, ListsEveryLineOfANameInOrder) {
  HttpMessage message = Message(std::string(kResponseHeaders) + "\r\n\r\n");
  EXPECT_THAT(Strings(message.GetHeaderValues("Set-Cookie")), ElementsAre("cadata=abc; path=/", "second=def"));
  EXPECT_THAT(Strings(message.GetHeaderValues("Content-Length")), ElementsAre("12"));
  EXPECT_THAT(message.GetHeaderValues("Cookie"), IsEmpty());
}

TEST(HttpMessageHeaderLookupTest, IncompleteHeaderBlockIsSearchedToo) {
  HttpMessage message = Message("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nSet-Co");
  EXPECT_EQ(message.GetHeaderValue("Content-Length").str(), "5");
  EXPECT_EQ(message.GetHeaderValue("Set-Co").str(), "");
}

// --- Form fields --------------------------------------------------------------

struct FormCase {
  std::string body;
  std::string name;
  std::string value;
};

class HttpMessageFormFieldTest : public testing::TestWithParam<FormCase> {};

TEST_P(HttpMessageFormFieldTest, FindsFieldWhereAFieldStarts) {
  HttpMessage message = Message("POST /cookieauth.dll?logon HTTP/1.1\r\n\r\n" + GetParam().body);
  EXPECT_EQ(message.GetFormField(GetParam().name).str(), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, HttpMessageFormFieldTest,
    testing::Values(FormCase{"username=alice&password=secret", "username", "alice"},
                    FormCase{"username=alice&password=secret", "password", "secret"},
                    FormCase{"username=alice%40example.com", "username", "alice@example.com"},
                    FormCase{"passcode=12+34", "passcode", "12+34"},            // '+' stays '+'
                    FormCase{"myusername=x&username=y", "username", "y"},         // a longer name is another field
                    FormCase{"note=username%3Dz&c=username=evil&username=bob", "username", "bob"},  // key in a value
                    FormCase{"username=&password=p", "username", ""},
                    FormCase{"username&password=p", "username", ""},              // no '=': no value
                    FormCase{"UserName=x", "username", ""},                       // exact name
                    FormCase{"username=first&username=second", "username", "first"},
                    FormCase{"a=1&&username=z", "username", "z"}, FormCase{"", "username", ""},
                    FormCase{"curl=Z2F&flags=0&forcedownlevel=0", "flags", "0"}));

TEST(HttpMessageFormFieldTest, ListsEveryOccurrenceOfANameWhateverItsCaseOrCoding) {
  HttpMessage message =
      Message("POST / HTTP/1.1\r\n\r\nusername=a&UserName=b&user%6Eame=c&xusername=d&username&password=p");
  EXPECT_THAT(Strings(message.GetFormFieldOccurrences("username")), ElementsAre("a", "b", "c", ""));
  EXPECT_THAT(Strings(message.GetFormFieldOccurrences("PASSWORD")), ElementsAre("p"));
  EXPECT_THAT(message.GetFormFieldOccurrences("passcode"), IsEmpty());
}

// --- Body completeness ------------------------------------------------------

struct CompletenessCase {
  std::string raw;
  bool complete;
};

class HttpMessageBodyCompleteTest : public testing::TestWithParam<CompletenessCase> {};

TEST_P(HttpMessageBodyCompleteTest, ComparesBodyLengthWithContentLength) {
  EXPECT_EQ(Message(GetParam().raw).IsBodyComplete(), GetParam().complete);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, HttpMessageBodyCompleteTest,
    testing::Values(CompletenessCase{"POST / HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc", true},
                    CompletenessCase{"POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nabc", false},
                    CompletenessCase{"POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\nabc", false},
                    CompletenessCase{"POST / HTTP/1.1\r\ncontent-length: 3\r\n\r\nabc", true},
                    CompletenessCase{"POST / HTTP/1.1\r\nContent-Length: 3\r\nX: y\r\n\r\nabc", true},
                    CompletenessCase{"GET / HTTP/1.1\r\nHost: h\r\n\r\n", true},   // absent counts as 0
                    CompletenessCase{"GET / HTTP/1.1\r\nHost: h\r\n\r\nx", false},
                    CompletenessCase{"POST / HTTP/1.1\r\nContent-Length:3\r\n\r\nabc", true},
                    CompletenessCase{"POST / HTTP/1.1\r\nContent-Length:100\r\n\r\n", false},
                    // Framing two readers could disagree on is never complete.
                    CompletenessCase{"POST / HTTP/1.1\r\nContent-Length: abc\r\n\r\n", false},
                    CompletenessCase{"POST / HTTP/1.1\r\nContent-Length: +3\r\n\r\nabc", false},
                    CompletenessCase{"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabc", false},
                    CompletenessCase{"POST / HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc", true},
                    CompletenessCase{"POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\nabc",
                                     false},
                    CompletenessCase{"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", false},
                    CompletenessCase{"POST / HTTP/1.1\r\nContent-Length: 3", false}));

TEST(HttpMessageBodyLengthTest, TellsAbsentLengthAndInvalidFraming) {
  using Kind = HttpMessage::BodyLength::Kind;
  EXPECT_EQ(Message("GET / HTTP/1.1\r\nHost: h\r\n\r\n").GetBodyLength().kind, Kind::Absent);
  const HttpMessage::BodyLength length = Message("POST / HTTP/1.1\r\nContent-Length:  70 \r\n\r\n").GetBodyLength();
  EXPECT_EQ(length.kind, Kind::Length);
  EXPECT_EQ(length.length, 70u);
  EXPECT_EQ(Message("POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n").GetBodyLength().kind, Kind::Invalid);
  EXPECT_EQ(Message("POST / HTTP/1.1\r\nContent-Length: 1, 1\r\n\r\n").GetBodyLength().kind, Kind::Invalid);
}

TEST(HttpMessageStrictnessTest, OnlyCrLfLinesWithoutFoldsOrNulAreStrict) {
  EXPECT_TRUE(Message("GET / HTTP/1.1\r\nHost: h\r\nCookie: a=1\r\n\r\n").HeaderBlockIsStrict());
  EXPECT_FALSE(Message("GET / HTTP/1.1\r\nHost: h\nContent-Length: 5\r\n\r\n").HeaderBlockIsStrict());
  EXPECT_FALSE(Message("GET / HTTP/1.1\r\nHost: h\rX: y\r\n\r\n").HeaderBlockIsStrict());
  EXPECT_FALSE(Message("GET / HTTP/1.1\r\nCookie: a=1\r\n cadata=k\r\n\r\n").HeaderBlockIsStrict());
  EXPECT_FALSE(Message("GET / HTTP/1.1\r\nCookie: a=1\r\n\tcadata=k\r\n\r\n").HeaderBlockIsStrict());
  EXPECT_FALSE(Message(std::string("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 26)).HeaderBlockIsStrict());
}

// --- Edits and serialization ----------------------------------------------------

TEST(HttpMessageEditTest, BuildsResponseFromNothing) {
  HttpMessage message;
  message.AppendHeaderLine("HTTP/1.1 302 Moved Temporarily");
  message.AddHeader("Connection", "close");
  message.AddHeader("Location", "/talverinauth.dll?logon");
  message.AddHeader("Content-Length", "0");
  EXPECT_EQ(message.Serialize().str(),
            "HTTP/1.1 302 Moved Temporarily\r\nConnection: close\r\nLocation: /talverinauth.dll?logon\r\n"
            "Content-Length: 0\r\n\r\n");
}

TEST(HttpMessageEditTest, SerializesParsedMessageAsReceived) {
  const std::string raw = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi";
  EXPECT_EQ(Message(raw).Serialize().str(), raw);
  EXPECT_EQ(HttpMessage().Serialize().str(), "\r\n\r\n");
}

struct ReplaceHeaderCase {
  std::string name;
  std::string text;
  std::string headers;
};

class HttpMessageReplaceHeaderTest : public testing::TestWithParam<ReplaceHeaderCase> {};

TEST_P(HttpMessageReplaceHeaderTest, ReplacesValueKeepingLineEnds) {
  HttpMessage message = Message("HTTP/1.1 200 OK\r\nLocation: /a\r\nSet-Cookie: k=v\r\nContent-Length: 2\r\n\r\nhi");
  EXPECT_TRUE(message.ReplaceHeaderValue(GetParam().name, GetParam().text));
  EXPECT_EQ(message.GetHeaders().str(), GetParam().headers);
  EXPECT_EQ(message.GetBody().str(), "hi");
}

INSTANTIATE_TEST_SUITE_P(
    Headers, HttpMessageReplaceHeaderTest,
    testing::Values(
        ReplaceHeaderCase{"Location", "/much/longer/place",
                          "HTTP/1.1 200 OK\r\nLocation: /much/longer/place\r\nSet-Cookie: k=v\r\nContent-Length: 2"},
        ReplaceHeaderCase{"set-cookie", "",
                          "HTTP/1.1 200 OK\r\nLocation: /a\r\nSet-Cookie: \r\nContent-Length: 2"},
        ReplaceHeaderCase{"Content-Length", "1234",
                          "HTTP/1.1 200 OK\r\nLocation: /a\r\nSet-Cookie: k=v\r\nContent-Length: 1234"}));

TEST(HttpMessageEditTest, ReplacingAnAbsentHeaderChangesNothing) {
  const std::string raw = "HTTP/1.1 200 OK\r\nX-Location: /a\r\n\r\n";
  HttpMessage message = Message(raw);
  EXPECT_FALSE(message.ReplaceHeaderValue("Location", "/b"));
  EXPECT_EQ(message.Serialize().str(), raw);
}

TEST(HttpMessageEditTest, EmptiedCredentialsRewriteContentLength) {
  const std::string raw =
      "POST /cookieauth.dll?logon HTTP/1.1\r\nHost: h\r\nContent-Length: 39\r\nCookie: a=b\r\n\r\n"
      "curl=Z2F&username=alice&password=secret";
  HttpMessage message = Message(raw);
  ASSERT_TRUE(message.ReplaceFormFieldEncoded("username", ""));
  ASSERT_TRUE(message.ReplaceFormFieldEncoded("password", ""));
  EXPECT_EQ(message.Serialize().str(),
            "POST /cookieauth.dll?logon HTTP/1.1\r\nHost: h\r\nContent-Length: 28\r\nCookie: a=b\r\n\r\n"
            "curl=Z2F&username=&password=");
  EXPECT_TRUE(message.IsBodyComplete());
  EXPECT_EQ(message.GetRaw().str(), raw);  // the text as received is kept
}

TEST(HttpMessageEditTest, ReplacedFormValueIsPercentEncoded) {
  HttpMessage message = Message("POST / HTTP/1.1\r\nContent-Length: 14\r\n\r\nuser=x&other=1");
  ASSERT_TRUE(message.ReplaceFormFieldEncoded("user", "a b@c"));
  EXPECT_EQ(message.GetBody().str(), "user=a%20b%40c&other=1");
  EXPECT_EQ(message.GetHeaderValue("Content-Length").str(), "22");
  EXPECT_EQ(message.GetFormField("user").str(), "a b@c");
}

TEST(HttpMessageEditTest, FormEditWithoutContentLengthChangesOnlyTheBody) {
  HttpMessage message = Message("POST / HTTP/1.1\r\nHost: h\r\n\r\nusername=alice");
  ASSERT_TRUE(message.ReplaceFormFieldEncoded("username", "bob"));
  EXPECT_EQ(message.Serialize().str(), "POST / HTTP/1.1\r\nHost: h\r\n\r\nusername=bob");
}

TEST(HttpMessageEditTest, FormEditTouchesOnlyTheFieldThatStartsWithTheName) {
  HttpMessage message = Message("POST / HTTP/1.1\r\nContent-Length: 22\r\n\r\nxusername=a&username=b");
  ASSERT_TRUE(message.ReplaceFormFieldEncoded("username", ""));
  EXPECT_EQ(message.GetBody().str(), "xusername=a&username=");
  EXPECT_FALSE(message.ReplaceFormFieldEncoded("password", ""));
  EXPECT_EQ(message.GetBody().str(), "xusername=a&username=");
}

}  // namespace
