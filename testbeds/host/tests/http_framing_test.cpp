// Where requests and responses end on a byte stream, and what is refused.
#include <gmock/gmock.h>

#include "host/http_framing.h"

namespace talverin::host {
namespace {

using testing::HasSubstr;

const std::string kChunkedPost =
    "POST /CookieAuth.dll?Logon HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
    "5\r\ncurl=\r\n"
    "a;name=value\r\n/owa/&user\r\n"
    "0\r\nX-Trailer: 1\r\n\r\n";

TEST(HttpFramingTest, RequestWithContentLengthEndsAfterItsBodyAndLeavesThePipelinedRest) {
  const std::string first = "POST /a HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello";
  const std::string second = "GET /b HTTP/1.1\r\nHost: h\r\n\r\n";
  const std::string stream = first + second;
  Frame frame = FrameRequest(stream);
  ASSERT_EQ(frame.status, FrameStatus::Complete);
  EXPECT_EQ(frame.length, first.size());
  EXPECT_EQ(BodyOf(stream, frame), "hello");

  Frame next = FrameRequest(std::string_view(stream).substr(frame.length));
  ASSERT_EQ(next.status, FrameStatus::Complete);
  EXPECT_EQ(next.length, second.size());
  EXPECT_EQ(BodyOf(second, next), "");
}

TEST(HttpFramingTest, ChunkedRequestIsCompleteOnlyWithItsLastChunkAndTrailer) {
  for (size_t cut = 0; cut < kChunkedPost.size(); ++cut) {
    EXPECT_EQ(FrameRequest(kChunkedPost.substr(0, cut)).status, FrameStatus::Incomplete) << cut;
  }
  Frame frame = FrameRequest(kChunkedPost + "GET / HTTP/1.1\r\n");
  ASSERT_EQ(frame.status, FrameStatus::Complete);
  EXPECT_TRUE(frame.chunked);
  EXPECT_EQ(frame.length, kChunkedPost.size());
  EXPECT_EQ(BodyOf(kChunkedPost, frame), "curl=/owa/&user");
}

TEST(HttpFramingTest, DecodeChunkedTakesOnlyAWholeChunkedBody) {
  bool ok = false;
  EXPECT_EQ(DecodeChunked("3\r\nabc\r\n1\r\nd\r\n0\r\n\r\n", &ok), "abcd");
  EXPECT_TRUE(ok);
  EXPECT_EQ(DecodeChunked("3\r\nabc\r\n", &ok), "");
  EXPECT_FALSE(ok);
  DecodeChunked("3\r\nabcdef\r\n0\r\n\r\n", &ok);
  EXPECT_FALSE(ok);
}

struct RefusedCase {
  const char* name;
  std::string bytes;
  FrameStatus status;
  const char* problem;
};

class HttpFramingRefusalTest : public testing::TestWithParam<RefusedCase> {};

TEST_P(HttpFramingRefusalTest, IsRefusedWithItsProblem) {
  FrameLimits limits;
  limits.headerBytes = 256;
  limits.bodyBytes = 100;
  Frame frame = FrameRequest(GetParam().bytes, limits);
  EXPECT_EQ(frame.status, GetParam().status);
  EXPECT_THAT(frame.problem, HasSubstr(GetParam().problem));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, HttpFramingRefusalTest,
    testing::Values(
        RefusedCase{"NoRequestLine", "hello\r\n\r\n", FrameStatus::Malformed, "request line"},
        RefusedCase{"NoVersion", "GET /\r\nHost: h\r\n\r\n", FrameStatus::Malformed, "request line"},
        RefusedCase{"BareLineFeeds", "GET / HTTP/1.1\nHost: h\n\n", FrameStatus::Malformed, "CRLF"},
        RefusedCase{"FieldWithoutColon", "GET / HTTP/1.1\r\nHost h\r\n\r\n", FrameStatus::Malformed, "colon"},
        RefusedCase{"ConflictingLengths", "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab",
                    FrameStatus::Malformed, "conflicting"},
        RefusedCase{"LengthAndChunked",
                    "POST / HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
                    FrameStatus::Malformed, "both"},
        RefusedCase{"OtherCoding", "POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", FrameStatus::Malformed,
                    "transfer coding"},
        RefusedCase{"BadLength", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", FrameStatus::Malformed,
                    "Content-Length"},
        RefusedCase{"BadChunkSize", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
                    FrameStatus::Malformed, "chunk size"},
        RefusedCase{"ChunkWithoutCrlf", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nabc\r\n",
                    FrameStatus::Malformed, "CRLF"},
        RefusedCase{"HugeHeader", "GET / HTTP/1.1\r\nX-Long: " + std::string(300, 'x'), FrameStatus::TooLarge,
                    "header block"},
        RefusedCase{"HugeLength", "POST / HTTP/1.1\r\nContent-Length: 101\r\n\r\n", FrameStatus::TooLarge, "body"},
        RefusedCase{"HugeChunks", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n40\r\n" +
                                      std::string(64, 'a') + "\r\n40\r\n",
                    FrameStatus::TooLarge, "body"}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

TEST(HttpFramingTest, ResponseBodyRunsByLengthByChunksOrToTheEndOfTheConnection) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
  EXPECT_EQ(FrameResponse(head + "abc", "GET", false).status, FrameStatus::Incomplete);
  Frame toClose = FrameResponse(head + "abc", "GET", true);
  ASSERT_EQ(toClose.status, FrameStatus::Complete);
  EXPECT_EQ(BodyOf(head + "abc", toClose), "abc");

  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n1\r\nc\r\n0\r\n\r\n";
  Frame frame = FrameResponse(chunked, "GET", false);
  ASSERT_EQ(frame.status, FrameStatus::Complete);
  EXPECT_EQ(BodyOf(chunked, frame), "abc");
  ASSERT_EQ(frame.body.size(), 2u);
  EXPECT_EQ(frame.body[1].offset, chunked.find("c\r\n0"));

  // Cut short by the server.
  EXPECT_EQ(FrameResponse(chunked.substr(0, 60), "GET", true).status, FrameStatus::Malformed);
  EXPECT_EQ(FrameResponse("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc", "GET", true).status,
            FrameStatus::Malformed);
}

TEST(HttpFramingTest, ResponsesWithoutABodyEndWithTheirHeaderBlock) {
  const std::string lengthy = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
  Frame head = FrameResponse(lengthy, "HEAD", false);
  ASSERT_EQ(head.status, FrameStatus::Complete);
  EXPECT_EQ(head.length, lengthy.size());
  for (const char* status : {"204 No Content", "304 Not Modified", "100 Continue"}) {
    std::string response = std::string("HTTP/1.1 ") + status + "\r\n\r\n";
    Frame frame = FrameResponse(response, "GET", false);
    EXPECT_EQ(frame.status, FrameStatus::Complete) << status;
    EXPECT_EQ(frame.length, response.size()) << status;
  }
}

}  // namespace
}  // namespace talverin::host
