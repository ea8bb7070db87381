#include "host/connection.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <thread>

#include "probe.h"

namespace talverin::host {
namespace {

using test::ProbePath;
using test::ScopedEnvironment;
using test::Writes;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Optional;

const char kGet[] = "GET /pub/page?x=1 HTTP/1.1\r\nHost: site.test\r\nCookie: a=1\r\nCookie: b=2\r\n\r\n";
const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";

class ConnectionTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(module_.Start().Succeeded()) << module_.LoadError(); }

  // One whole request: raw request data, headers, response, end.
  static void DriveRequest(Connection& connection) {
    connection.SendRawRequestData(kGet);
    connection.PreprocHeaders();
    connection.SendRawResponseData(kOk);
    connection.EndOfRequest();
  }

  FilterModule module_{ProbePath()};
};

// "probe: context N ADDRESS" lines: the counts, and whether all name one address.
struct ContextReport {
  std::vector<unsigned long> counts;
  std::vector<std::string> addresses;
};

ContextReport ReadContextReport(const Connection& connection) {
  ContextReport report;
  for (const std::string& line : Writes(connection, ClientBytesSource::WriteClient)) {
    unsigned long count = 0;
    char address[32] = {};
    if (std::sscanf(line.c_str(), "probe: context %lu %31s", &count, address) == 2) {
      report.counts.push_back(count);
      report.addresses.emplace_back(address);
    }
  }
  return report;
}

TEST_F(ConnectionTest, FilterContextSlotIsKeptAcrossNotificationsAndRequestsOfOneConnection) {
  Connection first(module_);
  first.SetServerVariable("PROBE_ALL", "context");
  DriveRequest(first);
  first.SendRawRequestData(kGet);
  first.EndOfRequest();

  ContextReport report = ReadContextReport(first);
  EXPECT_THAT(report.counts, ElementsAre(1, 2, 3, 4, 5, 6));
  EXPECT_THAT(report.addresses, testing::Each(report.addresses.front()));
  ASSERT_EQ(first.Allocations().size(), 1u);
  EXPECT_EQ(first.FilterContextSlot(), first.Allocations()[0].address);

  Connection second(module_);
  second.SetServerVariable("PROBE_ALL", "context");
  second.SendRawRequestData(kGet);
  EXPECT_THAT(ReadContextReport(second).counts, ElementsAre(1));
  EXPECT_NE(second.FilterContextSlot(), first.FilterContextSlot());
}

TEST_F(ConnectionTest, AllocMemBlocksLiveUntilTheConnectionEnds) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_PREPROC_HEADERS", "alloc 16\nalloc 0");
  DriveRequest(connection);
  DriveRequest(connection);
  EXPECT_EQ(connection.LiveAllocations(), 4u);

  connection.Close();

  std::vector<AllocationRecord> blocks = connection.Allocations();
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(connection.LiveAllocations(), 0u);
  EXPECT_EQ(blocks[0].size, 16u);
  EXPECT_EQ(blocks[0].request, 1);
  EXPECT_EQ(blocks[3].request, 2);
  EXPECT_TRUE(blocks[3].freed);
  EXPECT_TRUE(connection.IsReleased());
}

TEST_F(ConnectionTest, FailingAllocMemAnswersNullAndRecordsNoBlock) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_READ_RAW_DATA", "alloc 8");
  connection.FailAllocMem(true);
  connection.SendRawRequestData(kGet);
  EXPECT_THAT(Writes(connection, ClientBytesSource::WriteClient), ElementsAre("probe: alloc 8 failed\n"));
  EXPECT_THAT(connection.Allocations(), IsEmpty());
}

