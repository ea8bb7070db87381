#pragma once
// The ISA/TMG emulation behind real sockets: an HTTP/1.1 server on 127.0.0.1
// that reads each request whole (keep-alive, Content-Length and chunked
// bodies, pipelining), hands it to the proxy in the pieces in which it
// arrived, and sends back what the proxy and the filter let out.
//
// One dispatcher thread accepts connections and watches idle kept-alive
// ones; a pool of worker threads serves them. A worker stays with its
// connection while the client keeps it busy, and hands an idle one back to
// the dispatcher when other connections are waiting for a worker.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "gateway/gateway_config.h"
#include "gateway/socket.h"
#include "host/filter_module.h"
#include "host/isa_server.h"
#include "host/published_site.h"

namespace talverin::gateway {

class GatewayError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct GatewayOptions {
  // Publish without the filter, whatever the configuration says.
  bool noFilter = false;
  // Keep what a test checks afterwards: the site's record of requests and
  // the clients' transcripts (a long-running gateway keeps neither).
  bool keepRecords = false;
  // How long a graceful stop waits for running requests.
  int stopWaitSeconds = 15;
  // One line per request ("<client> "<METHOD> <URL>" -> <status or end>")
  // when the configuration asks for an access log.
  std::function<void(const std::string&)> accessLog;
};

class Gateway {
 public:
  Gateway(GatewayConfig config, GatewayOptions options = {});
  ~Gateway();
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // Writes the derived files, loads and starts the filter, listens and
  // starts the threads. Throws GatewayError.
  void Start();
  // Stops accepting, lets running requests finish (bounded wait), closes
  // every connection and terminates the filter. Also done by the destructor.
  void Stop();

  uint16_t Port() const { return port_; }
  // "http://127.0.0.1:PORT/".
  std::string Url() const;
  // Calls the filter's ReloadWPXFilterConfiguration; the line to print.
  std::string Reload();

  const GatewayConfig& Config() const { return config_; }
  host::IsaServer& Server() { return *server_; }
  host::FilterModule& Module() { return *module_; }
  // Null when an upstream server is published.
  host::PublishedSite* BuiltinSite() { return builtin_; }

 private:
  struct Link;
  enum class Outcome { Closed, Idle };

  void Dispatch();
  void Work();
  Outcome Serve(Link& link);
  bool HandleOne(Link& link, size_t length);
  void Refuse(Link& link, int status, const char* reason, const std::string& problem);
  void Log(const Link& link, const std::string& requestLine, const std::string& outcome);
  void Enqueue(std::unique_ptr<Link> link);
  void Close(std::unique_ptr<Link> link);

  GatewayConfig config_;
  GatewayOptions options_;
  WinsockSession winsock_;
  std::unique_ptr<host::FilterModule> module_;
  std::unique_ptr<host::SiteServer> site_;
  host::PublishedSite* builtin_ = nullptr;
  std::unique_ptr<host::IsaServer> server_;
  UniqueSocket listener_;
  uint16_t port_ = 0;
  bool started_ = false;

  std::atomic<bool> stopping_{false};
  std::thread dispatcher_;
  std::vector<std::thread> workers_;

  std::mutex queueLock_;
  std::condition_variable queueReady_;
  std::deque<std::unique_ptr<Link>> ready_;  // waiting for a worker
  std::atomic<size_t> waiting_{0};
  std::vector<std::unique_ptr<Link>> idle_;  // watched by the dispatcher
  int running_ = 0;                          // workers still running
  std::condition_variable workersDone_;

  std::mutex logLock_;
};

}  // namespace talverin::gateway
