#include "config/web_listener_reader.h"

#include <gtest/gtest.h>

#include <utility>

#include "config/store_fixture.h"
#include "stub/errors.h"
#include "support/trace_capture.h"

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

  // The walk's lines an administrator reads: how many listeners, and what was
  // read of each.
  EXPECT_TRUE(trace_.Has("Web listeners count: 2."));
  EXPECT_TRUE(trace_.Has(
      "WebListenerInfo, Name: \"Exchange \"OWA\"\", Enabled: Yes, FBACookieName: \"cadata\", FBACookieDomains: "
      ".d1.example;.d2.example, RpcAllowed: Yes, ActiveSyncAllowed: No, AutoDiscoverAllowed: Yes, Custom exclusion "
      "list size: 2"));
  EXPECT_TRUE(trace_.Has("WebListenerInfo, Name: \"Intranet\", Enabled: No, FBACookieName: \"intra\", "
                         "FBACookieDomains: , RpcAllowed: No, ActiveSyncAllowed: No, AutoDiscoverAllowed: No, Custom "
                         "exclusion list size: 0"));
  EXPECT_EQ(trace_.Count("WebListener has been saved to the map."), 2u);
}

TEST_F(WebListenerReaderTest, EmptyStoreLogsCountZero) {
  EXPECT_TRUE(Read().empty());
  EXPECT_TRUE(trace_.Has("Web listeners count: 0."));
  EXPECT_FALSE(trace_.Has("Web listeners 1 has been retrieved successfully."));
}

TEST_F(WebListenerReaderTest, FlagIsTrueOnlyForAnI4WithLowWordOneReadWithSuccess) {
  const std::pair<const char*, bool> rows[] = {
      {"i4:1", true}, {"i4:65537", true}, {"i4:0x7FFF0001", true}, {"i4:2", false}, {"i4:0", false},
      {"i4:65536", false}, {"i4:-1", false}, {"bool:-1", false}, {"bstr:1", false}, {"empty", false},
      // A read answering anything but S_OK counts as unread.
      {"i4:1 !0x1", false}, {"i4:1 !0x80004005", false}};
  for (const auto& [text, enabled] : rows) {
    SCOPED_TRACE(text);
    const std::string value = text;
    OneListener("Enabled = " + value + "\nRpcOverHttpAllowed = " + value + "\nActiveSyncAllowed = " + value +
                "\nAutoDiscoverAllowed = " + value + "\n");
    const WebListenerInfo info = OnlyListener();
    EXPECT_EQ(info.Enabled, enabled);
    EXPECT_EQ(info.RpcOverHttpAllowed, enabled);
    EXPECT_EQ(info.ActiveSyncAllowed, enabled);
    EXPECT_EQ(info.AutoDiscoverAllowed, enabled);
  }
}

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

// The filter's set is read only when it can be found or added; a success
// code other than S_OK from the sets collection is no failure.
TEST_F(WebListenerReaderTest, SetFaultsDecideWhetherTheSetIsRead) {
  const std::pair<const char*, bool> rows[] = {{"sets.item=0x80004005;sets.add=0x80004005", false},
                                               {"listener.vendor-sets=0x1", true}};
  for (const auto& [faults, enabled] : rows) {
    OneListener("Enabled = i4:1\n");
    store_.SetFaults(faults);
    const WebListenerInfo info = OnlyListener();
    EXPECT_EQ(info.Enabled, enabled) << faults;
    EXPECT_EQ(info.FBACookieName, "cadata");
  }
}

TEST_F(WebListenerReaderTest, CookieDomainsOnlyWhenInUseAndReadWhole) {
  const std::string listener = "[listener]\nname = Off\npersistent-name = {C}\ncookie-name = off\n"
                               "cookie-domain = .d1.example\ncookie-domain = .d2.example\n";
  store_.WriteConfig(listener + "cookie-domains-in-use = no\n");
  EXPECT_TRUE(OnlyListener().FBACookieDomains.empty());
  EXPECT_TRUE(trace_.Has("WebListenerInfo, Name: \"Off\", Enabled: No, FBACookieName: \"off\", FBACookieDomains: , "
                         "RpcAllowed: No, ActiveSyncAllowed: No, AutoDiscoverAllowed: No, Custom exclusion list size: 0"));
  // The in-use flag is written as true along with its failure.
  store_.WriteConfig(listener + "cookie-domains-in-use = yes\n");
  for (const char* faults : {"properties.cookie-domains-in-use=0x80004005", "properties.cookie-domains=0x80004005"}) {
    store_.SetFaults(faults);
    EXPECT_TRUE(OnlyListener().FBACookieDomains.empty()) << faults;
  }
}

