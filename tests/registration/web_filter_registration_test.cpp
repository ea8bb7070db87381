#include "registration/web_filter_registration.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "config/store_fixture.h"
#include "config/trace_capture.h"
#include "registration/debug_capture.h"

namespace talverin {
namespace {

using Strings = std::vector<std::string>;

constexpr HRESULT kClassNotRegistered = static_cast<HRESULT>(0x80040154);

// Registration runs on the registration tool's thread, which has no COM of
// its own yet (the test's main thread is in the multi-threaded apartment).
HRESULT OnFreshThread(const std::function<HRESULT()>& work) {
  HRESULT hr = E_UNEXPECTED;
  std::thread thread([&] { hr = work(); });
  thread.join();
  return hr;
}

// Removes the FPC root class from the prefix's registry for the life of the
// object, as on a machine without ISA/TMG, and puts it back afterwards.
class RootClassRemoved {
 public:
  RootClassRemoved() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, kServerKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
      UniqueHkey owner(key);
      server_ = Value(key, nullptr);
      threading_ = Value(key, "ThreadingModel");
    }
    RegDeleteTreeA(HKEY_CLASSES_ROOT, kClassKey);
  }
  ~RootClassRemoved() {
    if (server_.empty()) return;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, kServerKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
        ERROR_SUCCESS) {
      UniqueHkey owner(key);
      RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(server_.c_str()),
                     static_cast<DWORD>(server_.size() + 1));
      RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(threading_.c_str()),
                     static_cast<DWORD>(threading_.size() + 1));
    }
  }
  bool WasRegistered() const { return !server_.empty(); }

 private:
  static std::string Value(HKEY key, const char* name) {
    char buffer[MAX_PATH * 2] = {};
    DWORD size = sizeof buffer - 1;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
      return std::string();
    }
    return buffer;
  }
  static constexpr const char* kClassKey = "CLSID\\{6EB6B56F-AC96-4B2F-9DD6-678ECAD5789D}";
  static constexpr const char* kServerKey = "CLSID\\{6EB6B56F-AC96-4B2F-9DD6-678ECAD5789D}\\InprocServer32";
  std::string server_, threading_;
};

class RegistrationTest : public testing::Test {
 protected:
  // Both outputs of a failure: the debugger's and the trace log's.
  void ExpectReported(const Strings& debugLines, const Strings& traceLines) {
    EXPECT_EQ(debug_.Messages(), debugLines);
    EXPECT_EQ(trace_.Messages(), traceLines);
  }
  void ExpectSilent() { ExpectReported({}, {}); }

  test::StoreTestBed store_;
  test::TraceCapture trace_{2};
  test::DebugOutputCapture debug_;
};

