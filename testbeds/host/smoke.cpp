// Loads a web filter DLL the way the web proxy does, drives one GET request
// through it on one connection and shows every call and what the client
// received. Exit code: 0 when every call answered as a working filter does,
// 1 when one did not, 2 when the DLL could not be loaded or on bad usage.
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "host/connection.h"
#include "host/filter_module.h"

namespace {

using namespace talverin::host;

const char kRequest[] =
    "GET / HTTP/1.1\r\n"
    "Host: localhost\r\n"
    "User-Agent: talverin-host-smoke\r\n"
    "Accept: */*\r\n"
    "\r\n";

const char kResponseBody[] = "<html><body>Published page</body></html>";

std::string Response() {
  return std::string("HTTP/1.1 200 OK\r\n") + "Content-Type: text/html\r\n" +
         "Content-Length: " + std::to_string(std::strlen(kResponseBody)) + "\r\n\r\n" + kResponseBody;
}

void PrintCall(const char* name, const CallResult& r) {
  if (!r.called) {
    std::printf("%s: not called (export missing), error %lu\n", name, r.lastError);
    return;
  }
  std::printf("%s -> %s, last error %lu\n", name, r.result ? "TRUE" : "FALSE", r.lastError);
}

void PrintVersion(const char* name, const VersionResult& r) {
  PrintCall(name, r);
  if (r.Succeeded()) {
    std::printf("  filter version %s, flags %s, description \"%s\"\n", Hex(r.version.dwFilterVersion).c_str(),
                Hex(r.version.dwFlags).c_str(), r.version.lpszFilterDesc);
  }
}

void PrintNotification(const NotificationResult& r) {
  if (r.delivered) {
    std::printf("%s -> %s, last error %lu\n", NotificationName(r.type).c_str(), StatusName(r.status).c_str(),
                r.lastError);
  } else {
    std::printf("%s: not delivered (%s)\n", NotificationName(r.type).c_str(), SkipReasonText(r.skipped));
  }
}

void PrintBytes(const std::string& bytes) {
  std::printf("Client received %zu bytes:\n", bytes.size());
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = bytes.find('\n', at);
    std::string line = bytes.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::printf("  | %s\n", line.c_str());
    at = end == std::string::npos ? bytes.size() : end + 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // ISA/TMG runs its filters on threads that have COM initialized; the
  // filter relies on it (it never initializes COM itself).
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2 || argc > 3) {
    std::printf("usage: talverin_host_smoke FILTER.dll [LISTENER_GUID]\n");
    return 2;
  }
  const std::string path = argv[1];
  const std::string listener = argc > 2 ? argv[2] : "{00000000-0000-0000-0000-000000000000}";

  FilterModule module(path);
  if (!module.IsLoaded()) {
    std::printf("LoadLibrary(\"%s\") failed, error %lu\n", path.c_str(), module.LoadError());
    std::printf("RESULT: the filter could not be loaded\n");
    return 2;
  }
  std::printf("Loaded %s\n", path.c_str());
  for (const std::string& name : module.MissingExports()) std::printf("  missing export: %s\n", name.c_str());

  StartResult start = module.Start();
  PrintVersion("GetWPXFilterVersion", start.wpx);
  PrintVersion("GetFilterVersion", start.isapi);
  if (!start.Succeeded()) {
    module.Unload();
    std::printf("RESULT: the filter did not start (a version call did not answer TRUE); no request driven\n");
    return 1;
  }

  bool working = true;
  {
    Connection connection(module);
    connection.SetServerVariable("REMOTE_ADDR", "127.0.0.1");
    connection.SetServerVariable("SERVER_PORT", "80");
    connection.SetServerVariable("LISTENER_GUID", listener);
    connection.SetRequestServerVariable("URL", "/");
    connection.SetRequestServerVariable("HTTP_HOST", "localhost");

    PrintNotification(connection.SendRawRequestData(kRequest));
    PrintNotification(connection.PreprocHeaders());
    PrintNotification(connection.SendRawResponseData(Response()));
    PrintNotification(connection.EndOfRequest());
    if (connection.IsClosed()) std::printf("The filter ended the request and the connection was closed.\n");

    PrintBytes(connection.ClientBytes());
    for (const std::string& violation : connection.Violations()) {
      std::printf("VIOLATION: %s\n", violation.c_str());
      working = false;
    }
  }

  CallResult terminate = module.Terminate();
  PrintCall("TerminateFilter", terminate);
  working = working && terminate.Succeeded();
  module.Unload();

  std::printf(working ? "RESULT: ok\n" : "RESULT: the filter did not answer as a working filter does\n");
  return working ? 0 : 1;
}
