// What the filter itself adds to a request, side by side with a filter that
// passes everything through (same notifications, no work), in one run:
// requests through the proxy emulation on kept-alive connections, the
// test back end in process, trace level 0.
//
//   filter_cost_bench [runs] [requests] [scenario]  (defaults 5, 2000, all; scenario 1 to 5 runs that one)
//
// Scenarios: a GET of a session that has passed the second factor (an answer
// with a 4 KiB header block and a 16 KiB body), the same answer to a GET
// without the proxy's cookie (a public page), a 10 MiB answer of a Valid
// session, the Valid GET with a short header block (whole in the host's
// first chunk), and a GET of a protected page without the proxy's cookie,
// which the proxy answers with the redirect to its logon form.
// The two filters take turns, one kept-alive connection of up to 100
// requests at a time and at least ten turns a run, so that a machine that
// speeds up or slows down meets both alike.
// Prints every run's microseconds per request for both filters, the ratio
// and the microseconds the filter adds, and the back-end calls (lookups and
// invocations) per request of the real filter.
//
// Needs the test back end and the configuration-store test bed registered in
// the prefix (the build registers the store; testbeds/backend/register.sh the
// back end).
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "backend_client.h"
#include "bench_bed.h"
#include "host/browser.h"
#include "host/isa_server.h"
#include "host/published_site.h"
#include "support/filter_install.h"
#include "support/test_files.h"

namespace {

using namespace talverin::host;
using namespace talverin::bench;

constexpr size_t kBigAnswer = 10 * 1024 * 1024;
// Requests per kept-alive connection: the emulated host looks its AllocMem
// blocks up one by one, and would otherwise grow into the measurement of a
// filter that asks for host memory.
constexpr int kPerConnection = 100;

std::string Marked(size_t size) {
  std::string body;
  while (body.size() < size) body += std::string(kSiteMarker) + " line of the benchmark page ......................\n";
  body.resize(size);
  return body;
}

// The pages of the benchmark: a 4 KiB header block and a 16 KiB body, and a
// 10 MiB download.
class BenchSite : public SiteServer {
 public:
  BenchSite() : page_(Marked(16 * 1024)), big_(Marked(kBigAnswer)) {
    for (int i = 0; headerBytes() < 4096 - 64; ++i) {
      headers_.emplace_back("X-Bench-" + std::to_string(i), std::string(96, 'h'));
    }
    headers_.emplace_back("Content-Type", "text/html");
  }

  SiteResponse Serve(const SiteRequest& request) override {
    SiteResponse response;
    // A header block the host presents whole in its first chunk.
    if (request.canonicalPath != "/owa/short.html") response.headers = headers_;
    response.body = request.canonicalPath == "/download/big.bin" ? big_ : page_;
    return response;
  }

 private:
  size_t headerBytes() const {
    size_t size = 0;
    for (const auto& h : headers_) size += h.first.size() + h.second.size() + 4;
    return size;
  }
  std::vector<std::pair<std::string, std::string>> headers_;
  std::string page_;
  std::string big_;
};

long long CallsSinceClear(IDispatch* master) {
  backend_test::Reply reply = backend_test::Method(master, L"CallCounts");
  const std::string text = backend_test::Narrow(reply.Text());
  long long total = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t blank = line.rfind(' ');
    if (blank != std::string::npos) total += std::atoll(line.c_str() + blank + 1);
    start = end + 2;
  }
  return total;
}

// One filter behind its own proxy, with a logged-on browser.
class Bed {
 public:
  Bed(const std::string& dll, bool real, IDispatch* master) : module_(dll) {
    started_ = real ? module_.Start().Succeeded() : module_.GetFilterVersion().Succeeded();
    IsaOptions options;
    options.keepTranscripts = false;
    options.keepConnectionRecords = false;
    server_ = std::make_unique<IsaServer>(module_, ParseListeners(kStore), ParseUsers(kUsers), site_, options);
    BrowserOptions browserOptions;
    browserOptions.client.name = "bench";
    Browser browser(*server_, browserOptions);
    browser.Visit("/owa/");
    browser.FollowAll(browser.PostForm("/CookieAuth.dll?Logon",
                                       {{"curl", "/owa/"}, {"username", "CONTOSO\\alice"}, {"password", "Secret1"}}));
    key_ = browser.Cookie("cadata").value_or("");
    if (real && !key_.empty() && !MakeValid(master, key_)) key_.clear();
  }
  ~Bed() {
    server_.reset();
    module_.Terminate();
    module_.Unload();
  }

  bool Ready() const { return started_ && !key_.empty(); }

  std::string RequestText(const std::string& url, bool withCookie) const {
    std::string text = "GET " + url + " HTTP/1.1\r\nHost: mail.contoso.test\r\n"
                       "User-Agent: Mozilla/5.0 (Windows NT 10.0; Win64; x64) benchmark\r\n"
                       "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
                       "Accept-Language: en-US,en;q=0.5\r\nAccept-Encoding: gzip, deflate\r\n"
                       "Referer: https://mail.contoso.test/owa/\r\n";
    if (withCookie) text += "Cookie: lang=en; cadata=" + key_ + "; theme=plain\r\n";
    return text + "Connection: keep-alive\r\n\r\n";
  }