TEST_F(RegistrationTest, RegisterAddsTheEnabledFilterAndSavesTheStore) {
  EXPECT_EQ(OnFreshThread(RegisterFilter), S_OK);
  const std::string saved = store_.SavedFilters();
  EXPECT_NE(saved.find("[filter {6E394025-1BC0-4737-B999-31B84BAB6D4C}]\n"
                       "name = TALVERIN ISA Filter\n"
                       "dll = TALVERIN\\\\TALVERIN.ISA.Filter.dll\n"
                       "arg1 = 2\n"
                       "arg2 = 2\n"
                       "description = TALVERIN Filter to enable Talverin authentication\n"),
            std::string::npos)
      << saved;
  // The vendor's last byte is the registered sign of the thread's code page
  // (code page 1252 in the test prefix), saved by the store as UTF-8.
  wchar_t sign = 0;
  ASSERT_EQ(MultiByteToWideChar(CP_THREAD_ACP, 0, "\xAE", 1, &sign, 1), 1);
  char signUtf8[8] = {};
  WideCharToMultiByte(CP_UTF8, 0, &sign, 1, signUtf8, sizeof signUtf8, nullptr, nullptr);
  EXPECT_NE(saved.find("vendor = TALVERIN" + std::string(signUtf8) + "\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("version = 4.0\nenabled = yes\n"), std::string::npos) << saved;
  ExpectSilent();
}

TEST_F(RegistrationTest, RegisteringAgainLeavesTheEntryUntouched) {
  ASSERT_EQ(OnFreshThread(RegisterFilter), S_OK);
  std::string saved = store_.SavedFilters();
  const std::string marker = "version = 4.0";
  saved.replace(saved.find(marker), marker.size(), "version = 3.9");
  test::WriteFileText(store_.FiltersPath(), saved);

  EXPECT_EQ(OnFreshThread(RegisterFilter), S_OK);
  EXPECT_EQ(store_.SavedFilters(), saved);
  ExpectSilent();
}

TEST_F(RegistrationTest, UnregisterRemovesTheEntryAndSaves) {
  ASSERT_EQ(OnFreshThread(RegisterFilter), S_OK);
  EXPECT_EQ(OnFreshThread(UnregisterFilter), S_OK);
  EXPECT_TRUE(store_.FiltersSaved());
  EXPECT_EQ(store_.SavedFilters().find("{6E394025-1BC0-4737-B999-31B84BAB6D4C}"), std::string::npos);
  ExpectSilent();
}

TEST_F(RegistrationTest, UnregisteringWhenNotRegisteredSucceedsWithoutSaving) {
  EXPECT_EQ(OnFreshThread(UnregisterFilter), S_OK);
  EXPECT_FALSE(store_.FiltersSaved());
  ASSERT_EQ(OnFreshThread(RegisterFilter), S_OK);
  ASSERT_EQ(OnFreshThread(UnregisterFilter), S_OK);
  DeleteFileA(store_.FiltersPath().c_str());
  EXPECT_EQ(OnFreshThread(UnregisterFilter), S_OK);
  EXPECT_FALSE(store_.FiltersSaved());
  ExpectSilent();
}

TEST_F(RegistrationTest, OtherFiltersOfTheStoreAreKept) {
  test::WriteFileText(store_.FiltersPath(), "[filter {OTHER}]\nname = Other\n");
  ASSERT_EQ(OnFreshThread(RegisterFilter), S_OK);
  ASSERT_EQ(OnFreshThread(UnregisterFilter), S_OK);
  EXPECT_NE(store_.SavedFilters().find("[filter {OTHER}]\nname = Other\n"), std::string::npos);
}

TEST_F(RegistrationTest, WithoutIsaTmgBothPairsOfLinesAndTheResult) {
  RootClassRemoved removed;
  ASSERT_TRUE(removed.WasRegistered()) << "the store test bed is not registered in the prefix";
  EXPECT_EQ(OnFreshThread(RegisterFilter), kClassNotRegistered);
  ExpectReported({"ORVANT: Failed retrieving interface. Error code is 80040154\n",
                  "ORVANT: Get the web filters object failed. Error code is 80040154\n"},
                 {"GetWebFilters: Failed retrieving interface. Error code is 80040154\n",
                  "Get the web filters object failed. Error code is 80040154\n"});
}

TEST_F(RegistrationTest, UnregisterWithoutIsaTmgFailsToo) {
  RootClassRemoved removed;
  ASSERT_TRUE(removed.WasRegistered());
  EXPECT_EQ(OnFreshThread(UnregisterFilter), kClassNotRegistered);
  EXPECT_EQ(debug_.Messages().size(), 2u);
  EXPECT_TRUE(trace_.Has("Get the web filters object failed. Error code is 80040154\n"));
}

TEST_F(RegistrationTest, ThreadWithComAlreadyGetsItsBalancingUninitialize) {
  HRESULT again = E_UNEXPECTED;
  EXPECT_EQ(OnFreshThread([&] {
              CoInitialize(nullptr);
              HRESULT hr = RegisterFilter();
              CoUninitialize();
              // Back to no COM at all only if RegisterFilter undid its own.
              again = CoInitialize(nullptr);
              CoUninitialize();
              return hr;
            }),
            S_OK);
  EXPECT_EQ(again, S_OK);
}

TEST_F(RegistrationTest, ThreadInTheOtherApartmentFailsAtCoInitialize) {
  // This thread (the test's main thread) is in the multi-threaded apartment.
  EXPECT_EQ(RegisterFilter(), RPC_E_CHANGED_MODE);
  ExpectReported({"ORVANT: CoInitialize Failed. Error code is 80010106\n"},
                 {"CoInitialize Failed. Error code is 80010106\n"});
  // COM of this thread is left as it was.
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);
  CoUninitialize();
}

struct FailingStep {
  const char* fault;
  bool registering;
  Strings debug;
  Strings trace;
};
std::ostream& operator<<(std::ostream& out, const FailingStep& c) { return out << c.fault; }

class FailingRegistrationStepTest : public RegistrationTest, public testing::WithParamInterface<FailingStep> {};

TEST_P(FailingRegistrationStepTest, ReportsTheStepAndReturnsItsResult) {
  if (!GetParam().registering) {
    ASSERT_EQ(OnFreshThread(RegisterFilter), S_OK);
    test::WriteFileText(store_.FiltersPath(), store_.SavedFilters());
  }
  const std::string before = store_.FiltersSaved() ? store_.SavedFilters() : "(none)";
  store_.SetFaults(std::string(GetParam().fault) + "=0x80004005");
  HRESULT hr = OnFreshThread(GetParam().registering ? RegisterFilter : UnregisterFilter);
  EXPECT_EQ(hr, E_FAIL);
  ExpectReported(GetParam().debug, GetParam().trace);
  // Nothing reaches the saved store.
  EXPECT_EQ(store_.FiltersSaved() ? store_.SavedFilters() : "(none)", before);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailingRegistrationStepTest,
    testing::Values(
        FailingStep{"root.containing-array", true,
                    {"ORVANT: Failed to query for current array. Error code is 80004005\n",
                     "ORVANT: Get the web filters object failed. Error code is 80004005\n"},
                    {"GetWebFilters: Failed to query for current array. Error code is 80004005\n",
                     "Get the web filters object failed. Error code is 80004005\n"}},
        FailingStep{"array.extensions", true,
                    {"ORVANT: Failed to query for array extentions. Error code is 80004005\n",
                     "ORVANT: Get the web filters object failed. Error code is 80004005\n"},
                    {"GetWebFilters: Failed to query for array extentions. Error code is 80004005\n",
                     "Get the web filters object failed. Error code is 80004005\n"}},
        FailingStep{"extensions.web-filters", false,
                    {"ORVANT: Failed to query for Web filters. Error code is 80004005\n",
                     "ORVANT: Get the web filters object failed. Error code is 80004005\n"},
                    {"GetWebFilters: Failed to query for Web filters. Error code is 80004005\n",
                     "Get the web filters object failed. Error code is 80004005\n"}},
        FailingStep{"web-filters.add", true,
                    {"ORVANT: Failed to add the Web filter. Error code is 80004005\n",
                     "ORVANT: Failed to register the web filter. Error code is 80004005\n"},
                    {"AddWebFilter: Failed to add the Web filter. Error code is80004005\n",
                     "Failed to register the web filter. Error code is 80004005\n"}},
        FailingStep{"web-filter.description", true,
                    {"ORVANT: Failed to set the filter's description. Error code is 80004005\n",
                     "ORVANT: Failed to register the web filter. Error code is 80004005\n"},
                    {"AddWebFilter: Failed to set the filter's description. Error code is 80004005\n",
                     "Failed to register the web filter. Error code is 80004005\n"}},
        FailingStep{"web-filter.vendor", true,
                    {"ORVANT: Failed to set the filter's vendor. Error code is 80004005\n",
                     "ORVANT: Failed to register the web filter. Error code is 80004005\n"},
                    {"AddWebFilter: Failed to set the filter's vendor. Error code is 80004005\n",
                     "Failed to register the web filter. Error code is 80004005\n"}},
        FailingStep{"web-filter.version", true,
                    {"ORVANT: Failed to set the filter's version. Error code is 80004005\n",
                     "ORVANT: Failed to register the web filter. Error code is 80004005\n"},
                    {"AddWebFilter: Failed to set the filter's version. Error code is 80004005\n",
                     "Failed to register the web filter. Error code is 80004005\n"}},
        FailingStep{"web-filter.enabled", true,
                    {"ORVANT: Failed to Enable the filter. Error code is 80004005\n",
                     "ORVANT: Failed to register the web filter. Error code is 80004005\n"},
                    {"AddWebFilter: Failed to Enable the filter. Error code is 80004005\n",
                     "Failed to register the web filter. Error code is 80004005\n"}},
        FailingStep{"web-filters.save", true,
                    {"ORVANT: Failed to save the filter. Error code is 80004005\n",
                     "ORVANT: Failed to register the web filter. Error code is 80004005\n"},
                    {"AddWebFilter: Failed to save the filter. Error code is 80004005\n",
                     "Failed to register the web filter. Error code is 80004005\n"}},
        FailingStep{"web-filters.remove", false,
                    {"ORVANT: Failed to remove the Web filter. Error code is 80004005\n",
                     "ORVANT: Remove web filter failed. Error code is 80004005\n"},
                    {"RemoveWebFilter: Failed to remove the Web filter. Error code is 80004005\n",
                     "Remove web filter failed. Error code is 80004005\n"}},
        FailingStep{"web-filters.save", false,
                    {"ORVANT: Failed to save. Error code is 80004005\n",
                     "ORVANT: Remove web filter failed. Error code is 80004005\n"},
                    {"RemoveWebFilter: Failed to save. Error code is 80004005\n",
                     "Remove web filter failed. Error code is 80004005\n"}}));

}  // namespace
}  // namespace talverin
