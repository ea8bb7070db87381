#include "config/url_exclusion_check.h"

#include <gtest/gtest.h>

#include <utility>

#include "stub/errors.h"
#include "support/fake_filter_context.h"
#include "support/trace_capture.h"

namespace talverin {
namespace {

using test::FakeFilterContext;
using test::TraceCapture;

// A protected listener that lets RPC over HTTP pass; an unknown one.
const ListenerExclusionSettings kRpcAllowed{true, true}, kUnknown;

DWORD refusalError = 0;
BOOL WINAPI Refuse(HTTP_FILTER_CONTEXT*, SF_REQ_TYPE, PVOID, ULONG_PTR, ULONG_PTR) {
  SetLastError(refusalError);
  return FALSE;
}

TEST(CheckUrlExclusionTest, ExcludedRequestDisablesAllButEndOfRequest) {
  TraceCapture trace;
  FakeFilterContext host;
  EXPECT_TRUE(CheckUrlExclusion(host.pfc(), "/RPC/rpcproxy.dll", "{P}", "RPC_IN_DATA", kRpcAllowed));
  EXPECT_TRUE(CheckUrlExclusion(host.pfc(), "/OWA/", "{UNKNOWN}", "GET", kUnknown));
  // A protected request leaves the host alone.
  EXPECT_FALSE(CheckUrlExclusion(host.pfc(), "/RPC/%u002e/", "{P}", "GET", kRpcAllowed));
  ASSERT_EQ(host.supportCalls.size(), 2u);
  for (const auto& call : host.supportCalls) {
    EXPECT_EQ(call.request, SF_REQ_DISABLE_NOTIFICATIONS);
    EXPECT_EQ(call.flags, 0x0400EC40u);  // every notification of the request but its end
  }
  EXPECT_TRUE(trace.Has("RPC_IN_DATA /RPC/rpcproxy.dll"));
  // The method line is written at the detail level only.
  TraceCapture brief(1);
  CheckUrlExclusion(host.pfc(), "/owa/", "{P}", "GET", kRpcAllowed);
  EXPECT_FALSE(brief.Has("GET /owa/"));
}

TEST(CheckUrlExclusionTest, RefusalRaisesWithTheHostsErrorOrAFailureWithoutOne) {
  TraceCapture trace;
  FakeFilterContext host;
  host.pfc()->ServerSupportFunction = &Refuse;
  const std::pair<DWORD, HRESULT> rows[] = {{ERROR_INVALID_PARAMETER, HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)},
                                            {0, E_FAIL}};
  for (const auto& [error, hr] : rows) {
    refusalError = error;
    try {
      CheckUrlExclusion(host.pfc(), "/favicon.ico", "{P}", "GET", kRpcAllowed);
      ADD_FAILURE() << "no exception for error " << error;
    } catch (const HRXEx& e) {
      EXPECT_EQ(e.hr, hr);
      // The host's refusal ends the request; the back end is not to blame.
      EXPECT_EQ(e.category, ErrorCategory::Host);
    }
  }
  EXPECT_TRUE(trace.Has("Disable all notifications failed! Error: 87"));
}

}  // namespace
}  // namespace talverin
