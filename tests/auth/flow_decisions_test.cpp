// The flow's decisions without a host or a back end: the state read under the session's lock, and the request block
// read before any stage runs. The stage tests walk the other decisions through the filter.
#include "auth/flow_decisions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace talverin::flow {
namespace {

constexpr int kInitial = 0, kAwaiting = 1, kValid = 2, kExpired = 3;

TEST(PasscodeStepTest, StateUnderTheLockDecides) {
  EXPECT_EQ(DecidePasscodeStep(kValid, true), PasscodeStep::AlreadyPassed);
  EXPECT_EQ(DecidePasscodeStep(kExpired, true), PasscodeStep::NotAwaited);
  EXPECT_EQ(DecidePasscodeStep(kInitial, true), PasscodeStep::NotAwaited);
  EXPECT_EQ(DecidePasscodeStep(kAwaiting, false), PasscodeStep::NoProxy);
  EXPECT_EQ(DecidePasscodeStep(kAwaiting, true), PasscodeStep::Check);
}

TEST(RequestBlockTest, DecidesAsTheTableSays) {
  using A = RequestBlockAction;
  using R = RequestBlockReason;
  const std::string form = "Content-Type: application/x-www-form-urlencoded\r\n";
  const std::string logon = "POST /CookieAuth.dll?Logon HTTP/1.1\r\nHost: site\r\n";
  struct Row {
    const char* name;
    std::string block;
    bool excluded;
    A action;
    R reason;
  };
  const Row rows[] = {
      {"Get", "GET /owa/ HTTP/1.1\r\nHost: site\r\n", false, A::PassOn, R::NoLoginForm},
      {"BareLineEnd", "GET /owa/ HTTP/1.1\nHost: site\r\n", false, A::Finish, R::NotStrict},
      {"FoldedLine", "GET /owa/ HTTP/1.1\r\nHost: site\r\n x\r\n", true, A::Finish, R::NotStrict},
      {"Excluded", logon + "Transfer-Encoding: chunked\r\n", true, A::PassOn, R::Excluded},
      {"LogonPost", logon + form + "Content-Length: 9\r\n", false, A::ReadBody, R::LoginForm},
      {"LowerCaseMethod", "post /CookieAuth.dll?Logon HTTP/1.1\r\nContent-Length: 9\r\n", false, A::ReadBody,
       R::LoginForm},
      {"OwnLoginPost", "POST /talverinauth.dll?action=talvlogin HTTP/1.1\r\nContent-Type: text/plain\r\n"
                       "Content-Length: 9\r\n", false, A::ReadBody, R::LoginForm},
      {"PostElsewhere", "POST /owa/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n", false, A::PassOn, R::NoLoginForm},
      {"Chunked", logon + "Transfer-Encoding: chunked\r\n", false, A::Finish, R::UnclearFraming},
      {"TwoLengths", logon + "Content-Length: 9\r\nContent-Length: 8\r\n", false, A::Finish, R::UnclearFraming},
      {"TooLong", logon + "Content-Length: 65537\r\n", false, A::Finish, R::FormTooLong},
      {"Multipart", logon + "Content-Type: multipart/form-data; b=x\r\nContent-Length: 9\r\n", false, A::Finish,
       R::NotUrlEncoded},
      {"FormWithCharset", logon + "content-type: Application/X-WWW-Form-UrlEncoded ; charset=utf-8\r\n"
                                  "Content-Length: 9\r\n", false, A::ReadBody, R::LoginForm},
      // ISA/TMG may read the form by the second line and find another user name in it than the back end was asked
      // about.
      {"TwoContentTypes", logon + form + "Content-Type: multipart/form-data; b=x\r\nContent-Length: 9\r\n", false,
       A::Finish, R::NotUrlEncoded},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string block = r.block + "\r\n";
    const RequestBlockDecision decision = DecideRequestBlock(ReadRequestBlock(block), block.size(), r.excluded);
    EXPECT_EQ(decision.action, r.action);
    EXPECT_EQ(decision.reason, r.reason);
    if (r.action == A::ReadBody) {
      EXPECT_EQ(decision.bytesAwaited, block.size() + 9);
    }
  }
}

// Every Cookie line, however its name is spelled: the host may hand over only one of them.
TEST(RequestBlockTest, KeepsEveryCookieLine) {
  EXPECT_EQ(ReadRequestBlock("GET / HTTP/1.1\r\nCookie: a=1\r\ncookie : cadata=K\r\n\r\n").cookieLines,
            (std::vector<std::string>{"a=1", "cadata=K"}));
}

}  // namespace
}  // namespace talverin::flow
