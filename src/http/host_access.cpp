#include "http/host_access.h"

#include <cstring>

#include "base/secure.h"
#include "diag/trace_log.h"

namespace {

constexpr DWORD kFirstBufferSize = 1024;

// A zero-filled buffer of the given size; wiping, since cookies and
// credentials pass through it.
talverin::SecureString ZeroBuffer(std::size_t size) { return talverin::SecureString(size, '\0'); }

// The size the host asked for, plus one for a terminating NUL it may leave out.
std::size_t GrownSize(DWORD reported) {
  return reported >= MAXDWORD ? static_cast<std::size_t>(MAXDWORD) : static_cast<std::size_t>(reported) + 1;
}

std::string TextUpToNul(const talverin::SecureString& buffer) {
  return std::string(buffer.data(), strnlen(buffer.data(), buffer.size()));
}

}  // namespace

std::string GetServerVariableText(HTTP_FILTER_CONTEXT* pfc, const char* name) {
  talverin::SecureString buffer = ZeroBuffer(kFirstBufferSize);
  DWORD size = kFirstBufferSize;
  BOOL ok = pfc->GetServerVariable(pfc, const_cast<char*>(name), &buffer[0], &size);
  if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    buffer = ZeroBuffer(GrownSize(size));
    size = static_cast<DWORD>(buffer.size());
    ok = pfc->GetServerVariable(pfc, const_cast<char*>(name), &buffer[0], &size);
  }
  if (!ok) {
    TLOGF(1, "Calling GetServerVariable with variable '%s' failed with error %d.", name,
          static_cast<int>(GetLastError()));
  }
  return TextUpToNul(buffer);
}

std::string GetRequestHeaderText(HTTP_FILTER_PREPROC_HEADERS* headers, HTTP_FILTER_CONTEXT* pfc, const char* name) {
  talverin::SecureString buffer = ZeroBuffer(kFirstBufferSize);
  DWORD size = kFirstBufferSize;
  // A long header (a Negotiate token, say) must not read as absent: the
  // Authorization check depends on seeing it.
  if (!headers->GetHeader(pfc, const_cast<char*>(name), &buffer[0], &size) &&
      GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    buffer = ZeroBuffer(GrownSize(size));
    size = static_cast<DWORD>(buffer.size());
    headers->GetHeader(pfc, const_cast<char*>(name), &buffer[0], &size);
  }
  return TextUpToNul(buffer);
}
