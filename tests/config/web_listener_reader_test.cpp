#include "config/web_listener_reader.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "config/store_fixture.h"
#include "config/trace_capture.h"
#include "stub/errors.h"

namespace talverin {
namespace {

using Strings = std::vector<std::string>;

class WebListenerReaderTest : public testing::Test {
 protected:
  WebListenerMap Read() {
    WebListenerMap map;
    ReadWebListeners(map);
    return map;
  }
  // Reads and expects a failure; returns its HRESULT.
  HRESULT ReadFailing(WebListenerMap& map) {
    try {
      ReadWebListeners(map);
    } catch (const HRXEx& e) {
      EXPECT_FALSE(e.errorText.empty());
      return e.hr;
    }
    ADD_FAILURE() << "no HRXEx";
    return S_OK;
  }
  // One listener with the filter's set holding the given value lines.
  void OneListener(const std::string& values) {
    store_.WriteConfig(
        "[listener]\n"
        "name = Web\n"
        "persistent-name = {11111111-2222-3333-4444-555555555555}\n"
        "cookie-name = cadata\n"
        "[set {347A24CF-D801-4b9a-8F0F-74902FA92D76}]\n" +
        values);
  }
  WebListenerInfo OnlyListener() {
    WebListenerMap map = Read();
    EXPECT_EQ(map.size(), 1u);
    return map.empty() ? WebListenerInfo{} : map.begin()->second;
  }

