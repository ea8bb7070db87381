#pragma once
// A host filter context for unit tests: its callbacks record what the filter asks of the host and answer
// like the host does (ERROR_INSUFFICIENT_BUFFER with the needed size, AllocMem blocks the host owns).
#include <windows.h>
#include <httpfilt.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/trace_capture.h"  // tests of the host calls read the log too

namespace talverin::test {

class FakeFilterContext {
 public:
  struct SupportCall {
    SF_REQ_TYPE request;
    std::string status;
    std::string headers;
    ULONG_PTR ul2;
    ULONG_PTR flags;  // ul1 of the requests that pass a number there
  };
  struct Lookup {
    std::string name;
    DWORD bufferSize;
  };

  FakeFilterContext() {
    pfc_.cbSize = sizeof pfc_;
    pfc_.Revision = HTTP_FILTER_REVISION;
    pfc_.ServerContext = this;
    pfc_.GetServerVariable = &Answer<&FakeFilterContext::variableLookups, &FakeFilterContext::serverVariables>;
    pfc_.WriteClient = &WriteClient;
    pfc_.AllocMem = &AllocMem;
    pfc_.ServerSupportFunction = &ServerSupportFunction;
    headerRecord_.GetHeader = &Answer<&FakeFilterContext::headerLookups, &FakeFilterContext::requestHeaders>;
  }
  FakeFilterContext(const FakeFilterContext&) = delete;
  FakeFilterContext& operator=(const FakeFilterContext&) = delete;

  HTTP_FILTER_CONTEXT* pfc() { return &pfc_; }
  HTTP_FILTER_PREPROC_HEADERS* headerRecord() { return &headerRecord_; }

  // What the host knows. Names of request headers carry their colon.
  std::map<std::string, std::string> serverVariables;
  std::map<std::string, std::string> requestHeaders;
  bool alwaysTooSmall = false;  // as a host might whose value grows between two calls
  bool allocFails = false;

  // What the filter asked.
  std::vector<SupportCall> supportCalls;
  std::vector<std::string> writes;
  std::vector<std::string> order;  // "support" / "write", in call order
  std::vector<DWORD> allocations;
  std::vector<Lookup> variableLookups;
  std::vector<Lookup> headerLookups;

  const void* lastBlock() const { return blocks_.empty() ? nullptr : blocks_.back()->data(); }

 private:
  static auto& Of(HTTP_FILTER_CONTEXT* pfc) { return *static_cast<FakeFilterContext*>(pfc->ServerContext); }

  // GetServerVariable and GetHeader, each with its own values and record of lookups.
  template <auto kLookups, auto kValues>
  static BOOL WINAPI Answer(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size) {
    FakeFilterContext& self = Of(pfc);
    (self.*kLookups).push_back({name, *size});
    const auto it = (self.*kValues).find(name);
    if (it == (self.*kValues).end()) {
      SetLastError(ERROR_INVALID_INDEX);
      return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(it->second.size() + 1);
    const bool fits = !self.alwaysTooSmall && *size >= needed;
    if (fits) std::memcpy(buffer, it->second.c_str(), needed);
    if (!fits) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    *size = needed;
    return fits;
  }
  static BOOL WINAPI WriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes, DWORD) {
    Of(pfc).writes.emplace_back(static_cast<const char*>(buffer), *bytes);
    Of(pfc).order.push_back("write");
    return TRUE;
  }
  static void* WINAPI AllocMem(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD) {
    FakeFilterContext& self = Of(pfc);
    self.allocations.push_back(size);
    if (self.allocFails) return nullptr;
    // Garbage, as host memory may be: the filter must fill every byte.
    self.blocks_.push_back(std::make_unique<std::vector<char>>(size, '\xCD'));
    return self.blocks_.back()->data();
  }
  static BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT* pfc, SF_REQ_TYPE request, PVOID data, ULONG_PTR ul1,
                                           ULONG_PTR ul2) {
    FakeFilterContext& self = Of(pfc);
    // Only the response header request passes a text in ul1; the others a number (the notification mask).
    const bool textInUl1 = request == SF_REQ_SEND_RESPONSE_HEADER && ul1 != 0;
    self.supportCalls.push_back({request, data ? static_cast<const char*>(data) : "",
                                 textInUl1 ? reinterpret_cast<const char*>(ul1) : "", ul2, ul1});
    self.order.push_back("support");
    return TRUE;
  }

  HTTP_FILTER_CONTEXT pfc_{};
  HTTP_FILTER_PREPROC_HEADERS headerRecord_{};
  std::vector<std::unique_ptr<std::vector<char>>> blocks_;
};

}  // namespace talverin::test
