// Raw request data: the header block's limit, the two login forms and the user check against the test back end;
// excluded URLs and bodies in several records are walked by the end-to-end roads.
#include "flow_fixture.h"

namespace flowtest {
namespace {

using ::testing::HasSubstr;

class RequestBodyStageTest : public FlowTest {};

// Each login form as the back end judges its user. A refused user, and every post naming the user or the password in a
// way two form readers could take differently, reaches ISA/TMG with the credentials emptied.
TEST_F(RequestBodyStageTest, LoginFormsAreJudgedAndRefusedOnesEmptied) {
  const char* const logon = "/CookieAuth.dll?Logon";
  const FormAction isa = FormAction::IsaTmgLogon;
  struct Row {
    const char* url;
    const char* body;
    const char* user = nullptr;     // checked when set
    int checkResult = -1;           // checked unless -1
    const char* emptied = nullptr;  // the body handed on when it is not the one sent
    const char* log = "";
    FormAction action = FormAction::IsaTmgLogon;
    bool bypass = false;
    const char* cookieLine = "";
  };
  const Row rows[] = {
      {logon, "curl=Z2Fowa&username=alice&password=Secret1", "CONTOSO\\alice", 5},
      {logon, "curl=Z2Fowa&username=carol&password=x&flags=0", "CONTOSO\\carol", 2,
       "curl=Z2Fowa&username=&password=&flags=0", "Checking in TALVERIN failed - resetting username and password"},
      {logon, "username=bob@contoso.example&password=x", "bob@contoso.example", 4, nullptr, "", isa, true},
      {logon, "username=zed&password=x", "CONTOSO\\zed", -1, "username=&password="},  // unknown to the back end
      {logon, "username=alice&password=Secret1&UserName=carol", nullptr, 0, "username=&password=&UserName=",
       "carries the user name or the password more than once"},
      {logon, "username=bob@contoso.example&password=a&pass%77ord=b", nullptr, -1, "username=&password=&pass%77ord="},
      {logon, "user%6Eame=carol&password=x", "CONTOSO\\carol", -1, "user%6Eame=&password="},
      {logon, "username=carol&password", nullptr, 2, "username=&password="},  // a field without '=' is emptied too
      // An empty user name field: the lgn cookie names the user.
      {"/cookieauth.dll?logon", "username=&password=Secret1", "CONTOSO\\alice", 5, nullptr, "", isa, false,
       "Cookie: x=1; LGN=Alice;\r\n"},
      // ISA/TMG takes these for its logon post: the user is checked however the URL is spelled.
      {"/cookieauth.dll?logon&x=1", "username=carol&password=x", nullptr, 2, "username=&password="},
      {"/CookieAuth.dll?LOGON?x", "username=carol&password=x", nullptr, 2, "username=&password="},
      {"https://mail.example/CookieAuth.dll?Logon", "username=carol&password=x", nullptr, 2, "username=&password="},
      {"/owa/../cookieauth.dll?logon", "username=carol&password=x", nullptr, 2, "username=&password="},
      {"/%63ookieauth.dll?Logon", "username=carol&password=x", nullptr, 2, "username=&password="},
      // The own form: an empty action is the login, any other (even "login") a cancel.
      {"/TalverinAuth.dll?action=talvlogin", "passcode=123456&Action=", nullptr, -1, nullptr, "", FormAction::Login},
      {"/talverinauth.dll?action=talvlogin", "passcode=123456&Action=login", nullptr, -1, nullptr, "",
       FormAction::Cancel},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.url) + " " + r.body);
    const std::string head = "POST " + std::string(r.url) + " HTTP/1.1\r\nHost: mail.example\r\n" + r.cookieLine +
                             "Content-Length: ";
    const std::string body = r.body;
    ConnectionContext context;
    const std::size_t logged = log_.Text().size();
    RawChunk chunk(head + std::to_string(body.size()) + "\r\n\r\n" + body);
    EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, ReadRaw(context, chunk));
    EXPECT_EQ(r.action, context.formAction);
    if (r.user) EXPECT_EQ(r.user, context.username.str());
    if (r.checkResult >= 0) EXPECT_EQ(r.checkResult, context.checkAuthenticationAllowedResult);
    EXPECT_EQ(r.bypass, context.bypassAllowed);
    const std::string handedOn = r.emptied ? r.emptied : body;
    EXPECT_EQ(head + std::to_string(handedOn.size()) + "\r\n\r\n" + handedOn, chunk.Presented());
    if (*r.log) EXPECT_THAT(log_.Text().substr(logged), HasSubstr(r.log));
    if (r.action == FormAction::Login) EXPECT_EQ("123456", context.passcode.str());
    if (r.action == FormAction::Cancel) EXPECT_TRUE(context.passcode.empty());
  }
  EXPECT_THAT(log_.Text(), HasSubstr("has been locked out from TALVERIN database."));
}

// Posts whose end two readers could place differently, or that the filter will not hold, are finished instead of judged
// or waited on for ever (more spellings are rows of the request block table).
TEST_F(RequestBodyStageTest, LoginPostsWithUnclearOrOversizedBodiesAreFinished) {
  const std::string body = "username=alice&password=Secret1";
  const std::string n = std::to_string(body.size());
  for (const std::string& headers :
       {"Content-Length: " + n + "\r\nTransfer-Encoding: chunked\r\n", std::string("Content-Length: 0x10\r\n"),
        std::string("Content-Length: 70000\r\n"), std::string("Content-Length: 3\r\n"),
        "Content-Length: +" + n + "\r\n", "Content-Length: " + n + "\nX: y\r\n"}) {
    ConnectionContext context;
    RawChunk chunk("POST /CookieAuth.dll?Logon HTTP/1.1\r\n" + headers + "\r\n" + body);
    EXPECT_EQ(SF_STATUS_REQ_FINISHED, ReadRaw(context, chunk)) << headers;
    EXPECT_EQ(0, context.checkAuthenticationAllowedResult) << headers;
  }
  EXPECT_THAT(log_.Text(), HasSubstr("Login form post has a Transfer-Encoding or an unclear Content-Length."));
  EXPECT_THAT(log_.Text(), HasSubstr("Login form post is longer than the filter reads."));
}

// A header block as long as the filter reads, unfinished or whole, is read; one byte more is finished.
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

// Without a back end the credentials are emptied; a refused user's that cannot be emptied end the request.
TEST_F(RequestBodyStageTest, UncheckedOrUnwritableLogonPostsHandNoCredentialsOn) {
  CAnonymousLogonFilterImplementation unconnected;
  ConnectionContext context;
  RawChunk chunk(LogonPost("username=alice&password=Secret1"));
  EXPECT_EQ(SF_STATUS_REQ_NEXT_NOTIFICATION, unconnected.OnReadRawData(host_.pfc(), &chunk.record, &context));
  EXPECT_THAT(log_.Text(), HasSubstr("Unable to check user - proxy is null."));
  EXPECT_EQ(LogonPost("username=&password="), chunk.Presented());

  host_.allocFails = true;
  ConnectionContext refused;
  RawChunk carol(LogonPost("username=carol&password=x"));
  EXPECT_EQ(SF_STATUS_REQ_FINISHED, ReadRaw(refused, carol));
  EXPECT_THAT(log_.Text(), HasSubstr("Unable to write the emptied logon post."));
}

}  // namespace
}  // namespace flowtest