TEST_F(ConnectionTest, DisabledNotificationsAreSkippedForTheRestOfTheRequestOnly) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_SEND_RAW_DATA", "replace REPLACED");
  connection.SetRequestServerVariable("PROBE_PREPROC_HEADERS", "disable 0x440");

  connection.SendRawRequestData(kGet);
  connection.PreprocHeaders();
  EXPECT_EQ(connection.DisabledNotifications(), 0x440u);
  NotificationResult response = connection.SendResponseNotification("HTTP/1.1 200 OK\r\n\r\n");
  NotificationResult raw = connection.SendRawResponseData(kOk);
  NotificationResult end = connection.EndOfRequest();
  EXPECT_EQ(response.skipped, SkipReason::Disabled);
  EXPECT_EQ(raw.skipped, SkipReason::Disabled);
  EXPECT_TRUE(end.delivered);
  EXPECT_EQ(connection.ClientBytes(1), kOk);

  connection.SendRawRequestData(kGet);
  connection.PreprocHeaders();
  EXPECT_EQ(connection.DisabledNotifications(), 0u);
  EXPECT_TRUE(connection.SendRawResponseData(kOk).delivered);
  EXPECT_EQ(connection.ClientBytes(2), "REPLACED");
}

TEST_F(ConnectionTest, NotificationsTheFilterDidNotRegisterForAreNotDelivered) {
  ScopedEnvironment flags("PROBE_FLAGS", "0x8080");  // raw request data and end of request
  FilterModule module(ProbePath());
  ASSERT_TRUE(module.Start().Succeeded());
  Connection connection(module);
  connection.SetServerVariable("PROBE_SEND_RAW_DATA", "empty");

  EXPECT_TRUE(connection.SendRawRequestData(kGet).delivered);
  EXPECT_EQ(connection.PreprocHeaders().skipped, SkipReason::NotRegistered);
  EXPECT_EQ(connection.SendRawResponseData(kOk).skipped, SkipReason::NotRegistered);
  EXPECT_TRUE(connection.EndOfRequest().delivered);
  EXPECT_EQ(connection.ClientBytes(), kOk);
}

struct VariableCase {
  const char* name;
  const char* firstSize;
  const char* report;
};

void PrintTo(const VariableCase& c, std::ostream* os) { *os << c.name << " first size " << c.firstSize; }

class ServerVariableTest : public ConnectionTest, public testing::WithParamInterface<VariableCase> {};

TEST_P(ServerVariableTest, AnswersLikeTheProxy) {
  Connection connection(module_);
  connection.SetServerVariable("HTTP_HOST", "abc");
  connection.SetServerVariable("HTTP_COOKIE", "");
  connection.SetServerVariable("PROBE_READ_RAW_DATA", std::string("getvar ") + GetParam().name + " " + GetParam().firstSize);
  connection.SendRawRequestData(kGet);
  EXPECT_THAT(Writes(connection, ClientBytesSource::WriteClient),
              ElementsAre(std::string("probe: getvar ") + GetParam().name + " " + GetParam().report + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ServerVariableTest,
    testing::Values(VariableCase{"HTTP_HOST", "0", "FALSE 122 4 | TRUE 0 4 \"abc\""},
                    VariableCase{"HTTP_HOST", "3", "FALSE 122 4 | TRUE 0 4 \"abc\""},
                    VariableCase{"HTTP_HOST", "4", "TRUE 0 4 \"abc\""},
                    VariableCase{"http_host", "64", "TRUE 0 4 \"abc\""},
                    VariableCase{"HTTP_COOKIE", "0", "FALSE 122 1 | TRUE 0 1 \"\""},
                    VariableCase{"LISTENER_GUID", "64", "FALSE 1413 64"}));

TEST_F(ConnectionTest, RequestServerVariablesHideConnectionOnesUntilTheRequestEnds) {
  Connection connection(module_);
  connection.SetServerVariable("URL", "/default");
  connection.SetRequestServerVariable("URL", "/first");
  connection.SetServerVariable("PROBE_END_OF_REQUEST", "getvar URL 64");
  connection.EndOfRequest();
  connection.EndOfRequest();
  EXPECT_THAT(Writes(connection, ClientBytesSource::WriteClient),
              ElementsAre("probe: getvar URL TRUE 0 7 \"/first\"\n", "probe: getvar URL TRUE 0 9 \"/default\"\n"));
}

TEST_F(ConnectionTest, HeaderCallbacksWorkOnTheRequestTheFilterLetThrough) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_READ_RAW_DATA",
                               R"(replace GET /old HTTP/1.1\r\nHost: site.test\r\nCookie: a=1\r\ncookie: b=2\r\n\r\n)");
  connection.SetServerVariable("PROBE_PREPROC_HEADERS",
                               "getheader Cookie: 4\ngetheader url 64\ngetheader Referer: 8\n"
                               "setheader Host:|other.test\naddheader X-Probe:|yes\nsetheader url|/new");
  connection.SendRawRequestData(kGet);
  EXPECT_THAT(connection.ForwardedRequestBytes(), HasSubstr("GET /old HTTP/1.1\r\n"));

  connection.PreprocHeaders();

  EXPECT_THAT(Writes(connection, ClientBytesSource::WriteClient),
              ElementsAre("probe: getheader Cookie: FALSE 122 9 | TRUE 0 9 \"a=1, b=2\"\n",
                          "probe: getheader url TRUE 0 5 \"/old\"\n", "probe: getheader Referer: FALSE 1413 8\n",
                          "probe: setheader TRUE 0 0 \"\"\n", "probe: addheader TRUE 0 0 \"\"\n",
                          "probe: setheader TRUE 0 0 \"\"\n"));
  HeaderBlock headers = connection.RequestHeaders();
  EXPECT_EQ(headers.Url(), "/new");
  EXPECT_THAT(headers.Get("Host"), Optional(std::string("other.test")));
  EXPECT_THAT(headers.Get("X-Probe"), Optional(std::string("yes")));
}

