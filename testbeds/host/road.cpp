// Walks one browser down the logon road of the emulated ISA/TMG proxy with a
// filter DLL loaded: asks for a page, follows the redirects, posts the logon
// form when it is shown, and reports every exchange and whether bytes of the
// published site reached the browser. Exit code: 0 when the road could be
// walked (whatever the filter decided), 1 when the filter broke the host's
// rules, 2 on bad usage, unreadable files or a filter that does not start.
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "host/browser.h"
#include "host/isa_server.h"

namespace {

using namespace talverin::host;

struct Arguments {
  std::string filter, store, users, settings;
  std::string user = "CONTOSO\\alice", password = "Secret1", url = "/owa/";
};

bool Parse(int argc, char** argv, Arguments* args) {
  if (argc < 4) return false;
  args->filter = argv[1];
  args->store = argv[2];
  args->users = argv[3];
  for (int i = 4; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--settings") args->settings = argv[i + 1];
    else if (option == "--user") args->user = argv[i + 1];
    else if (option == "--password") args->password = argv[i + 1];
    else if (option == "--url") args->url = argv[i + 1];
    else return false;
  }
  return argc % 2 == 0;
}

void Print(const char* method, const Reply& reply) {
  std::printf("%s %s -> %s", method, reply.url.c_str(),
              reply.status ? reply.headers.FirstLine().c_str() : RequestEndText(reply.end));
  if (reply.status == 0 && !reply.raw.empty()) std::printf(" (%zu bytes that are no response)", reply.raw.size());
  std::printf("%s\n", reply.connectionClosed ? " [connection closed]" : "");
  if (!reply.Header("Location").empty()) std::printf("    Location: %s\n", reply.Header("Location").c_str());
  for (const std::string& cookie : reply.SetCookies()) std::printf("    Set-Cookie: %s\n", cookie.c_str());
}

}  // namespace

int main(int argc, char** argv) try {
  // ISA/TMG runs its filters on threads that have COM initialized; the
  // filter relies on it (it never initializes COM itself).
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  Arguments args;
  if (!Parse(argc, argv, &args)) {
    std::printf("usage: talverin_isa_road FILTER.dll STORE.conf USERS.txt [--settings FILE] [--user NAME]"
                " [--password TEXT] [--url PATH]\n");
    return 2;
  }
  std::vector<ListenerConfig> listeners = LoadListeners(args.store);
  std::vector<UserAccount> users = LoadUsers(args.users);
  IsaOptions options;
  if (!args.settings.empty()) LoadEmulationSettings(args.settings, listeners, users, options);

  FilterModule module(args.filter);
  if (!module.IsLoaded() || !module.Start().Succeeded()) {
    std::printf("RESULT: the filter %s did not load or start (error %lu)\n", args.filter.c_str(), module.LoadError());
    return 2;
  }
  PublishedSite site;
  bool violations = false;
  {
    IsaServer server(module, listeners, users, site, options);
    BrowserOptions browserOptions;
    browserOptions.client.name = "browser";
    Browser browser(server, browserOptions);

    Reply reply = browser.Get(args.url);
    Print("GET", reply);
    bool posted = false;
    for (int hops = 0; hops < 12; ++hops) {
      if (reply.body.find("action=\"/CookieAuth.dll?Logon\"") != std::string::npos) {
        // Shown the form again after posting it: the logon was refused.
        if (posted) break;
        posted = true;
        reply = browser.PostForm("/CookieAuth.dll?Logon", {{"curl", args.url}, {"flags", "0"}, {"forcedownlevel", "0"},
                                                             {"formdir", "1"}, {"trusted", "0"}, {"username", args.user},
                                                             {"password", args.password}});
        Print("POST", reply);
        continue;
      }
      std::optional<Reply> next = browser.Follow(reply);
      if (!next) break;
      reply = std::move(*next);
      Print("GET", reply);
    }
    for (const SiteRequest& request : site.Received()) {
      std::printf("site received %s %s as \"%s\"\n", request.method.c_str(), request.url.c_str(), request.user.c_str());
    }
    if (IsaConnection* connection = browser.CurrentConnection()) {
      for (const std::string& violation : connection->Filter().Violations()) {
        std::printf("VIOLATION: %s\n", violation.c_str());
        violations = true;
      }
    }
    std::printf(CarriesSiteContent(browser.Transcript()) ? "RESULT: bytes of the published site reached the browser\n"
                                                         : "RESULT: no byte of the published site reached the browser\n");
  }
  module.Terminate();
  module.Unload();
  return violations ? 1 : 0;
} catch (const std::exception& e) {
  std::printf("RESULT: %s\n", e.what());
  return 2;
}
