#pragma once
// A scripted browser for the emulated proxy: it writes requests, keeps the
// cookies the proxy and the filter set, follows redirects when asked and
// posts forms. Each browser is one client of the proxy with connections of
// its own, kept alive between requests or opened anew for each.
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/header_block.h"
#include "host/isa_server.h"

namespace talverin::host {

struct BrowserOptions {
  ClientSettings client;
  std::string host = "mail.contoso.test";
  bool keepAlive = true;
};

struct Reply {
  std::string url;      // the request URL, as sent
  std::string referer;  // the Referer the request carried
  RequestEnd end = RequestEnd::Answered;
  bool connectionClosed = false;
  std::string raw;  // every byte that reached the browser for this request
  int status = 0;   // 0 when nothing readable came back
  HeaderBlock headers;
  std::string body;
  std::string user;  // whom the proxy authenticated for the request

  std::string Header(std::string_view name) const { return headers.Get(name).value_or(""); }
  std::vector<std::string> SetCookies() const;
};

using FormList = std::vector<std::pair<std::string, std::string>>;
using HeaderList = std::vector<std::pair<std::string, std::string>>;

class Browser {
 public:
  Browser(IsaServer& server, BrowserOptions options);

  Reply Get(const std::string& url, const HeaderList& extra = {});
  // Fields are percent-encoded in the order given (a name may repeat).
  Reply PostForm(const std::string& url, const FormList& fields, const HeaderList& extra = {});
  Reply Send(const std::string& method, const std::string& url, const std::string& body = {},
             const HeaderList& extra = {});
  // Bytes exactly as given; the reply's cookies are still taken.
  Reply SendRaw(const std::string& url, const std::string& bytes);
  // Bytes in the pieces given, each arriving at the proxy on its own.
  Reply SendPieces(const std::string& url, const std::vector<std::string>& pieces);
  // The redirect's Location with GET, keeping the referrer of the request
  // that was redirected; nullopt when the reply is no redirect.
  std::optional<Reply> Follow(const Reply& reply);
  // Get, then follow redirects (at most `hops`).
  Reply Visit(const std::string& url, int hops = 8);
  Reply FollowAll(Reply reply, int hops = 8);

  // The request text the browser would send (for tests that cut it up).
  std::string Compose(const std::string& method, const std::string& url, const std::string& body,
                      const HeaderList& extra) const;

  std::optional<std::string> Cookie(const std::string& name) const;
  void SetCookie(const std::string& name, const std::string& value) { cookies_[name] = value; }
  void ClearCookies() { cookies_.clear(); }
  // The absolute URL of the page on display (the last request that was not
  // redirected), sent as Referer with the next request.
  const std::string& Page() const { return page_; }
  void SetPage(std::string page) { page_ = std::move(page); }

  std::string Transcript() const { return server_.Transcript(options_.client.name); }
  const std::vector<Reply>& History() const { return history_; }
  IsaConnection* CurrentConnection() { return connection_.get(); }
  const std::string& Name() const { return options_.client.name; }

 private:
  Reply Exchange(const std::string& url, const std::vector<std::string>& pieces);
  std::string ComposeWithReferer(const std::string& method, const std::string& url, const std::string& body,
                                 const HeaderList& extra, const std::string& referer) const;
  void TakeCookies(const Reply& reply);
  std::string Origin() const;

  IsaServer& server_;
  BrowserOptions options_;
  std::unique_ptr<IsaConnection> connection_;
  std::map<std::string, std::string> cookies_;
  std::string page_;
  std::vector<Reply> history_;
};

// Splits what a client received into status, header block and body.
Reply ReadReply(const std::string& raw);
// "https://host/path?q" gives "/path?q"; a path is kept.
std::string PathOfLocation(const std::string& location);

}  // namespace talverin::host
