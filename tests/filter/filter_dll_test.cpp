// The built module through its exports, loaded from a folder of its own with
// a "Logs" folder beside it, as the host loads it.
#include <windows.h>
#include <httpfilt.h>

#include <gtest/gtest.h>

#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "base/win.h"
#include "config/settings_registry.h"
#include "support/filter_install.h"
#include "support/trace_capture.h"

namespace talverin {
namespace {

using test::Banner;
using test::Contains;
using test::CountOf;

using VersionFn = BOOL(WINAPI*)(HTTP_FILTER_VERSION*);
using FilterProcFn = DWORD(WINAPI*)(HTTP_FILTER_CONTEXT*, DWORD, void*);
using TerminateFn = BOOL(WINAPI*)(DWORD);
using WpxProcFn = DWORD(WINAPI*)(void*, DWORD, void*);
using ReloadFn = BOOL(WINAPI*)();

const char kInitializing[] = "*********** Initializing TALVERIN ISA Web Filter ***********";

BOOL WINAPI NoServerVariable(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, LPDWORD) {
  SetLastError(ERROR_INVALID_INDEX);
  return FALSE;
}
BOOL WINAPI AcceptSupportRequest(HTTP_FILTER_CONTEXT*, enum SF_REQ_TYPE, PVOID, ULONG_PTR, ULONG_PTR) { return TRUE; }

class FilterDllTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(install_.ok()); }

  template <class F>
  F Proc(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_.Get(), name)));
  }
  // Loads the module and, unless told otherwise, starts it as the host does.
  void Load(bool start = true) {
    module_.Reset(LoadLibraryA(install_.dllPath().c_str()));
    ASSERT_TRUE(module_) << GetLastError();
    httpFilterProc_ = Proc<FilterProcFn>("HttpFilterProc");
    ASSERT_TRUE(httpFilterProc_);
    HTTP_FILTER_VERSION version{};
    if (start) ASSERT_TRUE(Proc<VersionFn>("GetFilterVersion")(&version));
  }

  // One notification on a fresh connection from a host that knows no server
  // variable; a context the filter left in the slot is ended as the host ends every request.
  DWORD Notify(DWORD type, void* notification = nullptr) {
    HTTP_FILTER_CONTEXT pfc{};
    pfc.cbSize = sizeof pfc;
    pfc.GetServerVariable = &NoServerVariable;
    pfc.ServerSupportFunction = &AcceptSupportRequest;
    HTTP_FILTER_RAW_DATA raw{};
    DWORD status = httpFilterProc_(&pfc, type, notification ? notification : &raw);
    if (pfc.pFilterContext != nullptr)
      EXPECT_EQ(httpFilterProc_(&pfc, SF_NOTIFY_END_OF_REQUEST, nullptr), DWORD(SF_STATUS_REQ_NEXT_NOTIFICATION));
    return status;
  }
  std::vector<std::string> Messages() const { return test::LogMessages(install_.logPath()); }

  // Declared first: the module is unloaded before its folder is removed.
  test::FilterInstall install_;
  test::SettingsKey key_;
  UniqueModule module_;
  FilterProcFn httpFilterProc_ = nullptr;
};

TEST_F(FilterDllTest, StartsOnceWithItsRevisionAndFlagsAndLogsInTheExactLayout) {
  Load(false);
  // Before the start-up: web proxy notifications are ignored, others refused.
  int notification = 0;
  SetLastError(ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Proc<WpxProcFn>("HttpWPXFilterProc")(nullptr, SF_NOTIFY_PREPROC_HEADERS, &notification), 0u);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_FALSE(test::FileExists(install_.logPath()));
  EXPECT_EQ(Notify(SF_NOTIFY_PREPROC_HEADERS), DWORD(SF_STATUS_REQ_FINISHED));

  OSVERSIONINFOA os{sizeof os};
  const bool revision8 = GetVersionExA(&os) && os.dwMajorVersion >= 6;
  HTTP_FILTER_VERSION isapi{};
  isapi.dwServerFilterVersion = 0x12345;
  isapi.lpszFilterDesc[0] = 'h';
  ASSERT_TRUE(Proc<VersionFn>("GetFilterVersion")(&isapi));
  EXPECT_EQ(isapi.dwFilterVersion, revision8 ? 0x00080000u : 0x00060000u);
  EXPECT_EQ(isapi.dwFlags, revision8 ? 0x0410ECC0u : 0x0400ECC0u);
  EXPECT_EQ(isapi.dwServerFilterVersion, 0x12345u);
  EXPECT_EQ(std::string(isapi.lpszFilterDesc), "h");

  const std::string text = test::ReadFileText(install_.logPath());
  std::ostringstream pattern;
  pattern << R"(\d{2}\\\d{2}\\\d{4} \d{2}:\d{2}:\d{2} - \[)" << GetCurrentProcessId() << ":" << GetCurrentThreadId()
          << R"(\] \t[^\r\n]*\r\n)";
  const std::regex line(pattern.str());
  const std::vector<std::string> startUp = {
      kInitializing,
      std::string("Version: ") + TALVERIN_EXPECTED_VERSION,
      "Settings have been loaded successfully.",
      "Web listeners configuration map initialized successfully.",
      "Saved web listeners configuration to settings successfully.",
      "Loading \"Anonymous logon\" implementation.",
      "Locale \"en\" has been loaded.",
  };
  EXPECT_EQ(Messages(), startUp);
  EXPECT_EQ(std::size_t(std::distance(std::sregex_iterator(text.begin(), text.end(), line), std::sregex_iterator())),
            startUp.size());
  EXPECT_EQ(std::regex_replace(text, line, ""), "");  // nothing but well-formed lines

  HTTP_FILTER_VERSION wpx{};
  ASSERT_TRUE(Proc<VersionFn>("GetWPXFilterVersion")(&wpx));
  EXPECT_EQ(wpx.dwFilterVersion, isapi.dwFilterVersion);
  EXPECT_EQ(wpx.dwFlags, revision8 ? 0x00100000u : 0u);
  EXPECT_EQ(CountOf(Messages(), kInitializing), 1u);
  EXPECT_EQ(Messages().back(), "Init has already has been called. Skipping this one.");

  EXPECT_TRUE(Proc<TerminateFn>("TerminateFilter")(0));
  EXPECT_EQ(Messages().back(), "*********** Deinitializing TALVERIN ISA Web Filter ***********");
}

