#pragma once
// Which requests pass without the second factor. Pure logic: the decision and
// its log line; telling the host is url_exclusion_check.h.
#include <string>
#include <string_view>
#include <vector>

namespace talverin {

// What one listener's configuration answers for the exclusion rules. An
// unknown listener answers with the defaults (not protected).
struct ListenerExclusionSettings {
  bool enabled = false;
  bool rpcOverHttpAllowed = false;
  bool activeSyncAllowed = false;
  bool autoDiscoverAllowed = false;
  std::vector<std::string> customExclusionList;
};

enum class ExclusionRule {
  None,
  ListenerNotProtected,
  IntraArray,
  Favicon,
  RpcOverHttp,
  ActiveSync,
  AutoDiscover,
  CustomList,
};

struct ExclusionDecision {
  ExclusionRule rule = ExclusionRule::None;
  // The trace line of the decision and its level; empty when none is due.
  unsigned logLevel = 1;
  std::string logText;

  bool Excluded() const { return rule != ExclusionRule::None; }
};

// Applies the rules in their order to the URL as sent in the request line.
// The prefix rules are judged on the URL's canonical form (url_canonical.h);
// a URL whose path cannot be canonicalized is never excluded by them.
ExclusionDecision DecideUrlExclusion(std::string_view url, std::string_view listenerGuid,
                                     const ListenerExclusionSettings& listener);

// True when the canonical URL begins with one of the entries, compared as
// stored (an entry with an upper-case letter never matches). Empty entries
// match nothing.
bool IsInExclusionList(std::string_view canonicalUrl, const std::vector<std::string>& entries);

// The administrator's list as stored in the vendor value: one entry per line;
// runs of CR and LF separate entries, blanks and case are kept.
std::vector<std::string> SplitExclusionList(std::string_view text);

}  // namespace talverin
