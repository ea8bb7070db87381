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

#include "base/win.h"

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
  std::string body;           // the content (a chunked body is decoded)
  // The request's header fields as the filter left them, and the client's
  // address, for a server behind the proxy.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string remoteAddress;
};

struct SiteResponse {
  int status = 200;
  std::string reason = "OK";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Sizes of the pieces in which the body arrived from a server behind the
  // proxy, in order (they add up to the body's size); the proxy presents
  // each piece in a send notification of its own. Empty: the proxy cuts the
  // response into pieces of its configured size.
  std::vector<size_t> bodyChunks;
};

// Whatever the proxy publishes: the built-in site, or a server it forwards
// to. Serve is called without the proxy's lock, from several threads at once.
class SiteServer {
 public:
  virtual ~SiteServer() = default;
  virtual SiteResponse Serve(const SiteRequest& request) = 0;
};

class PublishedSite : public SiteServer {
 public:
  explicit PublishedSite(size_t downloadBytes = 3 * 1024 * 1024);

  // Paths that need no authentication at the proxy.
  static bool IsPublic(std::string_view canonicalPath);

  SiteResponse Serve(const SiteRequest& request) override;
  // From now on the page of this canonical path answers with this status
  // (a body with the site's marker still comes with it).
  void AnswerWith(std::string canonicalPath, int status, std::string reason);
  // The requests that reached the site, for checks while no request runs.
  const std::vector<SiteRequest>& Received() const { return received_; }
  // A long-running site keeps no record of its requests.
  void RecordRequests(bool record);
  size_t DownloadBytes() const { return downloadBytes_; }

 private:
  size_t downloadBytes_;
  // The download is made once: it is the same for every request.
  std::string download_;
  mutable CriticalSection lock_;
  bool record_ = true;
  std::vector<SiteRequest> received_;
  std::map<std::string, std::pair<int, std::string>> overrides_;
};

// Whether any bytes of a site page are in the text (a client's transcript).
bool CarriesSiteContent(std::string_view transcript);
// Whether the page served for this canonical path is in the text: its opening
// marker "PUBSITE page=<path>".
bool CarriesSitePage(std::string_view transcript, std::string_view canonicalPath);

}  // namespace talverin::host
