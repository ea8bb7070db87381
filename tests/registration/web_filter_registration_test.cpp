#include "registration/web_filter_registration.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "config/store_fixture.h"
#include "support/trace_capture.h"

namespace talverin {
namespace {

using Strings = std::vector<std::string>;
constexpr char kGuid[] = "{6E394025-1BC0-4737-B999-31B84BAB6D4C}";

// The registration tool's thread has no COM yet (the test's main thread is in the multi-threaded apartment).
template <class Work>
HRESULT OnFreshThread(Work work) {
  HRESULT hr = E_UNEXPECTED;
  std::thread([&] { hr = work(); }).join();
  return hr;
}

// What OutputDebugStringA hands a debugger, caught from the exception it raises for one.
std::mutex debugMutex;
Strings debugLines;
LONG CALLBACK CatchDebugOutput(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == DBG_PRINTEXCEPTION_C && record->NumberParameters >= 2 &&
      record->ExceptionInformation[1] != 0) {
    std::lock_guard<std::mutex> guard(debugMutex);
    debugLines.push_back(reinterpret_cast<const char*>(record->ExceptionInformation[1]));
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

class RegistrationTest : public testing::Test {
 protected:
  RegistrationTest() { debugLines.clear(); }
  ~RegistrationTest() override { RemoveVectoredExceptionHandler(handler_); }
  // The debugger's lines, then the trace log's, since the last call; the registration's trace messages end in a
  // line feed of their own, and the empty line after each is no message.
  Strings Told() {
    std::lock_guard<std::mutex> guard(debugMutex);
    Strings told;
    told.swap(debugLines);
    for (const std::string& line : trace_.Messages())
      if (line != "<malformed> ") told.push_back(line);
    test::WriteFileText(trace_.Path(), "");
    return told;
  }

  test::StoreTestBed store_;
  test::TraceCapture trace_{0};
  PVOID handler_ = AddVectoredExceptionHandler(1, &CatchDebugOutput);
};

TEST_F(RegistrationTest, RegisterAddsTheEnabledFilterOnceAndUnregisterRemovesItOnly) {
  test::WriteFileText(store_.FiltersPath(), "[filter {OTHER}]\nname = Other\n");
  EXPECT_EQ(OnFreshThread(RegisterFilter), S_OK);
  std::string saved = store_.SavedFilters();
  // The vendor ends in the registered sign, byte 0xAE of the test prefix's code page (1252), saved as UTF-8.
  EXPECT_NE(saved.find(std::string("[filter ") + kGuid +
                       "]\nname = TALVERIN ISA Filter\ndll = TALVERIN\\\\TALVERIN.ISA.Filter.dll\narg1 = 2\narg2 = 2\n"
                       "description = TALVERIN Filter to enable Talverin authentication\nvendor = TALVERIN\xC2\xAE\n"
                       "version = 4.0\nenabled = yes\n"),
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
  EXPECT_EQ(Told(), Strings{});
}

TEST_F(RegistrationTest, ComOfTheCallingThreadIsLeftAsItWas) {
  HRESULT registered = E_UNEXPECTED;
  const HRESULT again = OnFreshThread([&] {
    CoInitialize(nullptr);
    registered = RegisterFilter();
    CoUninitialize();
    const HRESULT hr = CoInitialize(nullptr);  // no COM at all again only if RegisterFilter undid its own
    CoUninitialize();
    return hr;
  });
  EXPECT_EQ(registered, S_OK);
  EXPECT_EQ(again, S_OK);
  EXPECT_EQ(RegisterFilter(), RPC_E_CHANGED_MODE);
  EXPECT_EQ(Told(), (Strings{"ORVANT: CoInitialize Failed. Error code is 80010106\n",
                             "CoInitialize Failed. Error code is 80010106"}));
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  CoUninitialize();
}

// Each step of the store that can fail: the step and its summary are told, the step's result is returned, and
// nothing reaches the saved store.
TEST_F(RegistrationTest, AFailingStepIsReportedAndItsResultReturned) {
  const char *get = "Get the web filters object failed", *add = "Failed to register the web filter",
             *remove = "Remove web filter failed";
  const struct {
    const char* fault;
    bool registering;
    const char *step, *summary;
  } steps[] = {
      {"root.create", true, "Failed retrieving interface", get},  // a machine without ISA/TMG
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
    store_.SetFaults("");
    if (!step.registering) ASSERT_EQ(OnFreshThread(RegisterFilter), S_OK);
    const std::string before = store_.FiltersSaved() ? store_.SavedFilters() : "(none)";
    Told();
    store_.SetFaults(std::string(step.fault) + "=0x80004005");
    EXPECT_EQ(OnFreshThread(step.registering ? RegisterFilter : UnregisterFilter), E_FAIL);
    const std::string code = ". Error code is 80004005";
    EXPECT_THAT(Told(), testing::ElementsAre("ORVANT: " + (step.step + code) + "\n",
                                             "ORVANT: " + (step.summary + code) + "\n",
                                             testing::HasSubstr(step.step), step.summary + code));
    EXPECT_EQ(store_.FiltersSaved() ? store_.SavedFilters() : "(none)", before);
  }
}

}  // namespace
}  // namespace talverin
