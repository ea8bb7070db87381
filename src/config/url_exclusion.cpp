#include "config/url_exclusion.h"

#include <cstdio>
#include <optional>

#include "config/url_canonical.h"

namespace talverin {
namespace {

bool BeginsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::string Format(const char* pattern, std::string_view a, std::string_view b = std::string_view()) {
  std::string first(a), second(b);
  int length = std::snprintf(nullptr, 0, pattern, first.c_str(), second.c_str());
  if (length < 0) return std::string();
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(&text[0], text.size(), pattern, first.c_str(), second.c_str());
  text.resize(static_cast<std::size_t>(length));
  return text;
}

ExclusionDecision Excluded(ExclusionRule rule, const char* pattern, std::string_view a,
                           std::string_view b = std::string_view()) {
  ExclusionDecision decision;
  decision.rule = rule;
  decision.logLevel = 1;
  decision.logText = Format(pattern, a, b);
  return decision;
}

}  // namespace

bool IsInExclusionList(std::string_view canonicalUrl, const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    if (!entry.empty() && BeginsWith(canonicalUrl, entry)) return true;
  }
  return false;
}

ExclusionDecision DecideUrlExclusion(std::string_view url, std::string_view listenerGuid,
                                     const ListenerExclusionSettings& listener) {
  if (!listener.enabled) {
    return Excluded(ExclusionRule::ListenerNotProtected,
                    "Url \"%s\" is skipped because the listener \"%s\" is not protected", url, listenerGuid);
  }

  const std::string lower = LowerAscii(url);
  // An exclusion lets a request past the second factor: only the plain path
  // form is granted one. A client that names the URL in absolute form is
  // held to the second factor, which costs the RPC, ActiveSync and
  // Autodiscover clients nothing: they send paths.
  const std::optional<std::string> canonical =
      !url.empty() && url[0] == '/' ? CanonicalizeUrl(url) : std::optional<std::string>();

  if (canonical && BeginsWith(*canonical, "/ms_proxy_intra_array_auth_query")) {
    return Excluded(ExclusionRule::IntraArray, "Url \"%s\" is skipped because it is intra array communication request",
                    lower);
  }
  // The icon is matched on the URL as sent: an exact text has no other
  // spelling to worry about.
  if (lower == "/favicon.ico") {
    return Excluded(ExclusionRule::Favicon, "Url \"%s\" is skipped because it is 'favicon.ico' request", lower);
  }
  if (!canonical) {
    ExclusionDecision decision;
    decision.logLevel = 1;
    decision.logText = Format("Url \"%s\" is no plain path or holds an escape that cannot be decoded; no exclusion applies", lower);
    return decision;
  }
  if (listener.rpcOverHttpAllowed && BeginsWith(*canonical, "/rpc/")) {
    return Excluded(ExclusionRule::RpcOverHttp, "Url \"%s\" is skipped because Rpc over Http is allowed.", lower);
  }
  if (listener.activeSyncAllowed && BeginsWith(*canonical, "/microsoft-server-activesync")) {
    return Excluded(ExclusionRule::ActiveSync, "Url \"%s\" is skipped because Microsoft Server ActiveSync is allowed.",
                    lower);
  }
  if (listener.autoDiscoverAllowed && BeginsWith(*canonical, "/autodiscover")) {
    return Excluded(ExclusionRule::AutoDiscover, "Url \"%s\" is skipped because AutoDiscover is allowed.", lower);
  }
  if (IsInExclusionList(*canonical, listener.customExclusionList)) {
    return Excluded(ExclusionRule::CustomList, "Url \"%s\" is skipped because it is in the custom exclusion URL list",
                    lower);
  }
  return ExclusionDecision{};
}

std::vector<std::string> SplitExclusionList(std::string_view text) {
  std::vector<std::string> entries;
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t start = text.find_first_not_of("\r\n", position);
    if (start == std::string_view::npos) break;
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    entries.emplace_back(text.substr(start, end - start));
    position = end;
  }
  return entries;
}

}  // namespace talverin
