#include "host/published_site.h"

#include <cstdio>

#include "host/isa_config.h"

namespace talverin::host {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string DecodeOnce(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Lines of at most kMarkerSpacing bytes, each starting with the marker.
std::string PageBody(const std::string& path, const std::string& title, int lines) {
  std::string body = std::string(kSiteMarker) + " page=" + path + "\n";
  body += std::string(kSiteMarker) + " <title>" + title.substr(0, 40) + "</title>\n";
  for (int i = 1; i <= lines; ++i) {
    char line[kMarkerSpacing];
    std::snprintf(line, sizeof line, "%s <p>%.24s line %02d</p>\n", std::string(kSiteMarker).c_str(), title.c_str(), i);
    body += line;
  }
  return body;
}

std::string DownloadBody(size_t size) {
  std::string body;
  body.reserve(size + kMarkerSpacing);
  body = std::string(kSiteMarker) + " page=/download/big.bin\n";
  unsigned long block = 0;
  while (body.size() < size) {
    char line[kMarkerSpacing + 1];
    // 63 bytes and a line feed.
    std::snprintf(line, sizeof line, "%s block %08lu %-38s\n", std::string(kSiteMarker).c_str(), ++block,
                  "................................");
    body += line;
  }
  body.resize(size);
  return body;
}

}  // namespace

std::string CanonicalPath(std::string_view url) {
  std::string path = DecodeOnce(url.substr(0, url.find('?')));
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  std::vector<std::string> segments;
  size_t at = 0;
  bool trailingSlash = false;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    std::string segment = path.substr(at, end - at);
    at = end + 1;
    // "/a/." and "/a/.." name folders, as "/a/" does.
    trailingSlash = segment.empty() || segment == "." || segment == "..";
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
      continue;
    }
    segments.push_back(segment);
  }
  std::string canonical;
  for (const std::string& segment : segments) canonical += "/" + segment;
  if (canonical.empty() || trailingSlash) canonical += "/";
  return ToLowerAscii(canonical);
}

PublishedSite::PublishedSite(size_t downloadBytes)
    : downloadBytes_(downloadBytes), download_(DownloadBody(downloadBytes)) {}

bool PublishedSite::IsPublic(std::string_view canonicalPath) { return canonicalPath.substr(0, 8) == "/public/"; }

SiteResponse PublishedSite::Serve(const SiteRequest& request) {
  {
    CsLock lock(lock_);
    if (record_) received_.push_back(request);
  }
  const std::string& path = request.canonicalPath;
  SiteResponse response;
  response.headers = {{"Content-Type", "text/html; charset=utf-8"}, {"Cache-Control", "no-cache"}};
  if (path == "/owa/" || path == "/owa") {
    response.body = PageBody("/owa/", "Mail for " + request.user, 4);
  } else if (path == "/owa/inbox.html") {
    response.body = PageBody(path, "Inbox of " + request.user, 12);
  } else if (path == "/owa/settings.html") {
    response.body = PageBody(path, "Settings of " + request.user, 6);
  } else if (path == "/microsoft-server-activesync") {
    response.headers = {{"Content-Type", "application/vnd.ms-sync.wbxml"}, {"MS-Server-ActiveSync", "14.3"}};
    response.body = PageBody(path, "sync " + request.method, 1);
  } else if (path == "/rpc/rpcproxy.dll") {
    response.headers = {{"Content-Type", "application/rpc"}};
    response.body = PageBody(path, "rpc " + request.method, 1);
  } else if (path == "/autodiscover/autodiscover.xml") {
    response.headers = {{"Content-Type", "text/xml"}};
    response.body = PageBody(path, "autodiscover", 2);
  } else if (path == "/public/" || path == "/public/info.html") {
    response.body = PageBody(path, "Public information", 3);
  } else if (path == "/download/big.bin") {
    response.headers = {{"Content-Type", "application/octet-stream"}};
    response.body = download_;
  } else {
    response.status = 404;
    response.reason = "Not Found";
    response.body = PageBody(path, "Not found", 1);
  }
  CsLock lock(lock_);
  if (auto it = overrides_.find(path); it != overrides_.end()) {
    response.status = it->second.first;
    response.reason = it->second.second;
  }
  return response;
}

void PublishedSite::AnswerWith(std::string canonicalPath, int status, std::string reason) {
  CsLock lock(lock_);
  overrides_[std::move(canonicalPath)] = {status, std::move(reason)};
}

void PublishedSite::RecordRequests(bool record) {
  CsLock lock(lock_);
  record_ = record;
  if (!record) received_.clear();
}

bool CarriesSiteContent(std::string_view transcript) { return transcript.find(kSiteMarker) != std::string_view::npos; }

bool CarriesSitePage(std::string_view transcript, std::string_view canonicalPath) {
  std::string opening = std::string(kSiteMarker) + " page=" + std::string(canonicalPath) + "\n";
  return transcript.find(opening) != std::string_view::npos;
}

}  // namespace talverin::host
