#include "host/filter_module.h"

#include <gmock/gmock.h>

#include "host/connection.h"
#include "probe.h"

namespace talverin::host {
namespace {

using test::ProbePath;
using test::ScopedEnvironment;
using testing::SizeIs;
using testing::StrEq;

constexpr DWORD kProbeDefaultFlags = 0x0400ECC0;

TEST(FilterModuleTest, StartMakesBothVersionCallsAndKeepsTheirFlags) {
  ScopedEnvironment wpxFlags("PROBE_WPX_FLAGS", "0x00100000");
  FilterModule module(ProbePath());
  ASSERT_TRUE(module.IsLoaded()) << module.LoadError();
  EXPECT_TRUE(module.MissingExports().empty());
  EXPECT_EQ(module.NotificationFlags(), 0u);

  StartResult start = module.Start();

  ASSERT_TRUE(start.Succeeded());
  EXPECT_EQ(start.wpx.version.dwFlags, 0x00100000u);
  EXPECT_EQ(start.isapi.version.dwFlags, kProbeDefaultFlags);
  EXPECT_EQ(start.isapi.version.dwFilterVersion, static_cast<DWORD>(HTTP_FILTER_REVISION));
  EXPECT_THAT(start.isapi.version.lpszFilterDesc, StrEq("Host probe filter"));
  EXPECT_EQ(module.WpxFlags(), 0x00100000u);
  EXPECT_EQ(module.NotificationFlags(), kProbeDefaultFlags);
}

TEST(FilterModuleTest, FailingVersionCallReportsFalseWithItsLastErrorAndRegistersNothing) {
  ScopedEnvironment fail("PROBE_FAIL_GetFilterVersion", "0x80004005");
  FilterModule module(ProbePath());
  StartResult start = module.Start();

  EXPECT_TRUE(start.wpx.Succeeded());
  EXPECT_TRUE(start.isapi.called);
  EXPECT_FALSE(start.isapi.result);
  EXPECT_EQ(start.isapi.lastError, 0x80004005u);
  EXPECT_FALSE(start.Succeeded());
  EXPECT_FALSE(module.WantsNotification(SF_NOTIFY_READ_RAW_DATA, false));
}

TEST(FilterModuleTest, ReloadTerminateAndRegistrationReportTheFiltersAnswers) {
  FilterModule module(ProbePath());
  EXPECT_TRUE(module.Reload().Succeeded());
  EXPECT_TRUE(module.Terminate().Succeeded());
  EXPECT_EQ(module.RegisterServer().hr, S_OK);
  StatusResult wpx = module.CallWpxFilterProc(nullptr, SF_NOTIFY_READ_RAW_DATA, nullptr);
  EXPECT_TRUE(wpx.called);
  EXPECT_EQ(wpx.status, 0u);

  ScopedEnvironment failReload("PROBE_FAIL_ReloadWPXFilterConfiguration", "5");
  ScopedEnvironment failTerminate("PROBE_FAIL_TerminateFilter", "6");
  ScopedEnvironment failUnregister("PROBE_FAIL_DllUnregisterServer", "1");
  CallResult reload = module.Reload();
  CallResult terminate = module.Terminate();
  EXPECT_FALSE(reload.result);
  EXPECT_EQ(reload.lastError, 5u);
  EXPECT_FALSE(terminate.result);
  EXPECT_EQ(terminate.lastError, 6u);
  EXPECT_EQ(module.UnregisterServer().hr, E_FAIL);
}

TEST(FilterModuleTest, MissingFileLeavesTheModuleUnloadedAndEveryCallUncalled) {
  FilterModule module(talverin::test::ExeDir() + "no-such-filter.dll");
  EXPECT_FALSE(module.IsLoaded());
  EXPECT_EQ(module.LoadError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  VersionResult version = module.GetFilterVersion();
  EXPECT_FALSE(version.called);
  EXPECT_EQ(version.lastError, static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(FilterModuleTest, DllWithoutFilterExportsListsThemAndIsNeverCalled) {
  FilterModule module("kernel32.dll");
  ASSERT_TRUE(module.IsLoaded());
  EXPECT_THAT(module.MissingExports(), SizeIs(8));
  StartResult start = module.Start();
  EXPECT_FALSE(start.wpx.called);
  EXPECT_EQ(start.isapi.lastError, static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_FALSE(module.Terminate().called);
  EXPECT_FALSE(module.WantsNotification(SF_NOTIFY_READ_RAW_DATA, false));
}

TEST(FilterModuleTest, UnloadWaitsForTheLastConnection) {
  FilterModule module(ProbePath());
  {
    Connection connection(module);
    EXPECT_EQ(module.LiveConnections(), 1);
    EXPECT_FALSE(module.Unload());
    EXPECT_TRUE(module.IsLoaded());
  }
  EXPECT_TRUE(module.Unload());
  EXPECT_FALSE(module.IsLoaded());
  EXPECT_FALSE(module.Reload().called);
}

struct PortCase {
  const char* flags;
  bool securePort;
  bool delivered;
};

void PrintTo(const PortCase& c, std::ostream* os) {
  *os << "flags " << c.flags << (c.securePort ? " secure" : " plain");
}

class FilterModulePortTest : public testing::TestWithParam<PortCase> {};

TEST_P(FilterModulePortTest, PortBitsChooseTheConnectionsThatAreNotified) {
  ScopedEnvironment flags("PROBE_FLAGS", GetParam().flags);
  FilterModule module(ProbePath());
  ASSERT_TRUE(module.Start().Succeeded());
  EXPECT_EQ(module.WantsNotification(SF_NOTIFY_PREPROC_HEADERS, GetParam().securePort), GetParam().delivered);
  EXPECT_FALSE(module.WantsNotification(SF_NOTIFY_LOG, GetParam().securePort));
}

INSTANTIATE_TEST_SUITE_P(Ports, FilterModulePortTest,
                         testing::Values(PortCase{"0x4000", false, true}, PortCase{"0x4000", true, true},
                                         PortCase{"0x4001", true, true}, PortCase{"0x4001", false, false},
                                         PortCase{"0x4002", true, false}, PortCase{"0x4003", false, true},
                                         PortCase{"0x8000", false, false}));

}  // namespace
}  // namespace talverin::host
