// Raw request data: header wait, exclusions, the two login forms and the
// user check against the test back end.
#include "flow_fixture.h"

namespace flowtest {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class RequestBodyStageTest : public FlowTest {};

TEST_F(RequestBodyStageTest, HeadersSplitOverTwoChunksWaitForTheRest) {
  ConnectionContext context;
  RawChunk first("GET /owa/ HTTP/1.1\r\nHost: mail.example\r\n");
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, ReadRaw(context, first));
  EXPECT_THAT(log_.Text(), HasSubstr("Not all headers have been received. Waiting for the next chunk..."));
  RawChunk whole("GET /owa/ HTTP/1.1\r\nHost: mail.example\r\n\r\n");
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, whole));
  EXPECT_TRUE(context.requestHeadersRead);
}

TEST_F(RequestBodyStageTest, LogonPostWaitsForItsBodyThenChecksTheUser) {
  ConnectionContext context;
  const std::string post = LogonPost("curl=Z2Fowa&username=alice&password=Secret1");
  RawChunk part(post.substr(0, post.size() - 5));
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, ReadRaw(context, part));
  EXPECT_EQ(FormAction::None, context.formAction);

  RawChunk whole(post);
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, whole));
  EXPECT_EQ(FormAction::IsaTmgLogon, context.formAction);
  EXPECT_EQ("CONTOSO\\alice", context.username.str());
  EXPECT_EQ(5, context.checkAuthenticationAllowedResult);
  EXPECT_FALSE(context.bypassAllowed);
  EXPECT_EQ(post, whole.Presented());
  EXPECT_EQ("192.0.2.7", context.clientAddress);
}

TEST_F(RequestBodyStageTest, RefusedUserReachesIsaTmgWithEmptyCredentials) {
  ConnectionContext context;
  RawChunk chunk(LogonPost("curl=Z2Fowa&username=carol&password=x&flags=0"));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, chunk));
  EXPECT_EQ(2, context.checkAuthenticationAllowedResult);
  EXPECT_THAT(log_.Text(), HasSubstr("has been locked out from TALVERIN database."));
  EXPECT_THAT(log_.Text(), HasSubstr("Checking in TALVERIN failed - resetting username and password"));
  EXPECT_EQ(LogonPost("curl=Z2Fowa&username=&password=&flags=0"), chunk.Presented());
}

TEST_F(RequestBodyStageTest, RefusedUserWhoseCredentialsCannotBeEmptiedEndsTheRequest) {
  host_.allocFails = true;
  ConnectionContext context;
  RawChunk chunk(LogonPost("username=carol&password=x"));
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, ReadRaw(context, chunk));
  EXPECT_THAT(log_.Text(), HasSubstr("Unable to write the emptied logon post."));
}

TEST_F(RequestBodyStageTest, BypassUserIsMarkedAndForwardedUnchanged) {
  ConnectionContext context;
  const std::string post = LogonPost("username=bob@contoso.example&password=x");
  RawChunk chunk(post);
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, chunk));
  EXPECT_TRUE(context.bypassAllowed);
  EXPECT_EQ(4, context.checkAuthenticationAllowedResult);
  EXPECT_EQ(post, chunk.Presented());
}

TEST_F(RequestBodyStageTest, UserNameNamedTwiceIsRefusedWithoutAsking) {
  ConnectionContext context;
  RawChunk chunk(LogonPost("username=alice&password=Secret1&UserName=carol"));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, chunk));
  EXPECT_EQ(0, context.checkAuthenticationAllowedResult);
  EXPECT_FALSE(context.bypassAllowed);
  EXPECT_EQ(LogonPost("username=&password=&UserName="), chunk.Presented());
  EXPECT_THAT(log_.Text(), HasSubstr("carries the user name or the password more than once"));
}

TEST_F(RequestBodyStageTest, PasswordNamedTwiceIsRefused) {
  ConnectionContext context;
  RawChunk chunk(LogonPost("username=bob@contoso.example&password=a&pass%77ord=b"));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, chunk));
  EXPECT_FALSE(context.bypassAllowed);
  EXPECT_EQ(LogonPost("username=&password=&pass%77ord="), chunk.Presented());
}

TEST_F(RequestBodyStageTest, EncodedFieldNameIsTheUserNameField) {
  ConnectionContext context;
  RawChunk chunk(LogonPost("user%6Eame=carol&password=x"));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, chunk));
  EXPECT_EQ("CONTOSO\\carol", context.username.str());
  EXPECT_EQ(LogonPost("user%6Eame=&password="), chunk.Presented());
}

