#include "gateway/gateway.h"

#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "gateway/upstream_site.h"
#include "host/fba.h"
#include "host/http_framing.h"

namespace talverin::gateway {
namespace {

// The filter expects COM on every thread that calls it, as ISA/TMG's own
// threads have it.
class ComApartment {
 public:
  ComApartment() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComApartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  HRESULT hr_;
};

bool HasToken(const std::string& list, std::string_view token) {
  size_t at = 0;
  while (at <= list.size()) {
    size_t comma = list.find(',', at);
    if (comma == std::string::npos) comma = list.size();
    std::string item = list.substr(at, comma - at);
    size_t first = item.find_first_not_of(" \t"), last = item.find_last_not_of(" \t");
    if (first != std::string::npos && host::EqualsIgnoringCase(item.substr(first, last - first + 1), token)) return true;
    at = comma + 1;
  }
  return false;
}

// The status code of the first response the client got, else how the
// request ended.
std::string OutcomeOf(const host::Exchange& exchange) {
  const std::string& sent = exchange.sent;
  if (sent.compare(0, 5, "HTTP/") == 0) {
    size_t blank = sent.find(' ');
    if (blank != std::string::npos && blank + 4 <= sent.size()) return sent.substr(blank + 1, 3);
  }
  std::string outcome = host::RequestEndText(exchange.end);
  if (!sent.empty()) outcome += " (" + std::to_string(sent.size()) + " bytes)";
  return outcome;
}

std::string RequestLineOf(std::string_view bytes) {
  std::string line(bytes.substr(0, std::min<size_t>(bytes.find("\r\n"), 200)));
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '"') c = '?';
  }
  return line.empty() ? "-" : line;
}

std::string IpOf(const std::string& address) { return address.substr(0, address.rfind(':')); }

}  // namespace

struct Gateway::Link {
  UniqueSocket socket;
  std::string peer;  // "127.0.0.1:54321"
  std::unique_ptr<host::IsaConnection> isa;
  std::string buffer;         // received and not yet handled
  std::deque<size_t> pieces;  // the sizes of the reads still in `buffer`, in order
  ULONGLONG lastActive = 0;
};

Gateway::Gateway(GatewayConfig config, GatewayOptions options)
    : config_(std::move(config)), options_(std::move(options)) {}

Gateway::~Gateway() { Stop(); }

std::string Gateway::Url() const { return "http://" + config_.listen.host + ":" + std::to_string(port_) + "/"; }

void Gateway::Start() {
  if (started_) return;
  if (!winsock_.ok()) throw GatewayError("Winsock did not start");
  try {
    WriteDerivedFiles(config_);
  } catch (const ConfigError& e) {
    throw GatewayError(e.what());
  }
  // The configuration-store test bed is an in-process COM server: it reads
  // the variable in this process when the filter asks it for the listeners.
  char full[MAX_PATH];
  DWORD length = GetFullPathNameA(config_.StorePath().c_str(), MAX_PATH, full, nullptr);
  SetEnvironmentVariableA("TALVERIN_STORE_CONFIG",
                          length > 0 && length < MAX_PATH ? full : config_.StorePath().c_str());

  ComApartment com;
  bool filterStarted = false;
  try {
    if (options_.noFilter || config_.filter.empty()) {
      module_ = std::make_unique<host::FilterModule>();
    } else {
      module_ = std::make_unique<host::FilterModule>(config_.filter);
      if (!module_->IsLoaded()) {
        throw GatewayError("the filter " + config_.filter + " cannot be loaded (error " +
                           std::to_string(module_->LoadError()) + ")");
      }
      host::StartResult start = module_->Start();
      filterStarted = start.wpx.Succeeded();
      if (!start.Succeeded()) {
        const host::VersionResult& failed = start.wpx.Succeeded() ? start.isapi : start.wpx;
        throw GatewayError(std::string("the filter did not start: ") +
                           (start.wpx.Succeeded() ? "GetFilterVersion" : "GetWPXFilterVersion") +
                           " failed (last error " + std::to_string(failed.lastError) + ")");
      }
    }
    if (config_.builtinSite) {
      auto site = std::make_unique<host::PublishedSite>(config_.downloadBytes);
      site->RecordRequests(options_.keepRecords);
      builtin_ = site.get();
      site_ = std::move(site);
    } else {
      site_ = std::make_unique<UpstreamSite>(config_.upstream.host, config_.upstream.port,
                                             config_.options.responseChunkBytes);
    }
    host::IsaOptions options = config_.options;
    options.keepTranscripts = options_.keepRecords;
    options.keepConnectionRecords = false;
    server_ = std::make_unique<host::IsaServer>(*module_, config_.listeners, config_.users, *site_, options);

    listener_.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener_) throw GatewayError("no socket: " + SocketErrorText(WSAGetLastError()));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(config_.listen.port);
    inet_pton(AF_INET, config_.listen.host.c_str(), &address.sin_addr);
    if (bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.Get(), SOMAXCONN) != 0) {
      throw GatewayError("cannot listen on " + config_.listen.Text() + ": " + SocketErrorText(WSAGetLastError()));
    }
    int size = sizeof address;
    getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
  } catch (...) {
    listener_.Reset();
    server_.reset();
    site_.reset();
    builtin_ = nullptr;
    if (filterStarted) module_->Terminate();
    module_.reset();
    throw;
  }

  started_ = true;
  stopping_ = false;
  running_ = config_.threads;
  dispatcher_ = std::thread(&Gateway::Dispatch, this);
  for (int i = 0; i < config_.threads; ++i) workers_.emplace_back(&Gateway::Work, this);
}

