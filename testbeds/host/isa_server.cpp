#include "host/isa_server.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "host/http_framing.h"

namespace talverin::host {
namespace {

constexpr char kExpired[] = "expires=Thu, 01-Jan-1970 00:00:00 GMT";

std::string Base64Decode(std::string_view text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned int bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    size_t value = alphabet.find(c);
    if (value == std::string::npos) continue;
    bits = (bits << 6) | static_cast<unsigned int>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view head) {
  return text.size() >= head.size() && EqualsIgnoringCase(text.substr(0, head.size()), head);
}

// "GetLogon?curl=...&reason=0": the command word and the text after it.
std::pair<std::string, std::string> SplitCommand(std::string_view query) {
  size_t end = query.find_first_of("?&");
  std::string command = ToLowerAscii(query.substr(0, end));
  std::string rest = end == std::string_view::npos ? std::string() : std::string(query.substr(end + 1));
  return {command, rest};
}

// HTTP/1.1 keeps the connection unless the client says "close"; HTTP/1.0
// keeps it only when the client asks for it.
bool ClientKeepsConnection(const HeaderBlock& headers) {
  const std::string connection = headers.Get("Connection").value_or("");
  if (HasToken(connection, "close")) return false;
  return headers.Version() != "HTTP/1.0" || HasToken(connection, "keep-alive");
}

// A proxy takes a request target in absolute form ("https://host/owa/") for
// the path and query it carries.
std::string OriginForm(const std::string& url) {
  const std::string head = ToLowerAscii(url.substr(0, 8));
  const size_t scheme = head.rfind("http://", 0) == 0 ? 7 : head.rfind("https://", 0) == 0 ? 8 : 0;
  if (scheme == 0) return url;
  const size_t path = url.find_first_of("/?", scheme);
  if (path == std::string::npos) return "/";
  return url[path] == '?' ? "/" + url.substr(path) : url.substr(path);
}

std::optional<std::string> CookieLineOf(const std::vector<std::pair<std::string, std::string>>& fields) {
  for (const auto& [name, value] : fields) {
    if (EqualsIgnoringCase(name, "Cookie")) return value;
  }
  return std::nullopt;
}

std::string QueryOf(const std::string& url) {
  size_t question = url.find('?');
  return question == std::string::npos ? std::string() : url.substr(question + 1);
}

}  // namespace

const char* RequestEndText(RequestEnd end) {
  switch (end) {
    case RequestEnd::Answered: return "answered";
    case RequestEnd::FilterEnded: return "ended by the filter";
    case RequestEnd::Stalled: return "stalled";
    case RequestEnd::ConnectionClosed: return "connection closed";
  }
  return "?";
}

AuthenticationData BasicCredentials(std::string_view authorization) {
  if (!StartsWithIgnoringCase(authorization, "Basic ")) return {};
  std::string decoded = Base64Decode(authorization.substr(6));
  size_t colon = decoded.find(':');
  if (colon == std::string::npos) return {};
  return {decoded.substr(0, colon), decoded.substr(colon + 1)};
}

IsaConnection::IsaConnection(FilterModule& module, ClientSettings client, const ListenerConfig* listener,
                             ConnectionOptions options)
    : client_(std::move(client)), listener_(listener), connection_(std::make_unique<Connection>(module, options)) {}

IsaServer::IsaServer(FilterModule& module, std::vector<ListenerConfig> listeners, std::vector<UserAccount> users,
                     SiteServer& site, IsaOptions options)
    : module_(module), listeners_(std::move(listeners)), users_(std::move(users)), site_(site), options_(options) {
  if (listeners_.empty()) throw IsaConfigError("the proxy needs at least one web listener");
}

std::unique_ptr<IsaConnection> IsaServer::Connect(const ClientSettings& client) {
  const ListenerConfig* listener = client.listener.empty() ? &listeners_.front() : FindListener(client.listener);
  if (!listener) throw IsaConfigError("no web listener " + client.listener);
  ConnectionOptions options;
  options.securePort = client.secure;
  options.endOfRequestAfterFinished = options_.endOfRequestAfterFinished;
  std::unique_ptr<IsaConnection> connection(new IsaConnection(module_, client, listener, options));
  Connection& filter = connection->Filter();
  filter.SetServerVariable("REMOTE_ADDR", client.remoteAddress);
  filter.SetServerVariable("LISTENER_GUID", listener->persistentName);
  filter.SetServerVariable("SERVER_PORT_SECURE", client.secure ? "1" : "0");
  for (const auto& [name, value] : client.serverVariables) filter.SetServerVariable(name, value);
  if (options_.keepTranscripts) {
    CsLock lock(lock_);
    transcripts_[client.name];
  }
  return connection;
}

Exchange IsaServer::Handle(IsaConnection& connection, std::string_view request) {
  std::vector<std::string_view> chunks;
  size_t chunk = std::max<size_t>(1, options_.requestChunkBytes);
  for (size_t at = 0; at < request.size(); at += chunk) chunks.push_back(request.substr(at, chunk));
  return Handle(connection, chunks);
}

Exchange IsaServer::Handle(IsaConnection& connection, const std::vector<std::string_view>& chunks) {
  Exchange exchange;
  Connection& filter = connection.Filter();
  if (filter.IsClosed()) {
    exchange.end = RequestEnd::ConnectionClosed;
    exchange.connectionClosed = true;
    return exchange;
  }
  size_t firstWrite = filter.ClientWrites().size();
  RunRequest(connection, chunks, exchange);
  if (exchange.end == RequestEnd::Stalled) {
    // The client has nothing more to send: the proxy gives up on the
    // connection without a word.
    filter.Close();
  } else {
    // The client's own word counts, whatever the filter did to the request.
    std::string head;
    for (std::string_view chunk : chunks) {
      head.append(chunk);
      if (head.find("\r\n\r\n") != std::string::npos) break;
    }
    bool clientCloses = !ClientKeepsConnection(HeaderBlock::Parse(head));
    filter.EndOfRequest();
    if (clientCloses) filter.Close();
  }
  const auto& writes = filter.ClientWrites();
  for (size_t i = firstWrite; i < writes.size(); ++i) exchange.sent += writes[i].bytes;
  if (options_.keepTranscripts) {
    CsLock lock(lock_);
    transcripts_[connection.Client().name] += exchange.sent;
  }
  exchange.connectionClosed = filter.IsClosed();
  if (!options_.keepConnectionRecords) filter.ForgetRecords();
  return exchange;
}

void IsaServer::RunRequest(IsaConnection& connection, const std::vector<std::string_view>& chunks,
                           Exchange& exchange) {
  Connection& filter = connection.Filter();
  auto ended = [&] {
    if (!filter.RequestFinished() && !filter.IsClosed()) return false;
    exchange.end = RequestEnd::FilterEnded;
    return true;
  };
  size_t firstAdded = filter.AddedResponseHeaders().size();

  // Raw request data.
  std::string acted, pending;
  size_t chunk = std::max<size_t>(1, options_.requestChunkBytes);
  for (std::string_view bytes : chunks) {
    for (size_t at = 0; at < bytes.size(); at += chunk) {
      pending.append(bytes.substr(at, chunk));
      std::string left;
      NotificationResult r = filter.ReadRawData(pending, &left);
      if (ended()) return;
      if (r.delivered && r.status == SF_STATUS_REQ_READ_NEXT) {
        pending = std::move(left);
        continue;
      }
      acted += left;
      pending.clear();
    }
  }
  if (!pending.empty()) {
    exchange.end = RequestEnd::Stalled;
    return;
  }

  Request request;
  Answer answer;
  AuthenticationData credentials;
  size_t headerEnd = acted.find("\r\n\r\n");
  bool wellFormed = headerEnd != std::string::npos;
  if (wellFormed) {
    filter.SetRequestHeaders(std::string_view(acted).substr(0, headerEnd + 4));
    request.body = acted.substr(headerEnd + 4);
    SetRequestVariables(filter, filter.RequestHeaders());
    filter.PreprocHeaders();
    if (ended()) return;
    request.headers = filter.RequestHeaders();
    SetRequestVariables(filter, request.headers);
    credentials = BasicCredentials(request.headers.Get("Authorization").value_or(""));
    filter.Authentication(credentials);
    if (ended()) return;
    filter.AuthComplete();
    if (ended()) return;
    request.headers = filter.RequestHeaders();
    wellFormed = !request.headers.Method().empty() && !request.headers.Url().empty();
    if (wellFormed && EqualsIgnoringCase(request.headers.Get("Transfer-Encoding").value_or(""), "chunked")) {
      // The proxy acts on the body's content, not on its transfer coding.
      request.body = DecodeChunked(request.body, &wellFormed);
    }
  }
  if (wellFormed) {
    std::string host = request.headers.Get("Host").value_or("");
    if (host.empty()) host = connection.Client().localAddress;
    request.origin = std::string(connection.Client().secure ? "https://" : "http://") + host;
    {
      CsLock lock(lock_);
      answer = Decide(connection, request, credentials);
    }
    if (answer.forward) Serve(answer);
  } else {
    answer.status = 400;
    answer.reason = "Bad Request";
    answer.body = ProxyMessagePage("Bad Request", "The request could not be read.");
  }
  exchange.proxyStatus = answer.status;
  exchange.user = answer.user;

  if (answer.status == 401) {
    filter.AccessDenied(request.headers.Url(), "", SF_DENIED_LOGON);
    if (ended()) return;
  }

  std::string block = "HTTP/1.1 " + std::to_string(answer.status) + " " + answer.reason + "\r\n";
  for (const auto& [name, value] : answer.headers) block += name + ": " + value + "\r\n";
  block += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
  // An HTTP/1.0 client learns that its connection is kept.
  if (request.headers.Version() == "HTTP/1.0" && ClientKeepsConnection(request.headers)) {
    block += "Connection: Keep-Alive\r\n";
  }
  // Headers the filter asked for with AddResponseHeaders during this request.
  const auto& added = filter.AddedResponseHeaders();
  for (size_t i = firstAdded; i < added.size(); ++i) block += added[i];
  block += "\r\n";
  filter.SendResponseNotification(block);
  if (ended()) return;

  chunk = std::max<size_t>(1, options_.responseChunkBytes);
  auto send = [&](std::string_view piece) {
    for (size_t at = 0; at < piece.size(); at += chunk) {
      filter.SendRawResponseData(piece.substr(at, chunk));
      if (ended()) return false;
    }
    return true;
  };
  if (answer.bodyChunks.empty()) {
    if (!send(filter.ResponseHeaders().Serialize() + answer.body)) return;
  } else {
    // As it came from the server behind the proxy: the header block first,
    // then each piece of the body as it arrived.
    if (!send(filter.ResponseHeaders().Serialize())) return;
    size_t offset = 0;
    for (size_t size : answer.bodyChunks) {
      if (!send(std::string_view(answer.body).substr(offset, size))) return;
      offset += size;
    }
    if (offset < answer.body.size() && !send(std::string_view(answer.body).substr(offset))) return;
  }
  exchange.end = RequestEnd::Answered;
}

void IsaServer::Serve(Answer& answer) {
  SiteResponse response = site_.Serve(*answer.forward);
  answer.forward.reset();
  answer.status = response.status;
  answer.reason = std::move(response.reason);
  // The site's headers, then the cookies the proxy's decision added.
  response.headers.insert(response.headers.end(), answer.headers.begin(), answer.headers.end());
  answer.headers = std::move(response.headers);
  answer.body = std::move(response.body);
  answer.bodyChunks = std::move(response.bodyChunks);
}

void IsaServer::SetRequestVariables(Connection& connection, const HeaderBlock& headers) const {
  connection.SetRequestServerVariable("URL", OriginForm(headers.Url()));
  connection.SetRequestServerVariable("REQUEST_METHOD", headers.Method());
  // The server variable reports the first Cookie line alone, whatever the
  // proxy itself reads: the narrowest report a host may give.
  if (auto cookies = CookieLineOf(headers.Fields())) {
    connection.SetRequestServerVariable("HTTP_COOKIE", *cookies);
  } else {
    connection.RemoveServerVariable("HTTP_COOKIE");
  }
  // A header the request lacks is a variable the proxy does not have.
  for (const auto& [variable, header] : {std::pair<const char*, const char*>{"HTTP_HOST", "Host"},
                                         {"HTTP_AUTHORIZATION", "Authorization"}}) {
    if (auto value = headers.Get(header)) {
      connection.SetRequestServerVariable(variable, *value);
    } else {
      connection.RemoveServerVariable(variable);
    }
  }
}

// ---- Decisions --------------------------------------------------------------

IsaServer::Answer IsaServer::Decide(IsaConnection& connection, const Request& request,
                                    const AuthenticationData& credentials) {
  const ListenerConfig& listener = connection.Listener();
  std::string url = OriginForm(request.headers.Url());
  std::string path = CanonicalPath(url);
  std::string key;
  if (auto value = CookieValue(options_.CookieText(request.headers.Fields()).value_or(""), listener.cookieName,
                               options_.cookieReading)) {
    key = KeyOfCookieValue(*value);
  }
  if (path == "/cookieauth.dll") return OwnPage(connection, request, key);
  if (PublishedSite::IsPublic(path)) return Published(connection, request, {}, key);

  if (!key.empty()) {
    if (FbaSession* session = sessions_.Use(key, listener.persistentName)) {
      if (session->passwordChangePending) {
        Answer answer;
        answer.body = PasswordChangePage(session->user, url);
        answer.headers = {{"Content-Type", "text/html"}, {"Cache-Control", "no-cache"}};
        return answer;
      }
      std::string user = session->user;
      const std::string replacedBy = session->successor;
      Answer answer = Published(connection, request, user, key);
      if (!listener.logoffPath.empty() && path == listener.logoffPath) {
        sessions_.Revoke(key);
        answer.headers.emplace_back("Set-Cookie", ClearCookieLine(listener, request));
        return answer;
      }
      if (auto successor = sessions_.RotateIfDue(key, listener.rotateAfterRequests, listener.graceRequests)) {
        answer.headers.emplace_back("Set-Cookie", SetCookieLine(listener, request, *successor));
      } else if (listener.repeatSuccessor && !replacedBy.empty()) {
        answer.headers.emplace_back("Set-Cookie", SetCookieLine(listener, request, replacedBy));
      }
      return answer;
    }
  }

  if (listener.fallback != FallbackMode::None) {
    std::string authorization = request.headers.Get("Authorization").value_or("");
    if (authorization.empty()) return Challenge(listener);
    if (StartsWithIgnoringCase(authorization, "Basic ")) {
      const UserAccount* account = FindAccount(std::as_const(users_), credentials.user);
      if (!account || account->password.empty() || account->password != credentials.password) {
        return Challenge(listener);
      }
      return Published(connection, request, account->name, key);
    }
    // Integrated authentication is taken on trust: the proxy has no domain.
    return Published(connection, request, "(integrated)", key);
  }
  return RedirectToLogon(listener, request, url, 0);
}

IsaServer::Answer IsaServer::OwnPage(IsaConnection& connection, const Request& request, const std::string& key) {
  const ListenerConfig& listener = connection.Listener();
  auto [command, rest] = SplitCommand(QueryOf(OriginForm(request.headers.Url())));
  bool post = request.headers.Method() == "POST";
  Answer answer;
  answer.headers = {{"Content-Type", "text/html"}, {"Cache-Control", "no-cache"}};

  if (command == "getlogon") {
    FormFields query = FormFields::Parse(rest);
    int reason = std::atoi(query.First("reason").c_str());
    std::string curl = query.First("curl");
    answer.body = LogonFormPage(curl.empty() ? "/" : curl, reason, listener.formDir);
    return answer;
  }
  if (command == "logon" && post) {
    FormFields form = FormFields::Parse(request.body);
    std::string curl = form.First("curl");
    if (curl.empty() || curl[0] != '/') curl = "/" + curl;
    const UserAccount* account = FindAccount(std::as_const(users_), form.First("username"));
    std::string password = form.First("password");
    if (!account || account->password.empty() || account->password != password) {
      return RedirectToLogon(listener, request, curl, 2);
    }
    std::string newKey = sessions_.Issue(account->name, listener.persistentName, account->mustChangePassword);
    answer.headers.emplace_back("Set-Cookie", SetCookieLine(listener, request, newKey));
    if (account->mustChangePassword) {
      answer.body = PasswordChangePage(account->name, curl);
      return answer;
    }
    answer.status = 302;
    answer.reason = "Moved Temporarily";
    answer.headers.emplace_back("Location", request.origin + curl);
    answer.body = ProxyMessagePage("Object moved", "This object may be found here.");
    return answer;
  }
  if (command == "logon") {
    // Only the form posts here; a browser that comes by GET is shown the form.
    return RedirectToLogon(listener, request, "/", 0);
  }
  if (command == "changepwd" && post) {
    const FbaSession* session = sessions_.Find(key);
    FormFields form = FormFields::Parse(request.body);
    UserAccount* account = session ? FindUser(session->user) : nullptr;
    std::string curl = form.First("curl");
    if (curl.empty() || curl[0] != '/') curl = "/" + curl;
    if (!account || !session->passwordChangePending || form.First("oldpassword") != account->password ||
        form.First("newpassword").empty() || form.First("newpassword") != form.First("confirmpassword")) {
      answer.body = PasswordChangePage(session ? session->user : "", curl);
      return answer;
    }
    account->password = form.First("newpassword");
    account->mustChangePassword = false;
    sessions_.Revoke(key);
    std::string newKey = sessions_.Issue(account->name, listener.persistentName, false);
    answer.status = 302;
    answer.reason = "Moved Temporarily";
    answer.headers.emplace_back("Set-Cookie", SetCookieLine(listener, request, newKey));
    answer.headers.emplace_back("Location", request.origin + curl);
    return answer;
  }
  if (command == "logoff") {
    if (!key.empty()) sessions_.Revoke(key);
    answer.headers.emplace_back("Set-Cookie", ClearCookieLine(listener, request));
    answer.body = LogoffPage();
    return answer;
  }
  answer.status = 404;
  answer.reason = "Not Found";
  answer.body = ProxyMessagePage("Not Found", "The page cannot be found.");
  return answer;
}

IsaServer::Answer IsaServer::Published(IsaConnection& connection, const Request& request, const std::string& user,
                                       const std::string& key) {
  SiteRequest forwarded;
  forwarded.client = connection.Client().name;
  forwarded.method = request.headers.Method();
  forwarded.url = OriginForm(request.headers.Url());
  forwarded.canonicalPath = CanonicalPath(forwarded.url);
  forwarded.sessionKey = key;
  forwarded.user = user;
  forwarded.body = request.body;
  forwarded.headers = request.headers.Fields();
  forwarded.remoteAddress = connection.Client().remoteAddress;
  Answer answer;
  answer.forward = std::move(forwarded);
  answer.user = user;
  return answer;
}

IsaServer::Answer IsaServer::RedirectToLogon(const ListenerConfig& listener, const Request& request,
                                             std::string_view curl, int reason) {
  Answer answer;
  answer.status = 302;
  answer.reason = "Moved Temporarily";
  answer.headers = {{"Location", request.origin + "/CookieAuth.dll?GetLogon?curl=" + PercentEncodeUrl(curl) +
                                     "&reason=" + std::to_string(reason) + "&formdir=" +
                                     std::to_string(listener.formDir)},
                    {"Cache-Control", "no-cache"}};
  answer.body = ProxyMessagePage("Object moved", "This object may be found here.");
  return answer;
}

IsaServer::Answer IsaServer::Challenge(const ListenerConfig& listener) {
  Answer answer;
  answer.status = 401;
  answer.reason = "Unauthorized";
  answer.headers = {{"WWW-Authenticate", listener.fallback == FallbackMode::Basic
                                             ? "Basic realm=\"" + listener.realm + "\""
                                             : std::string("Negotiate")},
                    {"Content-Type", "text/html"}};
  answer.body = ProxyMessagePage("Unauthorized", "You are not authorized to view this page.");
  return answer;
}

std::string IsaServer::SetCookieLine(const ListenerConfig& listener, const Request& request,
                                     const std::string& key) const {
  std::string value = listener.quotedKeys ? "\"" + key + "\"" : key;
  std::string line = listener.cookieName + "=" + value + "; path=/";
  std::string domain = listener.CookieDomainFor(request.headers.Get("Host").value_or(""));
  if (!domain.empty()) line += "; domain=" + domain;
  return line;
}

std::string IsaServer::ClearCookieLine(const ListenerConfig& listener, const Request& request) const {
  std::string line = listener.cookieName + "=; path=/; " + kExpired;
  std::string domain = listener.CookieDomainFor(request.headers.Get("Host").value_or(""));
  if (!domain.empty()) line += "; domain=" + domain;
  return line;
}

// ---- Lookups ----------------------------------------------------------------

std::string IsaServer::Transcript(const std::string& client) const {
  CsLock lock(lock_);
  auto it = transcripts_.find(client);
  return it == transcripts_.end() ? std::string() : it->second;
}

ListenerConfig* IsaServer::FindListener(const std::string& persistentName) {
  for (ListenerConfig& listener : listeners_) {
    if (listener.persistentName == persistentName) return &listener;
  }
  return nullptr;
}

UserAccount* IsaServer::FindUser(const std::string& name) { return FindAccount(users_, name); }

}  // namespace talverin::host