TEST_F(RequestBodyStageTest, EmptyUserNameFieldFallsBackToTheLgnCookie) {
  ConnectionContext context;
  const std::string body = "username=&password=Secret1";
  RawChunk chunk("POST /cookieauth.dll?logon HTTP/1.1\r\nCookie: x=1; LGN=Alice;\r\nContent-Length: " +
                 std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, chunk));
  EXPECT_EQ("CONTOSO\\alice", context.username.str());
  EXPECT_EQ(5, context.checkAuthenticationAllowedResult);
}

TEST_F(RequestBodyStageTest, OwnLoginFormWithEmptyActionIsLogin) {
  ConnectionContext context;
  RawChunk chunk(LogonPost("passcode=123456&Action=", "/TalverinAuth.dll?action=talvlogin"));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, chunk));
  EXPECT_EQ(FormAction::Login, context.formAction);
  EXPECT_EQ("123456", context.passcode.str());
}

TEST_F(RequestBodyStageTest, OwnLoginFormWithLoginInAnotherCaseIsCancel) {
  ConnectionContext context;
  RawChunk chunk(LogonPost("passcode=123456&Action=login", "/talverinauth.dll?action=talvlogin"));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, chunk));
  EXPECT_EQ(FormAction::Cancel, context.formAction);
  EXPECT_TRUE(context.passcode.empty());
}

// ISA/TMG takes these for its logon post: the user is checked however the
// URL is spelled.
TEST_F(RequestBodyStageTest, LogonUrlSpelledAnotherWayIsStillTheLogonPost) {
  for (const char* url : {"/cookieauth.dll?logon&x=1", "/CookieAuth.dll?LOGON?x", "https://mail.example/CookieAuth.dll?Logon",
                          "/owa/../cookieauth.dll?logon"}) {
    ConnectionContext context;
    RawChunk chunk(LogonPost("username=carol&password=x", url));
    EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, chunk)) << url;
    EXPECT_EQ(FormAction::IsaTmgLogon, context.formAction) << url;
    EXPECT_EQ(LogonPost("username=&password=", url), chunk.Presented()) << url;
  }
}

// Once the header block has been handed on, what follows is the body: a
// request line in it is no request, and never an excluded one.
TEST_F(RequestBodyStageTest, LaterRecordsOfAHandedOnRequestAreItsBody) {
  ConnectionContext context;
  RawChunk head("POST /owa/ HTTP/1.1\r\nHost: mail.example\r\nContent-Length: 18\r\n\r\n");
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, head));
  RawChunk body("x /favicon.ico y\r\n");
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, body));
  EXPECT_EQ("x /favicon.ico y\r\n", body.Presented());
  EXPECT_FALSE(NotificationsDisabled(0x0400EC40));
  EXPECT_TRUE(context.requestHasBody);
  EXPECT_EQ("POST", context.requestMethod);
}

// "Content-Length:N" is valid HTTP: the post is read whole, so the user
// checked is the one whose name the body carries, not the lgn cookie's.
TEST_F(RequestBodyStageTest, ContentLengthWithoutBlankWaitsForTheWholeBody) {
  ConnectionContext context;
  const std::string body = "username=carol&password=x";
  const std::string head = "POST /cookieauth.dll?logon HTTP/1.1\r\nCookie: lgn=bob@contoso.example\r\n"
                           "Content-Length:" + std::to_string(body.size()) + "\r\n\r\n";
  RawChunk first(head);
  EXPECT_EQ(SF_STATUS_REQ_READ_NEXT, ReadRaw(context, first));
  EXPECT_EQ(FormAction::None, context.formAction);
  RawChunk whole(head + body);
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, whole));
  EXPECT_EQ("CONTOSO\\carol", context.username.str());
  EXPECT_FALSE(context.bypassAllowed);
}