TEST(FilterDllInstallTest, MissingLocaleLibraryFailsTheStartUp) {
  test::FilterInstall install(/*withLocale=*/false);
  ASSERT_TRUE(install.ok());
  UniqueModule module(LoadLibraryA(install.dllPath().c_str()));
  ASSERT_TRUE(module);
  HTTP_FILTER_VERSION version{};
  SetLastError(0);
  EXPECT_FALSE(reinterpret_cast<VersionFn>(reinterpret_cast<void*>(GetProcAddress(module.Get(), "GetFilterVersion")))(
      &version));
  EXPECT_NE(GetLastError(), 0u);
  std::vector<std::string> messages = test::LogMessages(install.logPath());
  EXPECT_TRUE(Contains(messages, "Resource DLL 'talverin.isa.filter.en' are missing or can't be loaded"));
  EXPECT_FALSE(Contains(messages, "Locale \"en\" has been loaded."));
}

TEST_F(FilterDllTest, ReloadReadsTheSettingsAgain) {
  ASSERT_TRUE(key_.SetDword("TraceLevel", 0));
  Load();
  // An empty raw-data record holds no complete header block: the filter waits
  // for more. At level 0 it says nothing of the notification.
  EXPECT_EQ(Notify(SF_NOTIFY_READ_RAW_DATA), DWORD(SF_STATUS_REQ_READ_NEXT));
  EXPECT_FALSE(Contains(Messages(), "Notification Type: 0x00008000"));
  ASSERT_TRUE(key_.SetDword("TraceLevel", 1));
  EXPECT_TRUE(Proc<ReloadFn>("ReloadWPXFilterConfiguration")());
  EXPECT_EQ(CountOf(Messages(), kInitializing), 2u);
  // The new level is in force.
  EXPECT_EQ(Notify(SF_NOTIFY_READ_RAW_DATA), DWORD(SF_STATUS_REQ_READ_NEXT));
  EXPECT_TRUE(Contains(Messages(), "Notification Type: 0x00008000"));
  EXPECT_TRUE(Contains(Messages(), Banner("OnReadRawData")));
}

// A host that hands over a record the filter may not read: the filter's own
// code faults inside HttpFilterProc, and the process goes on serving.
TEST_F(FilterDllTest, AccessViolationInsideTheModuleIsDumpedCountedAndTheNextRequestServed) {
  ASSERT_TRUE(key_.SetDword("TraceLevel", 1));
  Load();
  void* unreadable = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
  ASSERT_NE(unreadable, nullptr);
  EXPECT_EQ(Notify(SF_NOTIFY_READ_RAW_DATA, unreadable), DWORD(SF_STATUS_REQ_FINISHED));
  VirtualFree(unreadable, 0, MEM_RELEASE);

  std::vector<std::string> messages = Messages();
  std::size_t seh = test::IndexOf(messages, "SEH caught!!! Alarm, alarm, alarm! Exception code: 0xC0000005.");
  ASSERT_LT(seh + 2, messages.size()) << "no SEH line";
  EXPECT_LT(test::IndexOf(messages, Banner("OnReadRawData")), seh);  // the filter's own handler faulted
  EXPECT_EQ(messages[seh + 1], "Attempt to create dump file: \"" + install_.dumpPath() + "\".");
  EXPECT_EQ(messages[seh + 2],
            "Web filter blocked from execution. All requests will be rejected. Please restart the service.");
  EXPECT_EQ(test::ReadFileText(install_.dumpPath()).substr(0, 4), "MDMP");
  EXPECT_EQ(Notify(SF_NOTIFY_READ_RAW_DATA), DWORD(SF_STATUS_REQ_READ_NEXT));
  EXPECT_EQ(CountOf(Messages(), "Not all headers have been received. Waiting for the next chunk..."), 1u);
}

}  // namespace
}  // namespace talverin
