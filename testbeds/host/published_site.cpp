#include "host/published_site.h"

#include <algorithm>
#include <cstdio>

#include "host/fba.h"

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

// A page of the site as HTML a browser shows properly while every line still
// begins with the marker and stays within kMarkerSpacing bytes: from the
// third line on the marker sits inside an HTML comment the previous line
// opened, and the first two lines are text the style sheet makes invisible.
// Pieces are whole tags or text, so a line never breaks a tag apart.
class MarkedPage {
 public:
  explicit MarkedPage(const std::string& path) {
    body_ = std::string(kSiteMarker) + " page=" + path + "\n" + std::string(kSiteMarker) + "<!--\n";
  }
  // Text is HTML-escaped and cut into as many lines as it needs.
  MarkedPage& Text(std::string_view text) {
    const std::string escaped = HtmlEscape(text);
    for (size_t at = 0; at < escaped.size();) {
      size_t take = std::min(kRoom, escaped.size() - at);
      if (at + take < escaped.size()) {
        // An entity is not cut in half.
        size_t amp = escaped.find_last_of('&', at + take - 1);
        if (amp != std::string::npos && amp > at && escaped.find(';', amp) >= at + take) take = amp - at;
      }
      Line(std::string_view(escaped).substr(at, take));
      at += take;
    }
    return *this;
  }
  // A title is read as plain text, comments and all, so it has one line.
  MarkedPage& Title(std::string_view text) {
    constexpr std::string_view kOpenTag = "<title>", kCloseTag = "</title>";
    std::string escaped = HtmlEscape(text);
    const size_t room = kRoom - kOpenTag.size() - kCloseTag.size();
    if (escaped.size() > room) {
      size_t amp = escaped.find_last_of('&', room - 1);
      escaped.resize(amp != std::string::npos && escaped.find(';', amp) >= room ? amp : room);
    }
    Line(std::string(kOpenTag) + escaped + std::string(kCloseTag));
    return *this;
  }
  MarkedPage& Tag(std::string_view tag) {
    Line(tag);
    return *this;
  }
  std::string Finish() {
    body_ += std::string(kSiteMarker) + "-->\n";
    return std::move(body_);
  }

 private:
  static constexpr std::string_view kOpen = "-->";
  static constexpr std::string_view kClose = "<!--\n";
  static constexpr size_t kRoom = kMarkerSpacing - 7 - 3 - 5;

  void Line(std::string_view piece) {
    body_ += std::string(kSiteMarker);
    body_ += kOpen;
    body_ += piece.substr(0, kRoom);
    body_ += kClose;
  }

  std::string body_;
};

struct Message {
  const char* from;
  const char* subject;
  const char* received;
};

constexpr Message kInbox[] = {
    {"Facilities", "Parking garage closed on Friday", "Mon 09:12"},
    {"Payroll", "Your December statement", "Mon 08:40"},
    {"Dana (IT)", "New phones for the field team", "Sun 17:03"},
    {"Travel desk", "Booking confirmed: Lisbon", "Fri 15:22"},
    {"Newsletter", "This week at the company", "Fri 07:00"},
};

std::string SitePage(const std::string& path, const std::string& user, const std::string& heading) {
  MarkedPage page(path);
  page.Title(heading).Tag("<link rel=\"stylesheet\" href=\"/owa/site.css\">").Tag("<div class=\"app\">");
  page.Tag("<div class=\"top\">Web Mail <span>").Text(user.empty() ? "(anonymous)" : user).Tag("</span></div>");
  page.Tag("<div class=\"nav\"><a href=\"/owa/\">Home</a>").Tag("<a href=\"/owa/inbox.html\">Inbox</a>");
  page.Tag("<a href=\"/owa/settings.html\">Settings</a>").Tag("<a href=\"/download/big.bin\">Download</a>");
  page.Tag("<a href=\"/CookieAuth.dll?Logoff\">Log off</a>").Tag("</div>");
  page.Tag("<div class=\"main\"><h1>").Text(heading).Tag("</h1>");
  if (path == "/owa/inbox.html") {
    page.Tag("<table><tr><th>From</th><th>Subject</th>").Tag("<th>Received</th></tr>");
    for (const Message& message : kInbox) {
      page.Tag("<tr><td>").Text(message.from).Tag("</td><td>").Text(message.subject);
      page.Tag("</td><td>").Text(message.received).Tag("</td></tr>");
    }
    page.Tag("</table>");
  } else if (path == "/owa/settings.html") {
    page.Tag("<p>").Text("Language: English. Time zone: UTC.").Tag("</p>");
    page.Tag("<p>").Text("Out of office replies are off.").Tag("</p>");
  } else if (path == "/owa/" || path == "/owa") {
    page.Tag("<p>").Text("You have 5 messages in your inbox.").Tag("</p>");
    page.Tag("<p><a href=\"/owa/inbox.html\">").Text("Open the inbox").Tag("</a></p>");
  } else {
    page.Tag("<p>").Text("Page " + path).Tag("</p>");
  }
  page.Tag("</div></div></body></html>");
  return page.Finish();
}

// Every rule on one line of its own after an empty rule for an element that
// does not exist, so that each line begins with the marker.
std::string SiteStyleSheet() {
  static constexpr const char* kRules[] = {
      "page=/owa/site.css",
      "body{margin:0;font-size:0;background:#f3f3f3}",
      ".app{font:14px Segoe UI,Tahoma,Arial,sans-serif}",
      ".top{background:#0b4f8a;color:#fff;padding:12px 20px}",
      ".top{font-size:18px}.top span{float:right}",
      ".nav{background:#dfe7ef;padding:8px 20px}",
      ".nav a{margin-right:18px;color:#0b4f8a}",
      ".main{padding:16px 20px;background:#fff;margin:16px}",
      "table{border-collapse:collapse;width:100%}",
      "td,th{text-align:left;padding:6px;border-bottom:1px}",
      "td,th{border-bottom-style:solid;border-color:#ddd}",
  };
  std::string sheet;
  bool first = true;
  for (const char* rule : kRules) {
    sheet += std::string(kSiteMarker) + (first ? " " : "{}") + rule + "\n";
    first = false;
  }
  return sheet;
}

// Lines of at most kMarkerSpacing bytes, each starting with the marker: the
// answers to programs rather than browsers.
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
    response.body = SitePage("/owa/", request.user, "Mail for " + request.user);
  } else if (path == "/owa/inbox.html") {
    response.body = SitePage(path, request.user, "Inbox of " + request.user);
  } else if (path == "/owa/settings.html") {
    response.body = SitePage(path, request.user, "Settings of " + request.user);
  } else if (path == "/owa/site.css") {
    response.headers = {{"Content-Type", "text/css"}, {"Cache-Control", "no-cache"}};
    response.body = SiteStyleSheet();
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