// Posts whose end two readers could place differently, or that the filter
// will not hold, are finished instead of judged or waited on for ever.
TEST_F(RequestBodyStageTest, LoginPostsWithUnclearOrOversizedBodiesAreFinished) {
  const std::string body = "username=alice&password=Secret1";
  const std::string n = std::to_string(body.size());
  for (const std::string& headers : std::vector<std::string>{
           "Content-Length: " + n + "\r\nContent-Length: 5\r\n", std::string("Transfer-Encoding: chunked\r\n"),
        "Content-Length: " + n + "\r\nTransfer-Encoding: chunked\r\n", "Content-Length: 0x10\r\n",
        std::string("Content-Length: 70000\r\n"), "Content-Length: " + n + "\r\nContent-Type: multipart/form-data\r\n",
        "Content-Length: 3\r\n", "Content-Length: " + n + "\nX: y\r\n", "X: a\r\n folded\r\nContent-Length: " + n + "\r\n",
        // The proxy may read the form by the second type.
        "Content-Type: application/x-www-form-urlencoded\r\nContent-Type: multipart/form-data; boundary=b\r\n"
        "Content-Length: " + n + "\r\n"}) {
    ConnectionContext context;
    RawChunk chunk("POST /CookieAuth.dll?Logon HTTP/1.1\r\n" + headers + "\r\n" + body);
    EXPECT_EQ(SF_STATUS_REQ_FINISHED, ReadRaw(context, chunk)) << headers;
    EXPECT_EQ(0, context.checkAuthenticationAllowedResult) << headers;
  }
  EXPECT_THAT(log_.Text(), HasSubstr("Login form post has a Transfer-Encoding or an unclear Content-Length."));
  EXPECT_THAT(log_.Text(), HasSubstr("Login form post is longer than the filter reads."));
}

// A header block as long as the filter reads, unfinished or whole, is read;
// one byte more is finished.
TEST_F(RequestBodyStageTest, HeaderBlockLongerThanTheFilterReadsIsFinished) {
  constexpr std::size_t kLimit = CAnonymousLogonFilterImplementation::kMaxRequestHeaderBlock;
  const std::string start = "GET /owa/ HTTP/1.1\r\nX-Padding: ";
  for (const std::size_t size : {kLimit, kLimit + 1}) {
    ConnectionContext unfinished;
    RawChunk open(start + std::string(size - start.size(), 'a'));
    EXPECT_EQ(size == kLimit ? SF_STATUS_REQ_READ_NEXT : SF_STATUS_REQ_FINISHED, ReadRaw(unfinished, open)) << size;

    // The blank line begins right after `size` bytes.
    ConnectionContext whole;
    RawChunk closed(start + std::string(size - start.size(), 'a') + "\r\n\r\n");
    const DWORD status = ReadRaw(whole, closed);
    EXPECT_EQ(size == kLimit, whole.requestHeadersRead) << size;
    EXPECT_EQ(size == kLimit, status != SF_STATUS_REQ_FINISHED) << size;
  }
  EXPECT_THAT(log_.Text(), HasSubstr("Request header block is longer than the filter reads."));
}

TEST_F(RequestBodyStageTest, GetOfTheLogonUrlIsNoForm) {
  ConnectionContext context;
  RawChunk chunk("GET /cookieauth.dll?logon HTTP/1.1\r\n\r\n");
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, chunk));
  EXPECT_EQ(FormAction::None, context.formAction);
  EXPECT_THAT(log_.Text(), Not(HasSubstr("POST request has been detected.")));
}

TEST_F(RequestBodyStageTest, ExcludedUrlStopsEveryLaterNotification) {
  ConnectionContext context;
  RawChunk chunk("GET /favicon.ico HTTP/1.1\r\n\r\n");
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, chunk));
  EXPECT_TRUE(NotificationsDisabled(0x0400EC40));
}

TEST_F(RequestBodyStageTest, CustomExclusionListIsJudgedOnTheCanonicalUrl) {
  ConnectionContext excluded;
  RawChunk encoded("GET /%70ublic/a.htm HTTP/1.1\r\n\r\n");
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(excluded, encoded));
  EXPECT_TRUE(NotificationsDisabled(0x0400EC40));

  host_.supportCalls.clear();
  ConnectionContext notExcluded;
  RawChunk climbing("GET /public/../owa/ HTTP/1.1\r\n\r\n");
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(notExcluded, climbing));
  EXPECT_FALSE(NotificationsDisabled(0x0400EC40));

  talverin::FilterSettings& settings = talverin::FilterSettings::Instance();
  EXPECT_TRUE(settings.IsInCustomExclusionList(kListener, "/PUBLIC/a"));
  EXPECT_TRUE(settings.IsInCustomExclusionList(kListener, "/%70ublic/a"));
  EXPECT_FALSE(settings.IsInCustomExclusionList(kListener, "/public/../owa/"));
}

TEST_F(RequestBodyStageTest, LogonPostWithoutBackEndIsEmptied) {
  CAnonymousLogonFilterImplementation unconnected;
  ConnectionContext context;
  RawChunk chunk(LogonPost("username=alice&password=Secret1"));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, unconnected.OnReadRawData(host_.pfc(), &chunk.record, &context));
  EXPECT_THAT(log_.Text(), HasSubstr("Unable to check user - proxy is null."));
  EXPECT_EQ(LogonPost("username=&password="), chunk.Presented());
}

}  // namespace
}  // namespace flowtest