  test::StoreTestBed store_;
  test::TraceCapture trace_{1};
};

TEST_F(WebListenerReaderTest, WalksEveryListenerWithItsLogLines) {
  store_.WriteConfig(R"(
[listener]
name = Exchange "OWA"
persistent-name = {AAAAAAAA-0000-0000-0000-000000000001}
cookie-name = cadata
cookie-domains-in-use = yes
cookie-domain = .d1.example
cookie-domain = .d2.example
[set {347a24cf-d801-4B9A-8f0f-74902fa92d76}]
Enabled = i4:1
RpcOverHttpAllowed = i4:1
ActiveSyncAllowed = i4:0
AutoDiscoverAllowed = i4:1
CustomExclusionList = bstr:/public/\r\n/Images/

[listener]
name = Intranet
persistent-name = {AAAAAAAA-0000-0000-0000-000000000002}
cookie-name = intra
)");
  WebListenerMap map = Read();
  ASSERT_EQ(map.size(), 2u);

  const WebListenerInfo& owa = map.at("{AAAAAAAA-0000-0000-0000-000000000001}");
  EXPECT_EQ(owa.Name, "Exchange \"OWA\"");
  EXPECT_EQ(owa.FBACookieName, "cadata");
  EXPECT_TRUE(owa.Enabled);
  EXPECT_TRUE(owa.RpcOverHttpAllowed);
  EXPECT_FALSE(owa.ActiveSyncAllowed);
  EXPECT_TRUE(owa.AutoDiscoverAllowed);
  EXPECT_EQ(owa.FBACookieDomains, (Strings{".d1.example", ".d2.example"}));
  EXPECT_EQ(owa.CustomExclusionList, (Strings{"/public/", "/Images/"}));

  const WebListenerInfo& intranet = map.at("{AAAAAAAA-0000-0000-0000-000000000002}");
  EXPECT_EQ(intranet.Name, "Intranet");
  EXPECT_EQ(intranet.FBACookieName, "intra");
  EXPECT_FALSE(intranet.Enabled);

  const Strings expected = {
      "FPC object has been created sucessfully.",
      "Containing array has been retrieved successfully.",
      "Rule elements have been retrieved successfully.",
      "Web listeners have been retrieved successfully.",
      "Web listeners count: 2.",
      "Web listeners 1 has been retrieved successfully.",
      "Name: \"Exchange \"OWA\"\", Persistent Name: \"{AAAAAAAA-0000-0000-0000-000000000001}\".",
      "Per-listener configuration initialized successfully.",
      "WebListenerInfo, Name: \"Exchange \"OWA\"\", Enabled: Yes, FBACookieName: \"cadata\", FBACookieDomains: "
      ".d1.example;.d2.example, RpcAllowed: Yes, ActiveSyncAllowed: No, AutoDiscoverAllowed: Yes, Custom exclusion "
      "list size: 2",
      "WebListener has been saved to the map.",
      "Web listeners 2 has been retrieved successfully.",
      "Name: \"Intranet\", Persistent Name: \"{AAAAAAAA-0000-0000-0000-000000000002}\".",
      "Per-listener configuration initialized successfully.",
      "WebListenerInfo, Name: \"Intranet\", Enabled: No, FBACookieName: \"intra\", FBACookieDomains: , RpcAllowed: No, "
      "ActiveSyncAllowed: No, AutoDiscoverAllowed: No, Custom exclusion list size: 0",
      "WebListener has been saved to the map.",
  };
  EXPECT_EQ(trace_.Messages(), expected);
}

TEST_F(WebListenerReaderTest, EmptyStoreLogsCountZero) {
  EXPECT_TRUE(Read().empty());
  EXPECT_TRUE(trace_.Has("Web listeners count: 0."));
  EXPECT_FALSE(trace_.Has("Web listeners 1 has been retrieved successfully."));
}

struct FlagCase {
  const char* value;
  bool enabled;
};
std::ostream& operator<<(std::ostream& out, const FlagCase& c) { return out << c.value; }

class VendorFlagTest : public WebListenerReaderTest, public testing::WithParamInterface<FlagCase> {};

TEST_P(VendorFlagTest, OnlyI4WithLowWordOneIsTrue) {
  const std::string value = GetParam().value;
  OneListener("Enabled = " + value + "\nRpcOverHttpAllowed = " + value + "\nActiveSyncAllowed = " + value +
              "\nAutoDiscoverAllowed = " + value + "\n");
  const WebListenerInfo info = OnlyListener();
  EXPECT_EQ(info.Enabled, GetParam().enabled);
  EXPECT_EQ(info.RpcOverHttpAllowed, GetParam().enabled);
  EXPECT_EQ(info.ActiveSyncAllowed, GetParam().enabled);
  EXPECT_EQ(info.AutoDiscoverAllowed, GetParam().enabled);
}

INSTANTIATE_TEST_SUITE_P(Values, VendorFlagTest,
                         testing::Values(FlagCase{"i4:1", true}, FlagCase{"i4:65537", true},
                                         FlagCase{"i4:0x7FFF0001", true}, FlagCase{"i4:2", false},
                                         FlagCase{"i4:0", false}, FlagCase{"i4:65536", false},
                                         FlagCase{"i4:-1", false}, FlagCase{"bool:-1", false},
                                         FlagCase{"bstr:1", false}, FlagCase{"empty", false},
                                         // A read answering anything but S_OK counts as unread.
                                         FlagCase{"i4:1 !0x1", false}, FlagCase{"i4:1 !0x80004005", false}));

TEST_F(WebListenerReaderTest, ListenerWithoutTheFiltersSetReadsDefaults) {
  store_.WriteConfig(R"(
[listener]
name = Plain
persistent-name = {B}
cookie-name = plain
cookie-domains-in-use = yes
cookie-domain = .plain.example
[set {00000000-0000-0000-0000-000000000000}]
Enabled = i4:1
CustomExclusionList = bstr:/x/
)");
  const WebListenerInfo info = OnlyListener();
  EXPECT_EQ(info.Name, "Plain");
  EXPECT_EQ(info.FBACookieName, "plain");
  EXPECT_EQ(info.FBACookieDomains, Strings{".plain.example"});
  EXPECT_FALSE(info.Enabled || info.RpcOverHttpAllowed || info.ActiveSyncAllowed || info.AutoDiscoverAllowed);
  EXPECT_TRUE(info.CustomExclusionList.empty());
}

TEST_F(WebListenerReaderTest, SetThatCanBeNeitherFoundNorAddedReadsDefaults) {
  OneListener("Enabled = i4:1\n");
  store_.SetFaults("sets.item=0x80004005;sets.add=0x80004005");
  const WebListenerInfo info = OnlyListener();
  EXPECT_FALSE(info.Enabled);
  EXPECT_EQ(info.FBACookieName, "cadata");
}

TEST_F(WebListenerReaderTest, CookieDomainsOnlyWhenInUse) {
  store_.WriteConfig(R"(
[listener]
name = Off
persistent-name = {C}
cookie-name = off
cookie-domains-in-use = no
cookie-domain = .d1.example
cookie-domain = .d2.example
)");
  EXPECT_TRUE(OnlyListener().FBACookieDomains.empty());
  EXPECT_TRUE(trace_.Has("WebListenerInfo, Name: \"Off\", Enabled: No, FBACookieName: \"off\", FBACookieDomains: , "
                         "RpcAllowed: No, ActiveSyncAllowed: No, AutoDiscoverAllowed: No, Custom exclusion list size: 0"));
}

TEST_F(WebListenerReaderTest, FailedDomainReadsLeaveAnEmptyDomainList) {
  store_.WriteConfig(R"(
[listener]
name = Odd
persistent-name = {D}
cookie-name = odd
cookie-domains-in-use = yes
cookie-domain = .d1.example
)");
  // The in-use flag is written as true along with the failure.
  store_.SetFaults("properties.cookie-domains-in-use=0x80004005");
  EXPECT_TRUE(OnlyListener().FBACookieDomains.empty());
  store_.SetFaults("properties.cookie-domains=0x80004005");
  EXPECT_TRUE(OnlyListener().FBACookieDomains.empty());
}

TEST_F(WebListenerReaderTest, ExclusionListIsSplitOnLineBreakRuns) {
  OneListener("CustomExclusionList = bstr:/a/\\r\\n\\r\\n/b/\\r\\n\n");
  EXPECT_EQ(OnlyListener().CustomExclusionList, (Strings{"/a/", "/b/"}));
  OneListener("CustomExclusionList = bstr:\\n /Keep Case/ \\r\\r/x/\n");
  EXPECT_EQ(OnlyListener().CustomExclusionList, (Strings{" /Keep Case/ ", "/x/"}));
  OneListener("CustomExclusionList = i4:1\n");
  EXPECT_TRUE(OnlyListener().CustomExclusionList.empty());
  OneListener("CustomExclusionList = bstr:/a/ !0x1\n");
  EXPECT_TRUE(OnlyListener().CustomExclusionList.empty());
}

TEST_F(WebListenerReaderTest, SamePersistentNameKeepsTheLaterListener) {
  store_.WriteConfig(R"(
[listener]
name = First
persistent-name = {E}
cookie-name = one
[listener]
name = Second
persistent-name = {E}
cookie-name = two
[listener]
name = Lower
persistent-name = {e}
cookie-name = three
)");
  WebListenerMap map = Read();
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.at("{E}").Name, "Second");
  EXPECT_EQ(map.at("{E}").FBACookieName, "two");
  EXPECT_EQ(map.at("{e}").Name, "Lower");
}

TEST_F(WebListenerReaderTest, MapAlreadyHoldingTheKeyIsOverwritten) {
  OneListener("Enabled = i4:1\n");
  WebListenerMap map;
  map["{11111111-2222-3333-4444-555555555555}"].CustomExclusionList = {"/old/"};
  map["{other}"].Name = "kept";
  ReadWebListeners(map);
  EXPECT_TRUE(map.at("{11111111-2222-3333-4444-555555555555}").CustomExclusionList.empty());
  EXPECT_TRUE(map.at("{11111111-2222-3333-4444-555555555555}").Enabled);
  EXPECT_EQ(map.at("{other}").Name, "kept");
}

struct StepFault {
  const char* faults;
  HRESULT hr;
};
std::ostream& operator<<(std::ostream& out, const StepFault& c) { return out << c.faults; }

class FailingStepTest : public WebListenerReaderTest, public testing::WithParamInterface<StepFault> {};

TEST_P(FailingStepTest, StopsTheWalkWithTheStepsResult) {
  store_.WriteConfig(R"(
[listener]
name = Good
persistent-name = {1}
cookie-name = good
[listener]
name = Bad
persistent-name = {2}
cookie-name = bad
cookie-domains-in-use = yes
cookie-domain = .bad.example
)");
  // Faults of the second listener, or of the whole store.
  std::string config = test::ReadFileText(store_.ConfigPath());
  config += std::string("fault.") + GetParam().faults + "\n";
  store_.WriteConfig(config);
  WebListenerMap map;
  EXPECT_EQ(ReadFailing(map), GetParam().hr);
  EXPECT_EQ(map.size(), 1u);
  EXPECT_EQ(map.count("{1}"), 1u);
  const Strings messages = trace_.Messages();
  EXPECT_EQ(std::count(messages.begin(), messages.end(), "WebListener has been saved to the map."), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailingStepTest,
    testing::Values(StepFault{"web-listeners.item = 0x80004005", E_FAIL},
                    StepFault{"listener.name = 0x80070005", E_ACCESSDENIED},
                    StepFault{"listener.name = 0x1", S_FALSE},  // strict: any answer but S_OK
                    StepFault{"listener.persistent-name = 0x1", S_FALSE},
                    StepFault{"listener.vendor-sets = 0x8007000E", E_OUTOFMEMORY},
                    StepFault{"listener.properties = 0x80004005", E_FAIL},
                    StepFault{"properties.query-interface = 0x80004002", E_NOINTERFACE},
                    StepFault{"cookie-domains.count = 0x1", S_FALSE},
                    StepFault{"cookie-domains.item = 0x80004005", E_FAIL},
                    StepFault{"properties.fba-settings = 0x1", S_FALSE},
                    StepFault{"fba.cookie-name = 0x80004005", E_FAIL}));

TEST_F(WebListenerReaderTest, UnreadableStoreFailsTheWalk) {
  store_.WriteConfig("[listener]\nname = x\nunknown = 1\n");
  WebListenerMap map;
  EXPECT_EQ(ReadFailing(map), HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
  EXPECT_TRUE(map.empty());
}

TEST_F(WebListenerReaderTest, VendorSetsWithSuccessCodeStillRead) {
  // The sets collection is checked for failure codes only.
  OneListener("Enabled = i4:1\n");
  store_.SetFaults("listener.vendor-sets=0x1");
  EXPECT_TRUE(OnlyListener().Enabled);
}

struct StoreFault {
  const char* faults;
  HRESULT hr;
  const char* lastLine;  // the last line logged before the failure, if any
};
std::ostream& operator<<(std::ostream& out, const StoreFault& c) { return out << c.faults; }

class FailingStoreTest : public WebListenerReaderTest, public testing::WithParamInterface<StoreFault> {};

TEST_P(FailingStoreTest, FailsBeforeAnyListener) {
  OneListener("Enabled = i4:1\n");
  store_.SetFaults(GetParam().faults);
  WebListenerMap map;
  EXPECT_EQ(ReadFailing(map), GetParam().hr);
  EXPECT_TRUE(map.empty());
  const Strings messages = trace_.Messages();
  if (GetParam().lastLine == nullptr) {
    EXPECT_TRUE(messages.empty());
  } else {
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), GetParam().lastLine);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailingStoreTest,
    testing::Values(StoreFault{"root.create=0x80040154", REGDB_E_CLASSNOTREG, nullptr},
                    StoreFault{"root.containing-array=0x1", S_FALSE, "FPC object has been created sucessfully."},
                    StoreFault{"array.rule-elements=0x80004005", E_FAIL,
                               "Containing array has been retrieved successfully."},
                    StoreFault{"rule-elements.web-listeners=0x80004005", E_FAIL,
                               "Rule elements have been retrieved successfully."},
                    StoreFault{"web-listeners.count=0x80004005", E_FAIL,
                               "Web listeners have been retrieved successfully."}));

}  // namespace
}  // namespace talverin
