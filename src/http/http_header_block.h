#pragma once
// The header block of an HTTP message, read where it lies: the one reading of
// the start line and the header fields the filter has (HttpMessage reads its
// own copy through it). Answers the filter passes on are read with it alone:
// their bytes are not the filter's to copy. Pure C++: no Windows headers.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class HttpHeaderBlock {
 public:
  // A header block's text without the empty line that closes it; complete
  // tells whether that line was there.
  HttpHeaderBlock(std::string_view text, bool complete) noexcept : text_(text), complete_(complete) {}
  // The bytes through their first CR LF CR LF; all of them while it is missing.
  static HttpHeaderBlock Read(std::string_view bytes) noexcept;

  std::string_view Text() const noexcept { return text_; }
  bool Complete() const noexcept { return complete_; }

  std::string_view StartLine() const noexcept;
  // The text before the first blank of the start line, and the text between
  // the first and the second blank; empty when the start line lacks them.
  std::string_view FirstToken() const noexcept;
  std::string_view SecondToken() const noexcept;
  // Leading decimal digits of the second token; 0 when there are none.
  int StatusCode() const noexcept;

  // The value of the first header line of that name, as HTTP reads a field:
  // the name at the start of the line without regard to case (blanks or tabs
  // before the colon tolerated, as lax parsers do), the value without the
  // blanks and tabs around it. False when no line has that name.
  bool FindValue(std::string_view name, std::string_view& value) const noexcept;
  std::string_view Value(std::string_view name) const noexcept;
  // The values of every line of that name, in order.
  std::vector<std::string_view> Values(std::string_view name) const;

  // How the header block frames the body. Absent: neither Content-Length nor
  // Transfer-Encoding (no body). Invalid: a Transfer-Encoding, a
  // Content-Length that is not all digits, or two Content-Length values that
  // differ: two readers could disagree on where the body ends.
  struct BodyLength {
    enum class Kind { Absent, Length, Invalid } kind = Kind::Absent;
    std::uint64_t length = 0;  // Length only
  };
  BodyLength GetBodyLength() const;
  // The framing is not Invalid and says the body is bodySize bytes long.
  bool FramesBodyOf(std::size_t bodySize) const;
  // The bytes hold a whole header block and exactly the body it announces.
  static bool IsWholeMessage(std::string_view bytes);
  // Only CR LF line ends, no folded (continued) line and no NUL byte: readers
  // that take a bare LF or CR as a line end, or unfold a continuation, would
  // see other fields than a strict one does.
  bool IsStrict() const noexcept;

  // Where the first CR LF CR LF at or after from begins; npos when there is
  // none. The bytes before from are known to hold none.
  static std::size_t FindEnd(std::string_view bytes, std::size_t from = 0) noexcept;
  // Where the first CR LF at or after from begins; npos when there is none.
  static std::size_t FindLineEnd(std::string_view text, std::size_t from) noexcept;
  // The value of the line if it is a field of that name, read as FindValue
  // reads it. Most lines differ in their first letter: they are told apart
  // without a call.
  static bool MatchField(std::string_view line, std::string_view name, std::string_view& value) noexcept {
    if (line.empty() || name.empty() || ((line[0] ^ name[0]) & ~0x20) != 0) return false;
    return MatchFieldName(line, name, value);
  }

  // Calls visit(line) for each line after the start line, in order, until it
  // answers true.
  template <class Visit>
  void VisitLines(Visit visit) const {
    std::size_t begin = FindLineEnd(text_, 0);
    if (begin == std::string_view::npos) return;  // start line only
    begin += 2;
    for (;;) {
      std::size_t end = FindLineEnd(text_, begin);
      if (end == std::string_view::npos) end = text_.size();
      if (visit(text_.substr(begin, end - begin))) return;
      if (end == text_.size()) return;
      begin = end + 2;
    }
  }

 private:
  // MatchField past its first letter.
  static bool MatchFieldName(std::string_view line, std::string_view name, std::string_view& value) noexcept;

  std::string_view text_;
  bool complete_;
};

namespace http_text {
bool EqualsIgnoringCase(std::string_view a, std::string_view b) noexcept;
// Leading decimal digits after optional blanks, as the C library's atoi reads
// them; 0 when there are none. Saturates instead of overflowing.
std::uint64_t LeadingDecimal(std::string_view text) noexcept;
}  // namespace http_text
