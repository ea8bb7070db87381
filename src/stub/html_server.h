#pragma once
// The back end's HTML server: the filter's own pages, style sheets and
// pictures, rendered in the back end's language.
#include <string>
#include <vector>

#include "stub/abstract_stub.h"

namespace Stub {

class HtmlServer final : public AbstractStub {
 public:
  HtmlServer() = default;

  // The page (or style sheet) as the back end renders it; text is the second
  // argument (the URL to return to, or empty).
  std::string RenderHtmlPage(const std::string& pageName, const std::string& text);
  std::string RenderHtmlPage(const std::string& pageName);
  // Appends the picture's bytes. The back end must answer a one-dimensional,
  // zero-based byte array; anything else raises HRXEx(E_INVALIDARG),
  // bytes appended before the failing element staying in place.
  void RenderPicture(const std::string& pictureName, std::vector<unsigned char>& bytes);
};

}  // namespace Stub
