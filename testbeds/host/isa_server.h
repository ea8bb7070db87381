#pragma once
// The web proxy of ISA/TMG as a library: it takes a client's request bytes,
// drives the loaded filter through every notification of that request in the
// proxy's order, decides as forms-based publishing does (logon form, cookie,
// 401 fallback, password change, cookie rotation, logoff), forwards what it
// lets through to the published site (the built-in one or any SiteServer),
// and sends the response back through the filter in chunks. Nothing here
// opens a socket.
//
// Order of one request:
//   raw request data, chunk by chunk (as the client's bytes arrived, or cut
//     into pieces of the configured size): while the filter answers
//     SF_STATUS_REQ_READ_NEXT the next notification presents everything read
//     since, the new chunk included; the bytes the filter leaves in the
//     record are the request the proxy goes on with;
//   pre-processing headers (over that request's header block);
//   authentication (user and password of a Basic header, else empty);
//   authentication complete;
//   the proxy's decision, and access denied before a 401;
//   send response (over the response header block);
//   raw send data, chunk by chunk (the header block, then the body as it
//     arrived from a server behind the proxy, or both cut into pieces of
//     the configured size): what the filter leaves in the record is sent;
//   end of request.
// A filter answer that ends the request skips the rest up to the end of the
// request; SF_STATUS_REQ_FINISHED and SF_STATUS_REQ_ERROR also close the
// connection. All raw request data is presented before the headers
// notification (the proxy reads a request whole before acting on it).
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/win.h"
#include "host/connection.h"
#include "host/fba.h"
#include "host/filter_module.h"
#include "host/isa_config.h"
#include "host/published_site.h"

namespace talverin::host {

struct ClientSettings {
  std::string name = "client";
  std::string remoteAddress = "192.0.2.10";
  std::string listener;  // persistent name; empty: the first listener
  bool secure = true;
  // The proxy's own address ("127.0.0.1:8080"), for redirects of requests
  // that name no Host.
  std::string localAddress;
  // Further server variables for every request of the client's connections.
  std::map<std::string, std::string> serverVariables;
};

enum class RequestEnd {
  Answered,          // the proxy's response went through the send notifications
  FilterEnded,       // the filter ended the request before the proxy answered
  Stalled,           // the filter waited for bytes the client never sent; dropped
  ConnectionClosed,  // the connection was already closed
};
const char* RequestEndText(RequestEnd end);

// One connection of a client to the proxy.
class IsaConnection {
 public:
  Connection& Filter() { return *connection_; }
  const Connection& Filter() const { return *connection_; }
  bool IsClosed() const { return connection_->IsClosed(); }
  const ClientSettings& Client() const { return client_; }
  const ListenerConfig& Listener() const { return *listener_; }

 private:
  friend class IsaServer;
  IsaConnection(FilterModule& module, ClientSettings client, const ListenerConfig* listener, ConnectionOptions options);
  ClientSettings client_;
  const ListenerConfig* listener_;
  std::unique_ptr<Connection> connection_;
};

struct Exchange {
  RequestEnd end = RequestEnd::Answered;
  std::string sent;      // what reached the client for this request
  int proxyStatus = 0;   // status of the proxy's own answer; 0 when it made none
  std::string user;      // the user the proxy authenticated for the request
  bool connectionClosed = false;
};

// Different connections may be driven on different threads at once: the
// filter's notifications and the site run unlocked (the site locks what it
// keeps itself), the proxy's decisions and the transcripts under one lock.
// The accessors that hand out references (sessions, site, listeners, users)
// are for a test's set-up and checks, while no request runs.
class IsaServer {
 public:
  // The module must have been started. Needs at least one listener.
  IsaServer(FilterModule& module, std::vector<ListenerConfig> listeners, std::vector<UserAccount> users,
            SiteServer& site, IsaOptions options = {});

  std::unique_ptr<IsaConnection> Connect(const ClientSettings& client);
  // One whole request on the connection, cut into chunks of the configured
  // size.
  Exchange Handle(IsaConnection& connection, std::string_view request);
  // One whole request in the chunks in which it arrived (a chunk larger than
  // the configured size is still cut).
  Exchange Handle(IsaConnection& connection, const std::vector<std::string_view>& chunks);

  // Every byte sent to the client of that name, over all its connections.
  std::string Transcript(const std::string& client) const;

  ListenerConfig* FindListener(const std::string& persistentName);
  ListenerConfig& FirstListener() { return listeners_.front(); }
  UserAccount* FindUser(const std::string& name);
  const FbaSessions& Sessions() const { return sessions_; }
  SiteServer& Site() { return site_; }
  IsaOptions& Options() { return options_; }

 private:
  struct Answer {
    int status = 200;
    std::string reason = "OK";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    std::vector<size_t> bodyChunks;
    std::string user;
    // A request for the site, served after the decision has left the lock;
    // `headers` then holds what the proxy adds to the site's headers.
    std::optional<SiteRequest> forward;
  };
  struct Request {
    HeaderBlock headers;
    std::string body;
    std::string origin;  // "https://host"
  };

  void RunRequest(IsaConnection& connection, const std::vector<std::string_view>& chunks, Exchange& exchange);
  void Serve(Answer& answer);
  void SetRequestVariables(Connection& connection, const HeaderBlock& headers) const;
  Answer Decide(IsaConnection& connection, const Request& request, const AuthenticationData& credentials);
  Answer OwnPage(IsaConnection& connection, const Request& request, const std::string& key);
  Answer Published(IsaConnection& connection, const Request& request, const std::string& user, const std::string& key);
  Answer RedirectToLogon(const ListenerConfig& listener, const Request& request, std::string_view curl, int reason);
  Answer Challenge(const ListenerConfig& listener);
  std::string SetCookieLine(const ListenerConfig& listener, const Request& request, const std::string& key) const;
  std::string ClearCookieLine(const ListenerConfig& listener, const Request& request) const;

  FilterModule& module_;
  std::vector<ListenerConfig> listeners_;
  std::vector<UserAccount> users_;
  SiteServer& site_;
  IsaOptions options_;
  mutable CriticalSection lock_;
  FbaSessions sessions_;
  std::map<std::string, std::string> transcripts_;
};

// The user and password of a "Basic" Authorization value; empty otherwise.
AuthenticationData BasicCredentials(std::string_view authorization);

}  // namespace talverin::host
