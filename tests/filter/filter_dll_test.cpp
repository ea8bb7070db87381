// The built module through its exports, loaded from a folder of its own with
// a "Logs" folder beside it, as the host loads it.
#include <windows.h>
#include <httpfilt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/win.h"
#include "config/settings_registry.h"
#include "support/fake_filter_context.h"
#include "support/filter_install.h"
#include "support/trace_capture.h"

namespace talverin {
namespace {

using test::Banner;
using test::Contains;
using test::CountOf;

using VersionFn = BOOL(WINAPI*)(HTTP_FILTER_VERSION*);
using FilterProcFn = DWORD(WINAPI*)(HTTP_FILTER_CONTEXT*, DWORD, void*);

const char kInitializing[] = "*********** Initializing TALVERIN ISA Web Filter ***********";
const char kWaiting[] = "Not all headers have been received. Waiting for the next chunk...";

template <class F>
F Export(const UniqueModule& module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module.Get(), name)));
}

// One notification on a fresh connection, whose request the host then ends as it ends every request.
DWORD Notify(FilterProcFn proc, DWORD type, void* notification = nullptr) {
  test::FakeFilterContext host;
  HTTP_FILTER_RAW_DATA raw{};
  DWORD status = proc(host.pfc(), type, notification ? notification : &raw);
  if (host.pfc()->pFilterContext != nullptr)
    EXPECT_EQ(proc(host.pfc(), SF_NOTIFY_END_OF_REQUEST, nullptr), DWORD(SF_STATUS_REQ_NEXT_NOTIFICATION));
  return status;
}

TEST(FilterDllTest, StartsReloadsContainsAFaultAndStopsThroughItsExports) {
  test::FilterInstall install;  // declared first: the module is unloaded before its folder is removed
  ASSERT_TRUE(install.ok());
  test::SettingsKey key;
  ASSERT_TRUE(key.SetDword("TraceLevel", 0));
  UniqueModule module(LoadLibraryA(install.dllPath().c_str()));
  ASSERT_TRUE(module) << GetLastError();
  auto filterProc = Export<FilterProcFn>(module, "HttpFilterProc");
  ASSERT_TRUE(filterProc);
  auto messages = [&install] { return test::LogMessages(install.logPath()); };

  // Before the start-up: web proxy notifications are ignored, others refused.
  int notification = 0;
  using WpxProcFn = DWORD(WINAPI*)(void*, DWORD, void*);
  EXPECT_EQ(Export<WpxProcFn>(module, "HttpWPXFilterProc")(nullptr, SF_NOTIFY_PREPROC_HEADERS, &notification), 0u);
  EXPECT_FALSE(test::FileExists(install.logPath()));
  EXPECT_EQ(Notify(filterProc, SF_NOTIFY_PREPROC_HEADERS), DWORD(SF_STATUS_REQ_FINISHED));

  OSVERSIONINFOA os{sizeof os};
  const bool revision8 = GetVersionExA(&os) && os.dwMajorVersion >= 6;
  HTTP_FILTER_VERSION isapi{};
  ASSERT_TRUE(Export<VersionFn>(module, "GetFilterVersion")(&isapi));
  EXPECT_EQ(isapi.dwFilterVersion, revision8 ? 0x00080000u : 0x00060000u);
  EXPECT_EQ(isapi.dwFlags, revision8 ? 0x0410ECC0u : 0x0400ECC0u);

  const std::vector<std::string> startUp = {
      kInitializing,
      std::string("Version: ") + TALVERIN_EXPECTED_VERSION,
      "Settings have been loaded successfully.",
      "Web listeners configuration map initialized successfully.",
      "Saved web listeners configuration to settings successfully.",
      "Loading \"Anonymous logon\" implementation.",
      "Locale \"en\" has been loaded.",
  };
  EXPECT_EQ(messages(), startUp);

  HTTP_FILTER_VERSION wpx{};
  ASSERT_TRUE(Export<VersionFn>(module, "GetWPXFilterVersion")(&wpx));
  EXPECT_EQ(wpx.dwFilterVersion, isapi.dwFilterVersion);
  EXPECT_EQ(wpx.dwFlags, revision8 ? 0x00100000u : 0u);
  EXPECT_EQ(CountOf(messages(), kInitializing), 1u);
  EXPECT_EQ(messages().back(), "Init has already has been called. Skipping this one.");

  // An empty raw-data record holds no complete header block: the filter waits
  // for more. At level 0 it says nothing of the notification; a reload puts the new level in force.
  EXPECT_EQ(Notify(filterProc, SF_NOTIFY_READ_RAW_DATA), DWORD(SF_STATUS_REQ_READ_NEXT));
  EXPECT_FALSE(Contains(messages(), Banner("OnReadRawData")));
  ASSERT_TRUE(key.SetDword("TraceLevel", 1));
  using ReloadFn = BOOL(WINAPI*)();
  EXPECT_TRUE(Export<ReloadFn>(module, "ReloadWPXFilterConfiguration")());
  EXPECT_TRUE(Contains(messages(), "Reloading the filter..."));
  EXPECT_EQ(CountOf(messages(), kInitializing), 2u);
  EXPECT_EQ(Notify(filterProc, SF_NOTIFY_READ_RAW_DATA), DWORD(SF_STATUS_REQ_READ_NEXT));
  EXPECT_TRUE(Contains(messages(), Banner("OnReadRawData")));

  // A host that hands over a record the filter may not read: the filter's own
  // code faults inside HttpFilterProc, and the process goes on serving.
  void* unreadable = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
  ASSERT_NE(unreadable, nullptr);
  EXPECT_EQ(Notify(filterProc, SF_NOTIFY_READ_RAW_DATA, unreadable), DWORD(SF_STATUS_REQ_FINISHED));
  VirtualFree(unreadable, 0, MEM_RELEASE);
  const std::vector<std::string> fault = messages();
  const std::size_t seh = test::IndexOf(fault, "SEH caught!!! Alarm, alarm, alarm! Exception code: 0xC0000005.");
  ASSERT_LT(seh + 2, fault.size()) << "no SEH line";
  EXPECT_EQ(CountOf(fault, Banner("OnReadRawData")), 2u);  // the filter's own handler faulted
  EXPECT_EQ(fault[seh + 1], "Attempt to create dump file: \"" + install.dumpPath() + "\".");
  EXPECT_EQ(fault[seh + 2],
            "Web filter blocked from execution. All requests will be rejected. Please restart the service.");
  EXPECT_EQ(test::ReadFileText(install.dumpPath()).substr(0, 4), "MDMP");
  const std::size_t waiting = CountOf(messages(), kWaiting);
  EXPECT_EQ(Notify(filterProc, SF_NOTIFY_READ_RAW_DATA), DWORD(SF_STATUS_REQ_READ_NEXT));
  EXPECT_EQ(CountOf(messages(), kWaiting), waiting + 1);

  using TerminateFn = BOOL(WINAPI*)(DWORD);
  EXPECT_TRUE(Export<TerminateFn>(module, "TerminateFilter")(0));
  EXPECT_EQ(messages().back(), "*********** Deinitializing TALVERIN ISA Web Filter ***********");
}

}  // namespace
}  // namespace talverin
