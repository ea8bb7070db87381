#pragma once
// A message's header block as the host holds it between notifications: the
// first line (request or status line) and the header fields in arrival order.
// The filter reads and edits it through GetHeader, SetHeader and AddHeader.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talverin::host {

class HeaderBlock {
 public:
  HeaderBlock() = default;

  // Reads the text up to its first empty line (or its end). Lines may end in
  // CRLF or LF; a line starting with blank or tab continues the previous
  // field; a line without a colon is not a field and is dropped.
  static HeaderBlock Parse(std::string_view text);

  const std::string& FirstLine() const { return firstLine_; }
  void SetFirstLine(std::string line) { firstLine_ = std::move(line); }

  // The three parts of a request line; empty when the line lacks them.
  std::string Method() const { return FirstLinePart(0); }
  std::string Url() const { return FirstLinePart(1); }
  std::string Version() const { return FirstLinePart(2); }
  void SetMethod(std::string_view value) { SetFirstLinePart(0, value); }
  void SetUrl(std::string_view value) { SetFirstLinePart(1, value); }
  void SetVersion(std::string_view value) { SetFirstLinePart(2, value); }

  // Field names compare without regard to ASCII case. Get joins the values
  // of repeated fields with ", " as a server does when it reports them.
  std::optional<std::string> Get(std::string_view name) const;
  // Replaces every field of that name by one; an empty value removes them.
  void Set(std::string_view name, std::string_view value);
  void Add(std::string_view name, std::string_view value);
  void Remove(std::string_view name);
  const std::vector<std::pair<std::string, std::string>>& Fields() const { return fields_; }

  // First line, fields, and the empty line that ends the block.
  std::string Serialize() const;

 private:
  std::string FirstLinePart(size_t index) const;
  void SetFirstLinePart(size_t index, std::string_view value);

  std::string firstLine_;
  std::vector<std::pair<std::string, std::string>> fields_;
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b);
// Whether a comma-separated field value ("keep-alive, Upgrade") holds this
// token, without regard to case.
bool HasToken(std::string_view list, std::string_view token);

}  // namespace talverin::host
