#include "host/header_block.h"

#include <algorithm>

namespace talverin::host {
namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::vector<std::string> SplitFirstLine(const std::string& line) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at < line.size()) {
    size_t end = line.find(' ', at);
    if (end == std::string::npos) end = line.size();
    if (end > at) parts.emplace_back(line, at, end - at);
    at = end + 1;
  }
  return parts;
}

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

bool HasToken(std::string_view list, std::string_view token) {
  while (true) {
    size_t comma = list.find(',');
    if (EqualsIgnoringCase(Trim(list.substr(0, comma)), token)) return true;
    if (comma == std::string_view::npos) return false;
    list.remove_prefix(comma + 1);
  }
}

HeaderBlock HeaderBlock::Parse(std::string_view text) {
  HeaderBlock block;
  bool first = true;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    if (first) {
      block.firstLine_ = std::string(line);
      first = false;
    } else if ((line.front() == ' ' || line.front() == '\t') && !block.fields_.empty()) {
      std::string& value = block.fields_.back().second;
      value += ' ';
      value += Trim(line);
    } else if (size_t colon = line.find(':'); colon != std::string_view::npos) {
      block.fields_.emplace_back(std::string(Trim(line.substr(0, colon))), std::string(Trim(line.substr(colon + 1))));
    }
  }
  return block;
}

std::optional<std::string> HeaderBlock::Get(std::string_view name) const {
  std::optional<std::string> value;
  for (const auto& [fieldName, fieldValue] : fields_) {
    if (!EqualsIgnoringCase(fieldName, name)) continue;
    if (value) {
      *value += ", ";
      *value += fieldValue;
    } else {
      value = fieldValue;
    }
  }
  return value;
}

void HeaderBlock::Set(std::string_view name, std::string_view value) {
  auto first = std::find_if(fields_.begin(), fields_.end(),
                            [&](const auto& field) { return EqualsIgnoringCase(field.first, name); });
  if (first == fields_.end() || value.empty()) {
    Remove(name);
    if (!value.empty()) Add(name, value);
    return;
  }
  // Keep the field where it was; drop the later repeats.
  first->second = std::string(value);
  fields_.erase(std::remove_if(first + 1, fields_.end(),
                               [&](const auto& field) { return EqualsIgnoringCase(field.first, name); }),
                fields_.end());
}

void HeaderBlock::Add(std::string_view name, std::string_view value) {
  fields_.emplace_back(std::string(name), std::string(value));
}

void HeaderBlock::Remove(std::string_view name) {
  fields_.erase(std::remove_if(fields_.begin(), fields_.end(),
                               [&](const auto& field) { return EqualsIgnoringCase(field.first, name); }),
                fields_.end());
}

std::string HeaderBlock::Serialize() const {
  std::string text = firstLine_ + "\r\n";
  for (const auto& [name, value] : fields_) text += name + ": " + value + "\r\n";
  return text + "\r\n";
}

std::string HeaderBlock::FirstLinePart(size_t index) const {
  std::vector<std::string> parts = SplitFirstLine(firstLine_);
  return index < parts.size() ? parts[index] : std::string();
}

void HeaderBlock::SetFirstLinePart(size_t index, std::string_view value) {
  std::vector<std::string> parts = SplitFirstLine(firstLine_);
  if (parts.size() <= index) parts.resize(index + 1);
  parts[index] = std::string(value);
  std::string line;
  for (size_t i = 0; i < parts.size(); ++i) line += (i ? " " : "") + parts[i];
  firstLine_ = line;
}

}  // namespace talverin::host
