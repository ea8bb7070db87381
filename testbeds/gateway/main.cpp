// talverin_gateway CONFIG [--listen HOST:PORT] [--no-filter] [--check]
//
// Publishes the built-in site or an upstream server through the ISA/TMG
// emulation and the filter DLL on a real socket. Exit codes: 0 after a
// graceful stop (or a good --check), 1 when the gateway cannot start, 2 for
// bad usage or bad configuration.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "gateway/gateway.h"

namespace {

using namespace talverin::gateway;

std::mutex printLock;
HANDLE stopEvent = nullptr;

void PrintLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(printLock);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
    SetEvent(stopEvent);
    return TRUE;
  }
  return FALSE;
}

// One command per line; the end of input leaves the gateway running.
void ReadCommands(Gateway& gateway) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  std::string pending;
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(input, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    pending.append(buffer, got);
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string command = pending.substr(0, end);
      pending.erase(0, end + 1);
      size_t first = command.find_first_not_of(" \t\r"), last = command.find_last_not_of(" \t\r");
      command = first == std::string::npos ? std::string() : command.substr(first, last - first + 1);
      if (command.empty()) continue;
      if (command == "reload") {
        PrintLine(gateway.Reload());
      } else if (command == "quit") {
        SetEvent(stopEvent);
        return;
      } else {
        PrintLine("Unknown command \"" + command + "\" (commands: reload, quit)");
      }
    }
  }
}

int Usage() {
  std::fprintf(stderr, "usage: talverin_gateway CONFIG [--listen HOST:PORT] [--no-filter] [--check]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  // Lines end in "\n" alone: scripts read them on Linux.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::string configPath, listen;
  bool noFilter = false, check = false;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--no-filter") {
      noFilter = true;
    } else if (argument == "--check") {
      check = true;
    } else if (argument == "--listen" && i + 1 < argc) {
      listen = argv[++i];
    } else if (!argument.empty() && argument[0] != '-' && configPath.empty()) {
      configPath = argument;
    } else {
      return Usage();
    }
  }
  if (configPath.empty()) return Usage();

  GatewayConfig config;
  try {
    config = LoadGatewayConfig(configPath, !noFilter);
    if (!listen.empty() && !ParseListenAddress(listen, &config.listen)) {
      std::fprintf(stderr, "--listen %s: expected an IPv4 address and a port (127.0.0.1:0)\n", listen.c_str());
      return 2;
    }
    if (check) {
      WriteDerivedFiles(config);
      return 0;
    }
  } catch (const ConfigError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }

  stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  GatewayOptions options;
  options.noFilter = noFilter;
  options.accessLog = PrintLine;
  Gateway gateway(std::move(config), options);
  try {
    gateway.Start();
  } catch (const GatewayError& e) {
    std::fprintf(stderr, "Gateway: %s\n", e.what());
    return 1;
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  PrintLine("Gateway ready: " + gateway.Url());
  // Left blocked in its read when the gateway stops; the process ends it.
  std::thread(ReadCommands, std::ref(gateway)).detach();

  WaitForSingleObject(stopEvent, INFINITE);
  gateway.Stop();
  PrintLine("Gateway stopped");
  ExitProcess(0);
}
