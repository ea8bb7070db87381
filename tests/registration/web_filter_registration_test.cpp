#include "registration/web_filter_registration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "config/store_fixture.h"
#include "registration/debug_capture.h"
#include "support/trace_capture.h"

namespace talverin {
namespace {

using Strings = std::vector<std::string>;
constexpr char kGuid[] = "{6E394025-1BC0-4737-B999-31B84BAB6D4C}";

// Registration runs on the registration tool's thread, which has no COM of
// its own yet (the test's main thread is in the multi-threaded apartment).
HRESULT OnFreshThread(const std::function<HRESULT()>& work) {
  HRESULT hr = E_UNEXPECTED;
  std::thread([&] { hr = work(); }).join();
  return hr;
}

class RegistrationTest : public testing::Test {
 protected:
  // The registration's messages end in a line feed of their own: the empty
  // line after each is no message.
  Strings TraceLines() const {
    Strings lines = trace_.Messages();
    lines.erase(std::remove(lines.begin(), lines.end(), "<malformed> "), lines.end());
    return lines;
  }

  test::StoreTestBed store_;
  test::TraceCapture trace_{2};
  test::DebugOutputCapture debug_;
};

TEST_F(RegistrationTest, RegisterAddsTheEnabledFilterOnceAndUnregisterRemovesItOnly) {
  test::WriteFileText(store_.FiltersPath(), "[filter {OTHER}]\nname = Other\n");
  EXPECT_EQ(OnFreshThread(RegisterFilter), S_OK);
  std::string saved = store_.SavedFilters();
  // The vendor's last byte is the registered sign of the thread's code page
  // (1252 in the test prefix), saved by the store as UTF-8.
  wchar_t sign = 0;
  ASSERT_EQ(MultiByteToWideChar(CP_THREAD_ACP, 0, "\xAE", 1, &sign, 1), 1);
  char signUtf8[8] = {};
  WideCharToMultiByte(CP_UTF8, 0, &sign, 1, signUtf8, sizeof signUtf8, nullptr, nullptr);
  EXPECT_NE(saved.find(std::string("[filter ") + kGuid +
                       "]\nname = TALVERIN ISA Filter\n"
                       "dll = TALVERIN\\\\TALVERIN.ISA.Filter.dll\narg1 = 2\narg2 = 2\n"
                       "description = TALVERIN Filter to enable Talverin authentication\nvendor = TALVERIN" +
                       signUtf8 + "\nversion = 4.0\nenabled = yes\n"),
            std::string::npos)
      << saved;
  // Registering again leaves the entry as it is, even when changed since.
  saved.replace(saved.find("version = 4.0"), 13, "version = 3.9");
  test::WriteFileText(store_.FiltersPath(), saved);
  EXPECT_EQ(OnFreshThread(RegisterFilter), S_OK);
  EXPECT_EQ(store_.SavedFilters(), saved);

  EXPECT_EQ(OnFreshThread(UnregisterFilter), S_OK);
  EXPECT_EQ(store_.SavedFilters().find(kGuid), std::string::npos);
  EXPECT_NE(store_.SavedFilters().find("[filter {OTHER}]\nname = Other\n"), std::string::npos);
  // Not registered: success without saving.
  DeleteFileA(store_.FiltersPath().c_str());
  EXPECT_EQ(OnFreshThread(UnregisterFilter), S_OK);
  EXPECT_FALSE(store_.FiltersSaved());
  EXPECT_EQ(debug_.Messages(), Strings{});
  EXPECT_EQ(TraceLines(), Strings{});
}

// A machine without ISA/TMG: the FPC root class is not registered.
TEST_F(RegistrationTest, WithoutIsaTmgBothFailWithClassNotRegistered) {
  constexpr char kServerKey[] = "CLSID\\{6EB6B56F-AC96-4B2F-9DD6-678ECAD5789D}\\InprocServer32";
  char server[MAX_PATH * 2] = {}, threading[64] = {};
  DWORD serverSize = sizeof server - 1, threadingSize = sizeof threading - 1;
  ASSERT_EQ(RegGetValueA(HKEY_CLASSES_ROOT, kServerKey, nullptr, RRF_RT_REG_SZ, nullptr, server, &serverSize), 0)
      << "the store test bed is not registered in the prefix";
  RegGetValueA(HKEY_CLASSES_ROOT, kServerKey, "ThreadingModel", RRF_RT_REG_SZ, nullptr, threading, &threadingSize);
  RegDeleteTreeA(HKEY_CLASSES_ROOT, "CLSID\\{6EB6B56F-AC96-4B2F-9DD6-678ECAD5789D}");
  const HRESULT registered = OnFreshThread(RegisterFilter);
  const Strings registerDebug = debug_.Messages();
  const HRESULT unregistered = OnFreshThread(UnregisterFilter);
  RegSetKeyValueA(HKEY_CLASSES_ROOT, kServerKey, nullptr, REG_SZ, server, serverSize);
  RegSetKeyValueA(HKEY_CLASSES_ROOT, kServerKey, "ThreadingModel", REG_SZ, threading, threadingSize);
  EXPECT_EQ(registered, static_cast<HRESULT>(0x80040154));
  EXPECT_EQ(unregistered, static_cast<HRESULT>(0x80040154));
  EXPECT_EQ(registerDebug, (Strings{"ORVANT: Failed retrieving interface. Error code is 80040154\n",
                                    "ORVANT: Get the web filters object failed. Error code is 80040154\n"}));
  EXPECT_EQ(test::CountOf(TraceLines(), "Get the web filters object failed. Error code is 80040154"), 2u);
  EXPECT_TRUE(test::Contains(TraceLines(), "GetWebFilters: Failed retrieving interface. Error code is 80040154"));
}

TEST_F(RegistrationTest, ComOfTheCallingThreadIsLeftAsItWas) {
  HRESULT again = E_UNEXPECTED;
  EXPECT_EQ(OnFreshThread([&] {
              CoInitialize(nullptr);
              const HRESULT hr = RegisterFilter();
              CoUninitialize();
              again = CoInitialize(nullptr);  // no COM at all again only if RegisterFilter undid its own
              CoUninitialize();
              return hr;
            }),
            S_OK);
  EXPECT_EQ(again, S_OK);
  // This thread (the test's main thread) is in the multi-threaded apartment.
  EXPECT_EQ(RegisterFilter(), RPC_E_CHANGED_MODE);
  EXPECT_EQ(debug_.Messages(), Strings{"ORVANT: CoInitialize Failed. Error code is 80010106\n"});
  EXPECT_EQ(TraceLines(), Strings{"CoInitialize Failed. Error code is 80010106"});
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  CoUninitialize();
}

// Each step of the store that can fail: the result is the step's, and nothing
// reaches the saved store.
TEST_F(RegistrationTest, AFailingStepIsReportedAndItsResultReturned) {
  const std::string get = "Get the web filters object failed", add = "Failed to register the web filter",
                    remove = "Remove web filter failed";
  const struct {
    const char* fault;
    bool registering;
    const char* step;
    const std::string& summary;
  } steps[] = {
      {"root.containing-array", true, "Failed to query for current array", get},
      {"array.extensions", true, "Failed to query for array extentions", get},
      {"extensions.web-filters", false, "Failed to query for Web filters", get},
      {"web-filters.add", true, "Failed to add the Web filter", add},
      {"web-filter.description", true, "Failed to set the filter's description", add},
      {"web-filter.vendor", true, "Failed to set the filter's vendor", add},
      {"web-filter.version", true, "Failed to set the filter's version", add},
      {"web-filter.enabled", true, "Failed to Enable the filter", add},
      {"web-filters.save", true, "Failed to save the filter", add},
      {"web-filters.remove", false, "Failed to remove the Web filter", remove},
      {"web-filters.save", false, "Failed to save", remove},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.fault);
    DeleteFileA(store_.FiltersPath().c_str());
    SetEnvironmentVariableA("TALVERIN_STORE_FAULTS", nullptr);
    if (!step.registering) {
      ASSERT_EQ(OnFreshThread(RegisterFilter), S_OK);
    }
    const std::string before = store_.FiltersSaved() ? store_.SavedFilters() : "(none)";
    const Strings debugBefore = debug_.Messages(), traceBefore = TraceLines();
    store_.SetFaults(std::string(step.fault) + "=0x80004005");
    EXPECT_EQ(OnFreshThread(step.registering ? RegisterFilter : UnregisterFilter), E_FAIL);
    const Strings debugAll = debug_.Messages(), traceAll = TraceLines();
    EXPECT_EQ(Strings(debugAll.begin() + debugBefore.size(), debugAll.end()),
              (Strings{"ORVANT: " + std::string(step.step) + ". Error code is 80004005\n",
                       "ORVANT: " + step.summary + ". Error code is 80004005\n"}));
    const Strings lines(traceAll.begin() + traceBefore.size(), traceAll.end());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(step.step), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], step.summary + ". Error code is 80004005");
    EXPECT_EQ(store_.FiltersSaved() ? store_.SavedFilters() : "(none)", before);
  }
}

}  // namespace
}  // namespace talverin