void Gateway::Stop() {
  if (!started_) return;
  started_ = false;
  stopping_ = true;
  queueReady_.notify_all();
  if (dispatcher_.joinable()) dispatcher_.join();
  listener_.Reset();

  bool finished;
  {
    std::unique_lock<std::mutex> lock(queueLock_);
    finished = workersDone_.wait_for(lock, std::chrono::seconds(options_.stopWaitSeconds), [&] { return running_ == 0; });
  }
  if (!finished) {
    // A worker still inside the filter or waiting for the published server:
    // the process is about to end, and nothing it uses may go away first.
    std::fprintf(stderr, "Gateway: requests still running after %d seconds; the filter is not terminated\n",
                 options_.stopWaitSeconds);
    for (std::thread& worker : workers_) worker.detach();
    workers_.clear();
    (void)server_.release();
    (void)site_.release();
    (void)module_.release();
    return;
  }
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    ready_.clear();
    idle_.clear();
    waiting_ = 0;
  }
  server_.reset();
  site_.reset();
  builtin_ = nullptr;
  if (module_->IsLoaded()) {
    ComApartment com;
    module_->Terminate();
    module_->Unload();
  }
  module_.reset();
}

std::string Gateway::Reload() {
  if (!module_ || !module_->IsLoaded()) return "No filter is loaded: there is no configuration to reload";
  ComApartment com;
  host::CallResult result = module_->Reload();
  if (result.Succeeded()) return "Filter configuration reloaded";
  if (!result.called) {
    return "Filter configuration not reloaded: the filter has no ReloadWPXFilterConfiguration (error " +
           std::to_string(result.lastError) + ")";
  }
  return "Filter configuration not reloaded: ReloadWPXFilterConfiguration failed (last error " +
         std::to_string(result.lastError) + ")";
}

// ---- Threads ------------------------------------------------------------------