TEST_F(ConnectionTest, SendResponseNotificationEditsTheResponseHeaders) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_SEND_RESPONSE", "getheader Location: 64\nsetheader Location:|/b");
  connection.SendRawRequestData(kGet);
  connection.SendResponseNotification("HTTP/1.1 302 Found\r\nLocation: /a\r\n\r\n");
  EXPECT_THAT(Writes(connection, ClientBytesSource::WriteClient)[0], HasSubstr("TRUE 0 3 \"/a\""));
  EXPECT_THAT(connection.ResponseHeaders().Get("Location"), Optional(std::string("/b")));
}

struct RawSendCase {
  const char* script;
  const char* sent;
};

void PrintTo(const RawSendCase& c, std::ostream* os) { *os << "script " << testing::PrintToString(std::string(c.script)); }

class RawSendTest : public ConnectionTest, public testing::WithParamInterface<RawSendCase> {};

TEST_P(RawSendTest, ClientReceivesWhatTheFilterLeftInTheRecord) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_SEND_RAW_DATA", GetParam().script);
  connection.SendRawRequestData(kGet);
  EXPECT_TRUE(connection.SendRawResponseData(kOk).delivered);
  EXPECT_EQ(connection.ClientBytes(), GetParam().sent);
  EXPECT_THAT(connection.Violations(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Records, RawSendTest,
    testing::Values(RawSendCase{"", kOk}, RawSendCase{"empty", ""},
                    RawSendCase{R"(replace HTTP/1.1 302 Moved Temporarily\r\nLocation: /x\r\n\r\n)",
                                "HTTP/1.1 302 Moved Temporarily\r\nLocation: /x\r\n\r\n"},
                    RawSendCase{"status 0x08000005\nreplace HEAD", "HEAD"}, RawSendCase{"status 0x08000000", ""}));

TEST_F(ConnectionTest, FinishedSendsTheFiltersAnswerAndClosesTheConnection) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_PREPROC_HEADERS",
                               R"(send-header 200 Ok|Content-Length: 2\r\n\r\n
write hi
alloc 4
status 0x08000000)");
  connection.SendRawRequestData(kGet);
  NotificationResult headers = connection.PreprocHeaders();
  EXPECT_EQ(headers.status, static_cast<DWORD>(SF_STATUS_REQ_FINISHED));
  EXPECT_TRUE(connection.IsClosed());

  EXPECT_EQ(connection.SendRawResponseData(kOk).skipped, SkipReason::ConnectionClosed);
  EXPECT_TRUE(connection.EndOfRequest().delivered);
  EXPECT_EQ(connection.SendRawRequestData(kGet).skipped, SkipReason::ConnectionClosed);

  EXPECT_EQ(connection.ClientBytes(), "HTTP/1.1 200 Ok\r\nContent-Length: 2\r\n\r\nhi");
  EXPECT_TRUE(connection.IsReleased());
  EXPECT_EQ(connection.LiveAllocations(), 0u);
  EXPECT_THAT(connection.Violations(), IsEmpty());
}

