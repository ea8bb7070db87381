#pragma once
// The web site that the emulated ISA/TMG server publishes: a few mail pages,
// the paths of mobile sync, RPC over HTTP and Autodiscover, a public page
// and a large download. It records every request it receives, so that tests
// can tell what reached the site and as whom.
//
// Every body the site sends is made of lines of at most kMarkerSpacing bytes
// that each begin with kSiteMarker, so any run of site bytes as long as a
// line and a marker in a client's transcript gives itself away.
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talverin::host {

inline constexpr std::string_view kSiteMarker = "PUBSITE";
inline constexpr size_t kMarkerSpacing = 64;

// The path the server routes on: the path part of the URL (up to "?"),
// percent-decoded once, backslashes read as slashes, "." and ".." segments
// resolved (never above the root), runs of slashes collapsed, lower-cased.
// A trailing slash is kept.
std::string CanonicalPath(std::string_view url);

struct SiteRequest {
  std::string client;         // the client's name at the proxy
  std::string method;
  std::string canonicalPath;
  std::string url;            // as the proxy forwarded it
  std::string sessionKey;     // the value of the listener's cookie the browser sent
  std::string user;           // the user the proxy authenticated; empty for anonymous
  std::string body;
};

struct SiteResponse {
  int status = 200;
  std::string reason = "OK";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

class PublishedSite {
 public:
  explicit PublishedSite(size_t downloadBytes = 3 * 1024 * 1024);

  // Paths that need no authentication at the proxy.
  static bool IsPublic(std::string_view canonicalPath);

  SiteResponse Serve(const SiteRequest& request);
  // From now on the page of this canonical path answers with this status
  // (a body with the site's marker still comes with it).
  void AnswerWith(std::string canonicalPath, int status, std::string reason);
  const std::vector<SiteRequest>& Received() const { return received_; }
  size_t DownloadBytes() const { return downloadBytes_; }

 private:
  size_t downloadBytes_;
  std::vector<SiteRequest> received_;
  std::map<std::string, std::pair<int, std::string>> overrides_;
};

// Whether any bytes of a site page are in the text (a client's transcript).
bool CarriesSiteContent(std::string_view transcript);
// Whether the page served for this canonical path is in the text: its opening
// marker "PUBSITE page=<path>".
bool CarriesSitePage(std::string_view transcript, std::string_view canonicalPath);

}  // namespace talverin::host