  // Whether the answer to the request holds the text expected.
  bool Answers(const std::string& request, const std::string& expected) {
    const std::unique_ptr<IsaConnection> connection = Connect();
    return server_->Handle(*connection, request).sent.find(expected) != std::string::npos;
  }

  // Seconds for count requests on a new kept-alive connection.
  double Time(const std::string& request, int count) {
    const std::unique_ptr<IsaConnection> connection = Connect();
    const double start = Now();
    for (int i = 0; i < count; ++i) server_->Handle(*connection, request);
    return Now() - start;
  }

 private:
  std::unique_ptr<IsaConnection> Connect() {
    ClientSettings client;
    client.name = "bench";
    return server_->Connect(client);
  }

  FilterModule module_;
  BenchSite site_;
  std::unique_ptr<IsaServer> server_;
  std::string key_;
  bool started_ = false;
};

struct Scenario {
  const char* name;
  const char* url;
  bool withCookie;
  int requestsDivisor;  // the 10 MiB answer takes fewer requests
  const char* expected;  // what the answer must hold
};

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const int requests = argc > 2 ? std::max(10, std::atoi(argv[2])) : 2000;
  const int only = argc > 3 ? std::atoi(argv[3]) : 0;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int rc = 1;
  {
    BenchSetUp setUp(0);
    IDispatch* master = setUp.Master();
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string passThrough = exe;
    passThrough = passThrough.substr(0, passThrough.find_last_of('\\') + 1) + "talverin_pass_through_filter.dll";
    if (setUp.Ok()) {
      Bed baseline(passThrough, false, master);
      Bed filter(setUp.DllPath(), true, master);
      if (!baseline.Ready() || !filter.Ready()) {
        std::printf("set-up failed: pass-through filter %d, filter %d\n", baseline.Ready(), filter.Ready());
      } else {
        const std::string site(kSiteMarker);
        const Scenario scenarios[] = {
            {"Valid kept-alive GET, 4 KiB header block, 16 KiB body", "/owa/inbox.html", true, 1, site.c_str()},
            {"anonymous GET of a public page, same answer", "/public/info.html", false, 1, site.c_str()},
            {"Valid GET of a 10 MiB answer", "/download/big.bin", true, 100, site.c_str()},
            {"Valid kept-alive GET, header block in the first 4 KiB chunk, 16 KiB body", "/owa/short.html", true, 1,
             site.c_str()},
            {"anonymous GET, ISA/TMG's redirect to its logon form", "/owa/inbox.html", false, 1,
             "/CookieAuth.dll?GetLogon"},
        };
        rc = 0;
        for (const Scenario& scenario : scenarios) {
          if (only != 0 && &scenario != &scenarios[only - 1]) continue;
          const int n = std::max(10, requests / scenario.requestsDivisor);
          std::printf("\n%s (%d requests per run, trace level 0)\n", scenario.name, n);
          std::printf("%5s %18s %14s %8s %10s %14s\n", "run", "pass-through us", "filter us", "ratio", "added us",
                      "backend calls");
          const std::string baselineRequest = baseline.RequestText(scenario.url, scenario.withCookie);
          const std::string filterRequest = filter.RequestText(scenario.url, scenario.withCookie);
          std::vector<double> ratios, added;
          for (int run = 1; run <= runs; ++run) {
            const bool baseOk = baseline.Answers(baselineRequest, scenario.expected);
            const bool filterOk = filter.Answers(filterRequest, scenario.expected);
            backend_test::Method(master, L"ClearCallCounts");
            // The two filters take turns, a connection each, so that both
            // meet the machine as it is at that moment.
            double baseSeconds = 0, filterSeconds = 0;
            // At least ten turns: a run of few long requests is no exception.
            const int slice = std::max(1, std::min(kPerConnection, n / 10));
            for (int done = 0; done < n; done += slice) {
              const int count = std::min(slice, n - done);
              baseSeconds += baseline.Time(baselineRequest, count);
              filterSeconds += filter.Time(filterRequest, count);
            }
            const double base = baseSeconds * 1e6 / n;
            const double with = filterSeconds * 1e6 / n;
            const double calls = static_cast<double>(CallsSinceClear(master)) / n;
            ratios.push_back(with / base);
            added.push_back(with - base);
            std::printf("%5d %18.1f %14.1f %8.2f %10.1f %14.2f%s\n", run, base, with, with / base, with - base, calls,
                        baseOk && filterOk ? "" : "  (an answer was not the one expected)");
            if (!baseOk || !filterOk) rc = 1;
          }
          std::sort(ratios.begin(), ratios.end());
          std::sort(added.begin(), added.end());
          std::printf("median: ratio %.2f, added %.1f us\n", ratios[ratios.size() / 2], added[added.size() / 2]);
        }
      }
    }
  }
  CoUninitialize();
  return rc;
}