TEST_F(ConnectionTest, HostCanDropAFinishedConnectionWithoutEndOfRequest) {
  ConnectionOptions options;
  options.endOfRequestAfterFinished = false;
  Connection connection(module_, options);
  connection.SetServerVariable("PROBE_READ_RAW_DATA", "status 0x08000004");  // SF_STATUS_REQ_ERROR
  connection.SendRawRequestData(kGet);
  EXPECT_EQ(connection.EndOfRequest().skipped, SkipReason::ConnectionClosed);
  EXPECT_TRUE(connection.IsReleased());
  EXPECT_EQ(connection.ForwardedRequestBytes(), "");
}

TEST_F(ConnectionTest, FinishedKeepConnEndsOnlyTheRequest) {
  Connection connection(module_);
  connection.SetRequestServerVariable("PROBE_PREPROC_HEADERS", "status 0x08000001");
  connection.SendRawRequestData(kGet);
  connection.PreprocHeaders();
  EXPECT_EQ(connection.SendRawResponseData(kOk).skipped, SkipReason::RequestFinished);
  EXPECT_TRUE(connection.EndOfRequest().delivered);
  EXPECT_FALSE(connection.IsClosed());

  DriveRequest(connection);
  EXPECT_EQ(connection.ClientBytes(2), kOk);
}

TEST_F(ConnectionTest, StatusAndLastErrorAreReportedAndUnknownStatusesFlagged) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_READ_RAW_DATA", "status 0x08000005\nlasterror 1234");
  connection.SetServerVariable("PROBE_PREPROC_HEADERS", "status 0");
  NotificationResult raw = connection.SendRawRequestData(kGet);
  EXPECT_EQ(raw.status, static_cast<DWORD>(SF_STATUS_REQ_READ_NEXT));
  EXPECT_EQ(raw.lastError, 1234u);
  EXPECT_THAT(connection.Violations(), IsEmpty());
  connection.PreprocHeaders();
  EXPECT_THAT(connection.Violations(), ElementsAre(HasSubstr("0x00000000")));
}

TEST_F(ConnectionTest, OtherServerSupportRequestsAreNotSupported) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_READ_RAW_DATA", "ssf 2\nssf 4");
  connection.SendRawRequestData(kGet);
  EXPECT_THAT(Writes(connection, ClientBytesSource::WriteClient),
              ElementsAre("probe: ssf FALSE 50 0\n", "probe: ssf FALSE 50 0\n"));
}

TEST_F(ConnectionTest, ResponseHeaderWithoutEmptyLineOrSentTwiceIsFlagged) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_PREPROC_HEADERS", R"(send-header 302 Found|Location: /x\r\n
send-header 200 OK|\r\n)");
  connection.SendRawRequestData(kGet);
  connection.PreprocHeaders();
  EXPECT_THAT(Writes(connection, ClientBytesSource::ResponseHeader),
              ElementsAre("HTTP/1.1 302 Found\r\nLocation: /x\r\n", "HTTP/1.1 200 OK\r\n\r\n"));
  EXPECT_THAT(connection.Violations(), ElementsAre(HasSubstr("empty line"), HasSubstr("twice")));
}

