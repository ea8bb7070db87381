#pragma once
// Where an HTTP/1.1 message ends on a byte stream: the header block up to its
// empty line, then a body of Content-Length bytes or in chunked transfer
// coding. A proxy reads one whole request this way before acting on it, and
// one whole response from the server behind it.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace talverin::host {

enum class FrameStatus {
  Incomplete,  // more bytes are needed
  Complete,
  Malformed,   // answered with 400
  TooLarge,    // answered with 413
};

struct FrameLimits {
  size_t headerBytes = 64 * 1024;
  size_t bodyBytes = 16 * 1024 * 1024;
};

// One piece of a body as it lies in the stream: `length` bytes of content
// from `offset` on (chunked coding leaves gaps between the pieces).
struct BodySpan {
  size_t offset;
  size_t length;
};

struct Frame {
  FrameStatus status = FrameStatus::Incomplete;
  std::string problem;     // why the message is malformed or too large
  size_t headerBytes = 0;  // the header block with its empty line
  size_t length = 0;       // the whole message as sent, when complete
  bool chunked = false;
  std::vector<BodySpan> body;  // the body's content, in order, when complete
};

// A request at the start of `bytes` (pipelined requests may follow it).
Frame FrameRequest(std::string_view bytes, const FrameLimits& limits = {});

// A response to a request with this method at the start of `bytes`. A body
// without Content-Length or chunked coding runs to the end of the connection:
// `closed` says the server has closed it, so all bytes present are the body.
Frame FrameResponse(std::string_view bytes, std::string_view requestMethod, bool closed,
                    const FrameLimits& limits = {});

// The content of a framed message's body.
std::string BodyOf(std::string_view bytes, const Frame& frame);

// A complete chunked body decoded; `*ok` false when it is not one.
std::string DecodeChunked(std::string_view chunked, bool* ok);

}  // namespace talverin::host
