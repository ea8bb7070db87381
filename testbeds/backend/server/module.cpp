#include "module.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace backend {

const CLSID CLSID_BackendInProc = {0xD6644A5B, 0xB472, 0x4C9C, {0xAF, 0x9B, 0xF4, 0xA9, 0x92, 0x50, 0x9E, 0xA6}};
const CLSID CLSID_BackendLocal = {0xC2F29DC9, 0x1957, 0x4830, {0x9C, 0xE6, 0x3D, 0xAC, 0x75, 0x4B, 0x1A, 0xD4}};

namespace {
std::atomic<Host> g_host{Host::InProc};
std::atomic<long> g_objects{0};
std::atomic<bool> g_hadObjects{false};
std::atomic<void (*)()> g_onLastObject{nullptr};
std::atomic<void (*)()> g_onShutdown{nullptr};
std::mutex g_consoleMutex;
}  // namespace

void SetHost(Host host) { g_host = host; }
Host CurrentHost() { return g_host; }

void AddObject() {
  ++g_objects;
  g_hadObjects = true;
}

void ReleaseObject() {
  if (--g_objects == 0) {
    if (auto callback = g_onLastObject.load()) callback();
  }
}

long LiveObjects() { return g_objects; }
bool HadObjects() { return g_hadObjects; }

void SetLastObjectCallback(void (*callback)()) { g_onLastObject = callback; }
void SetShutdownCallback(void (*callback)()) { g_onShutdown = callback; }

bool RequestShutdown() {
  auto callback = g_onShutdown.load();
  if (!callback) return false;
  callback();
  return true;
}

std::wstring ModuleDir() {
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ModuleDir), &self);
  wchar_t buffer[MAX_PATH] = {};
  DWORD length = GetModuleFileNameW(self, buffer, MAX_PATH);
  std::wstring path(buffer, length);
  return path.substr(0, path.rfind(L'\\') + 1);
}

void ConsoleLine(const std::wstring& line) {
  if (g_host != Host::Local) return;
  std::lock_guard<std::mutex> lock(g_consoleMutex);
  std::fwprintf(stdout, L"%ls\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace backend
