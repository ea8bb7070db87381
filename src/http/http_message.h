#pragma once
// A raw HTTP request or response, split once into its header block and its
// body, with the lookups and in-place edits the filter needs and the bytes to
// write back. Pure C++: no Windows headers.
//
// Every text the message holds, and every text it hands out, lives in
// zero-wiping storage: requests carry user names, passwords and passcodes.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/secure.h"
#include "http/http_header_block.h"

class HttpMessage {
 public:
  // First token of the start line, compared without regard to case.
  enum class Method : int { Get = 0, Post = 1, Other = 2 };

  // Empty: no header block, no body; used to build a response from nothing.
  HttpMessage() = default;
  // Every byte of the range, NUL bytes included. data may be null when
  // length is 0.
  HttpMessage(const void* data, std::size_t length);
  // A stored message text.
  explicit HttpMessage(std::string_view text);

  // --- Queries -------------------------------------------------------------

  // Text before the first CR LF CR LF (the whole text while it is missing).
  talverin::SecureString GetHeaders() const { return headers_; }
  // Text after the first CR LF CR LF.
  talverin::SecureString GetBody() const { return body_; }
  // The text as received, before any edit.
  talverin::SecureString GetRaw() const { return raw_; }
  bool HeadersComplete() const noexcept { return headersComplete_; }

  // Start-line tokens: the text before the first blank, and the text between
  // the first and the second blank (request URL or status code). Empty when
  // the start line lacks the blanks; a token never reaches past the start line.
  talverin::SecureString GetFirstToken() const;
  talverin::SecureString GetSecondToken() const;
  // Leading decimal digits of the second token; 0 when there are none.
  int GetStatusCode() const;
  Method GetMethod() const;

  // Value of the first header line whose name matches, as HTTP reads a
  // field: the name at the start of the line without regard to case (blanks
  // or tabs before the colon are tolerated, as lax parsers do), the value
  // with the blanks and tabs around it removed. Empty when absent.
  talverin::SecureString GetHeaderValue(std::string_view name) const;
  // Values of every header line of that name, in order (Set-Cookie may come
  // more than once).
  std::vector<talverin::SecureString> GetHeaderValues(std::string_view name) const;

  // Percent-decoded value of the first form field of the body whose name is
  // exactly name ('+' stays '+'). Fields start at the start of the body or
  // right after '&'; a value ends at the next '&'. Empty when absent.
  talverin::SecureString GetFormField(std::string_view name) const;
  // Percent-decoded values of every field whose percent-decoded name equals
  // name without regard to case; a field without '=' counts with an empty
  // value. Lets a caller refuse a form that names a field twice.
  std::vector<talverin::SecureString> GetFormFieldOccurrences(std::string_view name) const;

  // How the header block frames the body (HttpHeaderBlock::GetBodyLength).
  using BodyLength = HttpHeaderBlock::BodyLength;
  BodyLength GetBodyLength() const;
  // The framing is not Invalid and the body is exactly as long as it says.
  bool IsBodyComplete() const;
  // The header block holds only CR LF line ends and no folded (continued)
  // line and no NUL byte: readers that take a bare LF or CR as a line end, or
  // unfold a continuation, would see other fields than a strict one does.
  bool HeaderBlockIsStrict() const;

  // --- Edits ---------------------------------------------------------------

  // Appends line and CR LF to the header block (a start line written from
  // nothing).
  void AppendHeaderLine(std::string_view line);
  // Appends "name: value" and CR LF to the header block. Meant for header
  // blocks whose every line already ends in CR LF.
  void AddHeader(std::string_view name, std::string_view value);
  // Puts text in the place of the first matching header's value (as
  // GetHeaderValue finds it); false, and nothing changed, when absent.
  bool ReplaceHeaderValue(std::string_view name, std::string_view text);
  // Puts the percent-encoded value in the place of the raw value of the first
  // matching form field (as GetFormField finds it) and sets Content-Length,
  // when present, to the new body length. False, and nothing changed, when
  // the field is absent.
  bool ReplaceFormFieldEncoded(std::string_view name, std::string_view value);

  // The bytes to send: header block, the line end(s) that close it with
  // exactly one empty line, then the body.
  talverin::SecureString Serialize() const;

 private:
  struct Range {
    std::size_t begin = 0;
    std::size_t end = 0;
  };

  void Split();
  // Value range of the first matching header line; found false when absent.
  bool FindHeaderValue(std::string_view name, Range& value) const;
  bool FindFormFieldValue(std::string_view name, Range& value) const;
  // The header block, read through the one header reader.
  HttpHeaderBlock Block() const noexcept;
  std::string_view View(const talverin::SecureString& s, Range r) const { return {s.data() + r.begin, r.end - r.begin}; }

  // Calls visit(field range) for each '&'-separated field of the body.
  template <class Visit>
  void VisitFormFields(Visit visit) const;

  talverin::SecureString body_;
  talverin::SecureString headers_;
  talverin::SecureString raw_;
  bool headersComplete_ = false;
};