TEST_F(ConnectionTest, RawDataBeyondItsMemoryIsClippedAndFlagged) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_READ_RAW_DATA", "lengthen 100");
  connection.SetServerVariable("PROBE_SEND_RAW_DATA", "replace moved\nlengthen 3");
  connection.SendRawRequestData(kGet);
  connection.SendRawResponseData(kOk);
  EXPECT_EQ(connection.ForwardedRequestBytes(), kGet);
  EXPECT_EQ(connection.ClientBytes(), "moved");
  EXPECT_THAT(connection.Violations(),
              ElementsAre(HasSubstr("SF_NOTIFY_READ_RAW_DATA: data runs past"), HasSubstr("SF_NOTIFY_SEND_RAW_DATA: data runs past")));
}

TEST_F(ConnectionTest, WritingPastAnAllocMemBlockIsFlagged) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_PREPROC_HEADERS", "overrun 24");
  connection.SendRawRequestData(kGet);
  EXPECT_THAT(connection.Violations(), IsEmpty());
  connection.PreprocHeaders();
  EXPECT_THAT(connection.Violations(), ElementsAre("AllocMem block of 24 bytes (request 1) written past its end"));
}

TEST_F(ConnectionTest, CallbacksOutsideANotificationAreRefused) {
  Connection connection(module_);
  HTTP_FILTER_CONTEXT* pfc = connection.FilterContext();
  char text[] = "late";
  DWORD length = 4;
  EXPECT_FALSE(pfc->WriteClient(pfc, text, &length, 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(pfc->AllocMem(pfc, 8, 0), nullptr);
  EXPECT_EQ(connection.ClientBytes(), "");
  EXPECT_THAT(connection.Violations(), ElementsAre(HasSubstr("WriteClient"), HasSubstr("AllocMem")));
}

TEST_F(ConnectionTest, OtherNotificationsCarryTheirRecords) {
  Connection connection(module_);
  connection.SetServerVariable("PROBE_AUTHENTICATION", "set-user bob");
  connection.SetServerVariable("PROBE_AUTH_COMPLETE", "getheader Host: 64");
  connection.SetServerVariable("PROBE_ACCESS_DENIED", "status 0x08000003");
  connection.SendRawRequestData(kGet);
  AuthenticationData credentials{"alice", "secret"};
  EXPECT_TRUE(connection.Authentication(credentials).delivered);
  EXPECT_EQ(credentials.user, "bob");
  EXPECT_EQ(credentials.password, "secret");
  connection.AuthComplete();
  EXPECT_THAT(Writes(connection, ClientBytesSource::WriteClient),
              ElementsAre("probe: getheader Host: TRUE 0 10 \"site.test\"\n"));
  EXPECT_EQ(connection.AccessDenied("/x", "", SF_DENIED_LOGON).status,
            static_cast<DWORD>(SF_STATUS_REQ_HANDLED_NOTIFICATION));
}

TEST_F(ConnectionTest, ConnectionsOnSeveralThreadsKeepToThemselves) {
  constexpr int kThreads = 4;
  constexpr int kRequests = 25;
  std::vector<std::unique_ptr<Connection>> connections;
  for (int i = 0; i < kThreads; ++i) {
    connections.push_back(std::make_unique<Connection>(module_));
    connections.back()->SetServerVariable("PROBE_ALL", "context");
    connections.back()->SetServerVariable("PROBE_SEND_RAW_DATA", "replace T" + std::to_string(i));
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      for (int r = 0; r < kRequests; ++r) DriveRequest(*connections[i]);
    });
  }
  for (std::thread& thread : threads) thread.join();

  for (int i = 0; i < kThreads; ++i) {
    Connection& connection = *connections[i];
    ContextReport report = ReadContextReport(connection);
    ASSERT_EQ(report.counts.size(), static_cast<size_t>(4 * kRequests));
    EXPECT_EQ(report.counts.back(), static_cast<unsigned long>(4 * kRequests));
    EXPECT_THAT(report.addresses, testing::Each(report.addresses.front()));
    EXPECT_EQ(Writes(connection, ClientBytesSource::RawSend),
              std::vector<std::string>(kRequests, "T" + std::to_string(i)));
    EXPECT_THAT(connection.Violations(), IsEmpty());
  }
}

}  // namespace
}  // namespace talverin::host
