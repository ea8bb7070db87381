// The canonical URL form that the exclusion rules judge: it must be stable
// (canonicalizing it again changes nothing) and free of every spelling that
// could climb out of an excluded prefix.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "config/url_canonical.h"
#include "config/url_exclusion.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckPath(std::string_view path) {
  Require(path.find("//") == std::string_view::npos);
  Require(path.find('\\') == std::string_view::npos);
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = path.find('/', start);
    std::string_view segment = path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    Require(segment != "." && segment != "..");
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  for (std::size_t i = 0; i < path.size(); ++i) {
    Require(!(path[i] >= 'A' && path[i] <= 'Z'));
    Require(path[i] != '\0');
    // The only escapes left are the two the form writes back itself.
    if (path[i] == '%') Require(path.substr(i, 3) == "%25" || path.substr(i, 3) == "%3f");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view url(reinterpret_cast<const char*>(data), size);
  const std::optional<std::string> canonical = talverin::CanonicalizeUrl(url);
  if (canonical) {
    CheckPath(talverin::CanonicalPath(*canonical));
    const std::optional<std::string> again = talverin::CanonicalizeUrl(*canonical);
    Require(again.has_value() && *again == *canonical);
    // The query is carried over, only lower-cased.
    const std::size_t question = url.find('?');
    if (question == std::string_view::npos) {
      Require(canonical->find('?') == std::string::npos);
    } else {
      Require(canonical->substr(canonical->find('?')) == talverin::LowerAscii(url.substr(question)));
    }
  }
  // A URL whose path holds ".." or an escape never passes as an excluded
  // prefix unless its canonical form lies below that prefix.
  talverin::ListenerExclusionSettings listener;
  listener.enabled = true;
  listener.rpcOverHttpAllowed = true;
  const talverin::ExclusionDecision decision = talverin::DecideUrlExclusion(url, "{L}", listener);
  if (decision.rule == talverin::ExclusionRule::RpcOverHttp) {
    Require(canonical.has_value() && canonical->compare(0, 5, "/rpc/") == 0);
  }
  return 0;
}
