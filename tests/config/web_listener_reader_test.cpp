#include "config/web_listener_reader.h"

#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "config/store_fixture.h"
#include "stub/errors.h"
#include "support/trace_capture.h"

namespace talverin {
namespace {

using Strings = std::vector<std::string>;

constexpr char kFilterSet[] = "[set {347A24CF-D801-4b9a-8F0F-74902FA92D76}]\n";

// A listener section of the store's configuration; `lines` follow its names.
std::string Listener(const std::string& name, const std::string& id, const std::string& lines = "") {
  return "[listener]\nname = " + name + "\npersistent-name = " + id + "\ncookie-name = " + name + "-c\n" + lines;
}

class WebListenerReaderTest : public testing::Test {
 protected:
  WebListenerMap Read(const std::string& config) {
    store_.WriteConfig(config);
    WebListenerMap map;
    ReadWebListeners(map);
    return map;
  }

  test::StoreTestBed store_;
  test::TraceCapture trace_{1};
};

// The persistent name is the key, compared with regard to case; a later listener of the same name overwrites an earlier
// one. The line of each listener shows what was read.
TEST_F(WebListenerReaderTest, WalksEveryListenerWithItsLogLines) {
  const std::string owa = "cookie-domains-in-use = yes\ncookie-domain = .d1.example\ncookie-domain = .d2.example\n";
  const WebListenerMap map =
      Read(Listener("First", "{A1}") +
           Listener("Exchange \"OWA\"", "{A1}",
                    owa + kFilterSet +
                        "Enabled = i4:1\nRpcOverHttpAllowed = i4:1\nActiveSyncAllowed = i4:0\n"
                        "AutoDiscoverAllowed = i4:1\nCustomExclusionList = bstr:/public/\\r\\n/Images/\n") +
           Listener("Lower", "{a1}"));
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.at("{A1}").CustomExclusionList, (Strings{"/public/", "/Images/"}));
  EXPECT_EQ(map.at("{a1}").Name, "Lower");

  EXPECT_TRUE(trace_.Has("Web listeners count: 3."));
  EXPECT_TRUE(trace_.Has(
      "WebListenerInfo, Name: \"Exchange \"OWA\"\", Enabled: Yes, FBACookieName: \"Exchange \"OWA\"-c\", "
      "FBACookieDomains: .d1.example;.d2.example, RpcAllowed: Yes, ActiveSyncAllowed: No, AutoDiscoverAllowed: Yes, "
      "Custom exclusion list size: 2"));
}

// One listener as the store answers: a flag true only for an i4 with low word one, read with S_OK; the filter's set
// only when found or added, S_FALSE for the sets being no failure; cookie domains only when in use and read whole; the
// exclusion list only as a text read with S_OK.
TEST_F(WebListenerReaderTest, ReadsWhatTheStoreAnswers) {
  struct Row {
    std::string lines;
    const char* faults = "";
    bool enabled = false;
    Strings domains = {}, exclusions = {};
  };
  const auto flag = [](const char* value) { return kFilterSet + std::string("Enabled = ") + value + "\n"; };
  const std::string values = "Enabled = i4:1\nCustomExclusionList = bstr:/x/\n";
  const std::string domains = "cookie-domain = .d1.example\ncookie-domain = .d2.example\ncookie-domains-in-use = ";
  const std::string list = kFilterSet + std::string("CustomExclusionList = ");
  const Row rows[] = {
      {flag("i4:65537"), "", true}, {flag("i4:2")}, {flag("i4:0")}, {flag("i4:-1")}, {flag("bool:-1")},
      {flag("bstr:1")}, {flag("empty")}, {flag("i4:1 !0x1")},
      {"[set {00000000-0000-0000-0000-000000000000}]\n" + values},
      {kFilterSet + values, "sets.item=0x80004005;sets.add=0x80004005"},
      {kFilterSet + values, "listener.vendor-sets=0x1", true, {}, {"/x/"}},
      {domains + "no\n"},
      // The in-use flag is written as true along with its failure.
      {domains + "yes\n", "properties.cookie-domains-in-use=0x80004005"},
      {domains + "yes\n", "properties.cookie-domains=0x80004005"},
      {list + "i4:1\n"}, {list + "bstr:/a/ !0x1\n"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.lines + r.faults);
    store_.SetFaults(r.faults);
    const WebListenerMap map = Read(Listener("L", "{L}", r.lines));
    ASSERT_EQ(map.size(), 1u);
    const WebListenerInfo& info = map.begin()->second;
    EXPECT_EQ(info.Enabled, r.enabled);
    EXPECT_EQ(info.FBACookieDomains, r.domains);
    EXPECT_EQ(info.CustomExclusionList, r.exclusions);
    EXPECT_EQ(info.FBACookieName, "L-c");
  }
}

// A failing step stops the walk with its result: a step of the second listener after the first is kept; a step of the
// whole store before any, after the line naming the last step that worked. Strict steps take any answer but S_OK for a
// failure.
TEST_F(WebListenerReaderTest, FailingStepStopsTheWalkWithItsResult) {
  // The fault, its result, and for a fault of the whole store the last line.
  const std::tuple<const char*, HRESULT, const char*> rows[] = {
      {"web-listeners.item = 0x80004005", E_FAIL, nullptr}, {"listener.name = 0x1", S_FALSE, nullptr},
      {"listener.persistent-name = 0x1", S_FALSE, nullptr}, {"fba.cookie-name = 0x80004005", E_FAIL, nullptr},
      {"listener.vendor-sets = 0x8007000E", E_OUTOFMEMORY, nullptr}, {"cookie-domains.count = 0x1", S_FALSE, nullptr},
      {"listener.properties = 0x80004005", E_FAIL, nullptr}, {"properties.fba-settings = 0x1", S_FALSE, nullptr},
      {"properties.query-interface = 0x80004002", E_NOINTERFACE, nullptr},
      {"cookie-domains.item = 0x80004005", E_FAIL, nullptr}, {"root.create=0x80040154", REGDB_E_CLASSNOTREG, ""},
      {"root.containing-array=0x1", S_FALSE, "FPC object has been created sucessfully."},
      {"array.rule-elements=0x80004005", E_FAIL, "Containing array has been retrieved successfully."},
      {"rule-elements.web-listeners=0x80004005", E_FAIL, "Rule elements have been retrieved successfully."},
      {"web-listeners.count=0x80004005", E_FAIL, "Web listeners have been retrieved successfully."}};
  for (const auto& [fault, hr, lastLine] : rows) {
    SCOPED_TRACE(fault);
    test::TraceCapture trace(1);
    const bool ofStore = lastLine != nullptr;
    store_.SetFaults(ofStore ? fault : "");
    store_.WriteConfig(Listener("Good", "{1}") +
                       Listener("Bad", "{2}", "cookie-domains-in-use = yes\ncookie-domain = .bad.example\n") +
                       (ofStore ? "" : "fault." + std::string(fault) + "\n"));
    WebListenerMap map;
    try {
      ReadWebListeners(map);
      ADD_FAILURE() << "no failure";
    } catch (const HRXEx& e) {
      EXPECT_EQ(e.hr, hr);
      EXPECT_FALSE(e.errorText.empty());
    }
    EXPECT_EQ(map.count("{1}"), ofStore ? 0u : 1u);
    EXPECT_EQ(map.size(), map.count("{1}"));
    const Strings messages = trace.Messages();
    if (ofStore) EXPECT_EQ(messages.empty() ? std::string() : messages.back(), lastLine);
  }
}

}  // namespace
}  // namespace talverin
