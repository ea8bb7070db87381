#include "config/url_exclusion_check.h"

#include <gtest/gtest.h>

#include "config/trace_capture.h"
#include "stub/errors.h"

namespace talverin {
namespace {

// A host filter context that records the notification-disabling call.
struct FakeHost {
  HTTP_FILTER_CONTEXT context{};
  int calls = 0;
  int request = -1;
  ULONG_PTR flags = 0;
  BOOL answer = TRUE;
  DWORD error = 0;

  FakeHost() {
    context.cbSize = sizeof context;
    context.pFilterContext = nullptr;
    context.ServerSupportFunction = &Support;
    current = this;
  }
  static BOOL WINAPI Support(HTTP_FILTER_CONTEXT*, enum SF_REQ_TYPE type, PVOID, ULONG_PTR ul1, ULONG_PTR) {
    ++current->calls;
    current->request = type;
    current->flags = ul1;
    if (!current->answer) SetLastError(current->error);
    return current->answer;
  }
  static FakeHost* current;
};
FakeHost* FakeHost::current = nullptr;

ListenerExclusionLookup Listeners(ListenerExclusionSettings protectedListener) {
  return [protectedListener](const std::string& guid) {
    return guid == "{P}" ? protectedListener : ListenerExclusionSettings{};
  };
}

ListenerExclusionSettings RpcAllowed() {
  ListenerExclusionSettings listener;
  listener.enabled = true;
  listener.rpcOverHttpAllowed = true;
  return listener;
}

TEST(CheckUrlExclusionTest, ExcludedRequestDisablesAllButEndOfRequest) {
  test::TraceCapture trace;
  FakeHost host;
  EXPECT_TRUE(CheckUrlExclusion(&host.context, "/RPC/rpcproxy.dll", "{P}", "RPC_IN_DATA", Listeners(RpcAllowed())));
  EXPECT_EQ(host.calls, 1);
  EXPECT_EQ(host.request, SF_REQ_DISABLE_NOTIFICATIONS);
  EXPECT_EQ(host.flags, 0x0400EC40u);
  EXPECT_EQ(host.flags & SF_NOTIFY_END_OF_REQUEST, 0u);
  EXPECT_TRUE(trace.Has("RPC_IN_DATA /RPC/rpcproxy.dll"));
  EXPECT_TRUE(trace.Has("Url \"/rpc/rpcproxy.dll\" is skipped because Rpc over Http is allowed."));
}

TEST(CheckUrlExclusionTest, UnknownListenerIsNotProtected) {
  test::TraceCapture trace;
  FakeHost host;
  EXPECT_TRUE(CheckUrlExclusion(&host.context, "/OWA/", "{UNKNOWN}", "GET", Listeners(RpcAllowed())));
  EXPECT_EQ(host.calls, 1);
  EXPECT_TRUE(trace.Has("Url \"/OWA/\" is skipped because the listener \"{UNKNOWN}\" is not protected"));
}

TEST(CheckUrlExclusionTest, ProtectedRequestLeavesTheHostAlone) {
  test::TraceCapture trace;
  FakeHost host;
  EXPECT_FALSE(CheckUrlExclusion(&host.context, "/rpc/../owa/", "{P}", "GET", Listeners(RpcAllowed())));
  EXPECT_EQ(host.calls, 0);
  EXPECT_TRUE(trace.Has("GET /rpc/../owa/"));
}

TEST(CheckUrlExclusionTest, MethodLineOnlyAtDetailLevel) {
  test::TraceCapture trace(1);
  FakeHost host;
  CheckUrlExclusion(&host.context, "/owa/", "{P}", "GET", Listeners(RpcAllowed()));
  EXPECT_FALSE(trace.Has("GET /owa/"));
}

TEST(CheckUrlExclusionTest, RefusalRaisesWithTheHostsError) {
  test::TraceCapture trace;
  FakeHost host;
  host.answer = FALSE;
  host.error = ERROR_INVALID_PARAMETER;
  try {
    CheckUrlExclusion(&host.context, "/favicon.ico", "{P}", "GET", Listeners(RpcAllowed()));
    FAIL() << "no exception";
  } catch (const HRXEx& e) {
    EXPECT_EQ(e.hr, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  }
  EXPECT_TRUE(trace.Has("Disable all notifications failed! Error: 87"));
}

TEST(CheckUrlExclusionTest, RefusalWithoutAnErrorStillFails) {
  FakeHost host;
  host.answer = FALSE;
  host.error = 0;
  try {
    CheckUrlExclusion(&host.context, "/favicon.ico", "{P}", "GET", Listeners(RpcAllowed()));
    FAIL() << "no exception";
  } catch (const HRXEx& e) {
    EXPECT_TRUE(FAILED(e.hr));
  }
}

}  // namespace
}  // namespace talverin