void Gateway::Dispatch() {
  const ULONGLONG idleLimit = static_cast<ULONGLONG>(config_.idleSeconds) * 1000;
  std::vector<WSAPOLLFD> polls;
  while (!stopping_) {
    polls.clear();
    polls.push_back(WSAPOLLFD{listener_.Get(), POLLRDNORM, 0});
    size_t watched;
    {
      std::lock_guard<std::mutex> lock(queueLock_);
      watched = idle_.size();
      for (const auto& link : idle_) polls.push_back(WSAPOLLFD{link->socket.Get(), POLLRDNORM, 0});
    }
    // Connections handed back while this waits are seen on the next round.
    int ready = WSAPoll(polls.data(), static_cast<ULONG>(polls.size()), 50);
    if (ready < 0) {
      Sleep(10);
      continue;
    }
    if (ready > 0 && polls[0].revents != 0) {
      sockaddr_in peer{};
      int size = sizeof peer;
      UniqueSocket socket(accept(listener_.Get(), reinterpret_cast<sockaddr*>(&peer), &size));
      if (socket) {
        // Small answers go out at once, not when the client's next ACK comes.
        BOOL noDelay = TRUE;
        setsockopt(socket.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
        auto link = std::make_unique<Link>();
        link->socket = std::move(socket);
        link->peer = AddressText(peer);
        host::ClientSettings client;
        client.name = link->peer;
        client.remoteAddress = IpOf(link->peer);
        client.secure = config_.secure;
        client.localAddress = config_.listen.host + ":" + std::to_string(port_);
        link->isa = server_->Connect(client);
        link->lastActive = GetTickCount64();
        Enqueue(std::move(link));
      }
    }
    std::vector<std::unique_ptr<Link>> expired;
    {
      std::lock_guard<std::mutex> lock(queueLock_);
      const ULONGLONG now = GetTickCount64();
      for (size_t i = watched; i-- > 0;) {
        if (polls[i + 1].revents != 0) {
          ready_.push_back(std::move(idle_[i]));
          ++waiting_;
          queueReady_.notify_one();
        } else if (now - idle_[i]->lastActive >= idleLimit) {
          expired.push_back(std::move(idle_[i]));
        } else {
          continue;
        }
        idle_.erase(idle_.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    for (auto& link : expired) Close(std::move(link));
  }
  std::vector<std::unique_ptr<Link>> idle;
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    idle.swap(idle_);
  }
  for (auto& link : idle) Close(std::move(link));
}

void Gateway::Work() {
  ComApartment com;
  while (true) {
    std::unique_ptr<Link> link;
    {
      std::unique_lock<std::mutex> lock(queueLock_);
      queueReady_.wait(lock, [&] { return stopping_ || !ready_.empty(); });
      // A stop lets running requests finish; queued connections have none.
      if (stopping_) break;
      link = std::move(ready_.front());
      ready_.pop_front();
      --waiting_;
    }
    if (Serve(*link) == Outcome::Idle && !stopping_) {
      std::lock_guard<std::mutex> lock(queueLock_);
      idle_.push_back(std::move(link));
    } else {
      Close(std::move(link));
    }
  }
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    --running_;
  }
  workersDone_.notify_all();
}

void Gateway::Enqueue(std::unique_ptr<Link> link) {
  {
    std::lock_guard<std::mutex> lock(queueLock_);
    ready_.push_back(std::move(link));
    ++waiting_;
  }
  queueReady_.notify_one();
}

void Gateway::Close(std::unique_ptr<Link> link) {
  CloseGracefully(link->socket, stopping_ ? 100 : 1000);
}

// ---- One connection -----------------------------------------------------------

Gateway::Outcome Gateway::Serve(Link& link) {
  const ULONGLONG idleLimit = static_cast<ULONGLONG>(config_.idleSeconds) * 1000;
  const size_t pieceBytes = std::max<size_t>(1, config_.options.requestChunkBytes);
  std::string piece(pieceBytes, '\0');
  while (true) {
    if (!link.buffer.empty()) {
      host::Frame frame = host::FrameRequest(link.buffer);
      if (frame.status == host::FrameStatus::Complete) {
        if (!HandleOne(link, frame.length)) return Outcome::Closed;
        continue;
      }
      if (frame.status == host::FrameStatus::Malformed) {
        Refuse(link, 400, "Bad Request", frame.problem);
        return Outcome::Closed;
      }
      if (frame.status == host::FrameStatus::TooLarge) {
        Refuse(link, 413, "Request Entity Too Large", frame.problem);
        return Outcome::Closed;
      }
    }
    if (stopping_) return Outcome::Closed;
    const ULONGLONG quiet = GetTickCount64() - link.lastActive;
    if (quiet >= idleLimit) return Outcome::Closed;
    // With connections waiting for a worker, an idle one goes back to the
    // dispatcher at once; otherwise the worker waits with it.
    const bool othersWait = link.buffer.empty() && waiting_ > 0;
    const int slice = othersWait ? 0 : static_cast<int>(std::min<ULONGLONG>(100, idleLimit - quiet));
    WaitResult wait = WaitReadable(link.socket.Get(), slice);
    if (wait == WaitResult::Failed) return Outcome::Closed;
    if (wait == WaitResult::TimedOut) {
      if (othersWait) return Outcome::Idle;
      continue;
    }
    int got = recv(link.socket.Get(), piece.data(), static_cast<int>(piece.size()), 0);
    if (got <= 0) return Outcome::Closed;
    link.buffer.append(piece.data(), static_cast<size_t>(got));
    link.pieces.push_back(static_cast<size_t>(got));
    link.lastActive = GetTickCount64();
  }
}

bool Gateway::HandleOne(Link& link, size_t length) {
  // The request's pieces as they were read; what is left of the last read
  // starts the next request.
  std::vector<std::string_view> chunks;
  for (size_t at = 0; at < length;) {
    size_t take = std::min(link.pieces.front(), length - at);
    chunks.emplace_back(link.buffer.data() + at, take);
    at += take;
    if (take == link.pieces.front()) {
      link.pieces.pop_front();
    } else {
      link.pieces.front() -= take;
    }
  }
  const host::HeaderBlock head = host::HeaderBlock::Parse(std::string_view(link.buffer).substr(0, length));
  host::Exchange exchange = server_->Handle(*link.isa, chunks);
  link.buffer.erase(0, length);
  const bool sent = SendAll(link.socket.Get(), exchange.sent);
  Log(link, head.Method() + " " + head.Url(), OutcomeOf(exchange));
  link.lastActive = GetTickCount64();
  if (!sent || exchange.connectionClosed || exchange.end == host::RequestEnd::Stalled) return false;
  // HTTP/1.0 keeps a connection only when the client asks for it.
  return head.Version() != "HTTP/1.0" || HasToken(head.Get("Connection").value_or(""), "keep-alive");
}

void Gateway::Refuse(Link& link, int status, const char* reason, const std::string& problem) {
  std::string body = host::ProxyMessagePage(reason, "The request cannot be served: " + problem + ".");
  std::string response = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                         "\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: close\r\n\r\n" + body;
  SendAll(link.socket.Get(), response);
  Log(link, RequestLineOf(link.buffer), std::to_string(status));
}

void Gateway::Log(const Link& link, const std::string& requestLine, const std::string& outcome) {
  if (!config_.accessLog || !options_.accessLog) return;
  std::string line = link.peer + " \"" + requestLine + "\" -> " + outcome;
  std::lock_guard<std::mutex> lock(logLock_);
  options_.accessLog(line);
}

}  // namespace talverin::gateway
