#pragma once
// What the HTML server renders: the passcode page, its style sheets and its
// pictures, addressed by the names the filter asks for.
#include <optional>
#include <string>
#include <utility>

namespace backend {

// The page or style sheet of that name (case-insensitive); nullopt for an
// unknown name. For the passcode page, text is the address the user asked for.
std::optional<std::wstring> RenderPage(const std::wstring& name, const std::wstring& text);

// The picture's bytes; nullopt for an unknown name.
std::optional<std::pair<const unsigned char*, size_t>> FindPicture(const std::wstring& name);

// Escapes &, <, >, " and ' for HTML text and attribute values.
std::wstring HtmlEscape(const std::wstring& text);

}  // namespace backend
