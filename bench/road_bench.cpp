// Requests per second of a session that has passed the second factor,
// through the proxy emulation with the installed filter loaded and without
// any filter, against the in-process test back end. Prints its measurements.
//
//   road_bench [requests] [trace level]     (defaults 2000 and 0)
//
// Needs the test back end and the configuration-store test bed registered in
// the prefix (the build registers the store; testbeds/backend/register.sh the
// back end).
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "backend_client.h"
#include "bench_bed.h"
#include "host/browser.h"
#include "host/isa_server.h"
#include "support/filter_install.h"
#include "support/test_files.h"

namespace {

using namespace talverin::host;
using namespace talverin::bench;

struct Result {
  double keptAlive = 0, newConnections = 0;
  bool valid = false;
};

Result Measure(const std::string& dllPath, IDispatch* master, int requests) {
  FilterModule module(dllPath);
  if (module.IsLoaded() && !module.Start().Succeeded()) {
    std::printf("the filter did not start\n");
    return {};
  }
  PublishedSite site;
  IsaServer server(module, ParseListeners(kStore), ParseUsers(kUsers), site);
  Result result;
  for (const bool keepAlive : {true, false}) {
    BrowserOptions options;
    options.client.name = keepAlive ? "kept" : "fresh";
    options.keepAlive = keepAlive;
    Browser browser(server, options);
    browser.Visit("/owa/");
    browser.FollowAll(browser.PostForm("/CookieAuth.dll?Logon",
                                       {{"curl", "/owa/"}, {"username", "CONTOSO\\alice"}, {"password", "Secret1"}}));
    const std::string key = browser.Cookie("cadata").value_or("");
    if (key.empty() || !MakeValid(master, key)) return result;
    for (int i = 0; i < 50; ++i) browser.Get("/owa/inbox.html");
    const size_t before = site.Received().size();
    // A kept-alive connection carries kPerConnection requests: the host keeps
    // every AllocMem block until its connection ends, and its bookkeeping of
    // them would otherwise grow into the measurement.
    constexpr int kPerConnection = 100;
    const double start = Now();
    for (int done = 0; done < requests;) {
      Browser connection(server, options);
      connection.SetCookie("cadata", key);
      for (int i = 0; i < kPerConnection && done < requests; ++i, ++done) connection.Get("/owa/inbox.html");
    }
    const double perSecond = requests / (Now() - start);
    result.valid = site.Received().size() - before == static_cast<size_t>(requests);
    (keepAlive ? result.keptAlive : result.newConnections) = perSecond;
  }
  module.Terminate();
  module.Unload();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  const int requests = argc > 1 ? std::atoi(argv[1]) : 2000;
  const DWORD traceLevel = argc > 2 ? static_cast<DWORD>(std::atoi(argv[2])) : 0;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int rc = 1;
  {
    BenchSetUp setUp(traceLevel);
    if (setUp.Ok()) {
      std::printf("%d requests for /owa/inbox.html of a Valid session, trace level %lu\n", requests, traceLevel);
      Result without = Measure(setUp.DataFile("no-filter.dll"), setUp.Master(), requests);
      Result with = Measure(setUp.DllPath(), setUp.Master(), requests);
      std::printf("%-16s %14s %18s\n", "", "kept alive/s", "new connection/s");
      std::printf("%-16s %14.0f %18.0f\n", "without filter", without.keptAlive, without.newConnections);
      std::printf("%-16s %14.0f %18.0f%s\n", "with filter", with.keptAlive, with.newConnections,
                  with.valid ? "" : "  (not every request reached the site)");
      if (with.keptAlive > 0) {
        std::printf("cost of the filter per request: %.1f us kept alive, %.1f us on new connections\n",
                    1e6 / with.keptAlive - 1e6 / without.keptAlive,
                    1e6 / with.newConnections - 1e6 / without.newConnections);
      }
      rc = 0;
    }
  }
  CoUninitialize();
  return rc;
}
