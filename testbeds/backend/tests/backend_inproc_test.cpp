// The answers of the test back end, hosted in-process, that the filter's own
// tests take for the real back end's: each user's code, a passcode good for
// one logon, and a token dead after five wrong passcodes.
#include <gmock/gmock.h>

#include "backend_client.h"

namespace backend_test {
namespace {

class InProcBackend : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(session_.master());
    proxy_ = Get(session_.master(), L"Proxy").Object();
    ASSERT_TRUE(proxy_);
  }

  bool Accepted(const std::wstring& token, const std::string& passcode) {
    Reply reply = Method(proxy_.Get(), L"Authenticate", {token, Widen(passcode)});
    EXPECT_EQ(S_OK, reply.hr);
    EXPECT_EQ(VT_BOOL, reply.type());
    return reply.BoolValue() == VARIANT_TRUE;
  }

  BackendSession session_{kInProcProgId};
  ComPtr<IDispatch> proxy_;
};

TEST_F(InProcBackend, CheckAuthenticationAllowedAnswersEachUsersCode) {
  struct Row {
    const wchar_t* name;
    long code;
  };
  for (const Row& row : std::vector<Row>{{L"CONTOSO\\alice", 5}, {L"contoso\\ALICE", 5}, {L"alice@Contoso", 5},
                                         {L"bob@contoso.example", 4}, {L"CONTOSO\\carol", 2}, {L"CONTOSO\\dave", 3},
                                         {L"CONTOSO\\mallory", 1}, {L"alice", 1}, {L"OTHER\\alice", 1}}) {
    SCOPED_TRACE(Narrow(row.name));
    Reply reply = Method(proxy_.Get(), L"CheckAuthenticationAllowed", {row.name, L"192.0.2.7"});
    ASSERT_EQ(S_OK, reply.hr) << Narrow(reply.description);
    ASSERT_EQ(VT_I4, reply.type());
    EXPECT_EQ(row.code, reply.Int());
  }
}

TEST_F(InProcBackend, PasscodeIsGoodOnceAndFiveWrongOnesKillTheToken) {
  for (int wrong : {4, 5}) {
    SCOPED_TRACE(wrong);
    Reply token = Method(proxy_.Get(), L"RequestPasscode", {L"CONTOSO\\alice"});
    ASSERT_EQ(S_OK, token.hr);
    const std::string passcode = PasscodeFromOutbox(session_.Outbox(), token.Text());
    ASSERT_EQ(6u, passcode.size()) << session_.Outbox();
    for (int i = 0; i < wrong; ++i) EXPECT_FALSE(Accepted(token.Text(), passcode == "000000" ? "000001" : "000000"));
    EXPECT_EQ(wrong < 5, Accepted(token.Text(), passcode));
    EXPECT_FALSE(Accepted(token.Text(), passcode)) << "a passcode is good for one logon only";
  }
}

}  // namespace
}  // namespace backend_test
