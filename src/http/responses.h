#pragma once
// Every response the filter writes itself: direct responses through the
// host's SF_REQ_SEND_RESPONSE_HEADER and WriteClient, and rewrites of the
// outgoing raw data in memory the host hands out with AllocMem.
#include <windows.h>
#include <httpfilt.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "http/http_message.h"

// 302 to whereTo with the fixed 31-byte "Moved" body. A non-empty cookieName
// adds one Set-Cookie line: removing the cookie (of cookieDomain, when given)
// when setExpired, else setting it to cookieValue.
void IsapiRedirect(HTTP_FILTER_CONTEXT* pfc, const std::string& whereTo, const std::string& cookieName,
                   const std::string& cookieValue, bool setExpired, const std::string& cookieDomain);

// A style sheet (text/css).
void SendStaticTextResponse(HTTP_FILTER_CONTEXT* pfc, std::string_view text);

// A picture, always labelled image/gif.
void SendPictureResponse(HTTP_FILTER_CONTEXT* pfc, const void* bytes, std::size_t size);

// An HTML page, not to be cached. A non-empty cookieName adds one Set-Cookie
// line: setting it to cookieValue, or removing it when the value is empty.
void SendHtmlPageResponse(HTTP_FILTER_CONTEXT* pfc, std::string_view html, const std::string& cookieName,
                          const std::string& cookieValue);

// Replays a response stored earlier: its header lines as stored, its body.
// The stored status line is left out, since the host writes a status line of
// its own.
void SendStoredResponse(HTTP_FILTER_CONTEXT* pfc, std::string_view storedHeaders, std::string_view storedBody);

// Replaces the outgoing response by a 302 to location, with a Set-Cookie line
// holding cookieText when that is not empty. Answers
// SF_STATUS_REQ_NEXT_NOTIFICATION once the rewrite is in place, and
// SF_STATUS_REQ_FINISHED when the host had no memory for it: the original
// response must then not go out.
DWORD RawRedirect(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record, const std::string& location,
                  std::string_view cookieText);

// Points the raw-data record at a host-owned copy of the serialized message.
// False when AllocMem gives no block (or the message is too long for the
// record); the record is then left as it was.
[[nodiscard]] bool WriteToRawData(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record, const HttpMessage& message);

// Copies bytes into a fresh AllocMem block and points the record at it; the
// block is zero-filled first. The shared step of every raw rewrite.
[[nodiscard]] bool HandBytesToHost(HTTP_FILTER_CONTEXT* pfc, HTTP_FILTER_RAW_DATA* record, const void* bytes,
                                   std::size_t size);