TEST_F(WebListenerReaderTest, ExclusionListIsSplitOnLineBreakRuns) {
  OneListener("CustomExclusionList = bstr:/a/\\r\\n\\r\\n/b/\\r\\n\n");
  EXPECT_EQ(OnlyListener().CustomExclusionList, (Strings{"/a/", "/b/"}));
  OneListener("CustomExclusionList = bstr:\\n /Keep Case/ \\r\\r/x/\n");
  EXPECT_EQ(OnlyListener().CustomExclusionList, (Strings{" /Keep Case/ ", "/x/"}));
  for (const char* unread : {"CustomExclusionList = i4:1\n", "CustomExclusionList = bstr:/a/ !0x1\n"}) {
    OneListener(unread);
    EXPECT_TRUE(OnlyListener().CustomExclusionList.empty()) << unread;
  }
}

// The persistent name is the key, compared with regard to case; a later
// listener of the same name, like the walk itself, overwrites what the map held.
TEST_F(WebListenerReaderTest, ListenersAreKeptByPersistentName) {
  store_.WriteConfig(
      "[listener]\nname = First\npersistent-name = {E}\ncookie-name = one\n"
      "[listener]\nname = Second\npersistent-name = {E}\ncookie-name = two\n"
      "[listener]\nname = Lower\npersistent-name = {e}\ncookie-name = three\n");
  WebListenerMap map;
  map["{E}"].CustomExclusionList = {"/old/"};
  map["{other}"].Name = "kept";
  ReadWebListeners(map);
  ASSERT_EQ(map.size(), 3u);
  EXPECT_EQ(map.at("{E}").Name, "Second");
  EXPECT_EQ(map.at("{E}").FBACookieName, "two");
  EXPECT_TRUE(map.at("{E}").CustomExclusionList.empty());
  EXPECT_EQ(map.at("{e}").Name, "Lower");
  EXPECT_EQ(map.at("{other}").Name, "kept");
}

// A failing step of the second listener, or of the whole collection, stops
// the walk with that step's result after the first listener; strict steps
// take any answer but S_OK for a failure.
TEST_F(WebListenerReaderTest, FailingStepStopsTheWalkWithItsResult) {
  const std::pair<const char*, HRESULT> rows[] = {
      {"web-listeners.item = 0x80004005", E_FAIL},        {"listener.name = 0x80070005", E_ACCESSDENIED},
      {"listener.name = 0x1", S_FALSE},                   {"listener.persistent-name = 0x1", S_FALSE},
      {"listener.vendor-sets = 0x8007000E", E_OUTOFMEMORY}, {"listener.properties = 0x80004005", E_FAIL},
      {"properties.query-interface = 0x80004002", E_NOINTERFACE}, {"cookie-domains.count = 0x1", S_FALSE},
      {"cookie-domains.item = 0x80004005", E_FAIL},       {"properties.fba-settings = 0x1", S_FALSE},
      {"fba.cookie-name = 0x80004005", E_FAIL}};
  for (const auto& [faults, hr] : rows) {
    SCOPED_TRACE(faults);
    test::TraceCapture trace(1);
    store_.WriteConfig(
        "[listener]\nname = Good\npersistent-name = {1}\ncookie-name = good\n"
        "[listener]\nname = Bad\npersistent-name = {2}\ncookie-name = bad\ncookie-domains-in-use = yes\n"
        "cookie-domain = .bad.example\nfault." + std::string(faults) + "\n");
    WebListenerMap map;
    EXPECT_EQ(ReadFailing(map), hr);
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(map.count("{1}"), 1u);
    EXPECT_EQ(trace.Count("WebListener has been saved to the map."), 1u);
  }
  store_.WriteConfig("[listener]\nname = x\nunknown = 1\n");
  WebListenerMap map;
  EXPECT_EQ(ReadFailing(map), HRESULT_FROM_WIN32(ERROR_INVALID_DATA));
  EXPECT_TRUE(map.empty());
}

// Before any listener, the last line logged names the last step that worked.
TEST_F(WebListenerReaderTest, FailingStoreFailsBeforeAnyListener) {
  struct Row {
    const char* faults;
    HRESULT hr;
    const char* lastLine;
  };
  const Row rows[] = {
      {"root.create=0x80040154", REGDB_E_CLASSNOTREG, nullptr},
      {"root.containing-array=0x1", S_FALSE, "FPC object has been created sucessfully."},
      {"array.rule-elements=0x80004005", E_FAIL, "Containing array has been retrieved successfully."},
      {"rule-elements.web-listeners=0x80004005", E_FAIL, "Rule elements have been retrieved successfully."},
      {"web-listeners.count=0x80004005", E_FAIL, "Web listeners have been retrieved successfully."}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.faults);
    test::TraceCapture trace(1);
    OneListener("Enabled = i4:1\n");
    store_.SetFaults(r.faults);
    WebListenerMap map;
    EXPECT_EQ(ReadFailing(map), r.hr);
    EXPECT_TRUE(map.empty());
    const Strings messages = trace.Messages();
    if (r.lastLine == nullptr) {
      EXPECT_TRUE(messages.empty());
    } else {
      ASSERT_FALSE(messages.empty());
      EXPECT_EQ(messages.back(), r.lastLine);
    }
  }
}

}  // namespace
}  // namespace talverin
