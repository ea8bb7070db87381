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

// Asks the host for a text through ask(buffer, &size): first into a buffer
// on the stack (most values are short), then, when the host says it needs
// more, into one of the size it asked for. Both are wiped: cookies and
// credentials pass through them. ok tells whether the host gave the text.
template <class Ask>
std::string AskHostText(Ask ask, bool& ok) {
  char first[kFirstBufferSize];
  first[0] = '\0';
  DWORD size = kFirstBufferSize;
  ok = ask(first, &size) != FALSE;
  const bool tooSmall = !ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER;
  std::string text;
  if (ok) text.assign(first, strnlen(first, kFirstBufferSize));
  talverin::SecureZero(first, ok && size < kFirstBufferSize ? size : kFirstBufferSize);
  if (!tooSmall) return text;
  talverin::SecureString buffer = ZeroBuffer(GrownSize(size));
  size = static_cast<DWORD>(buffer.size());
  ok = ask(&buffer[0], &size) != FALSE;
  if (ok) text.assign(buffer.data(), strnlen(buffer.data(), buffer.size()));
  return text;
}

}  // namespace

std::string GetServerVariableText(HTTP_FILTER_CONTEXT* pfc, const char* name) {
  bool ok = false;
  std::string text = AskHostText(
      [&](char* buffer, DWORD* size) { return pfc->GetServerVariable(pfc, const_cast<char*>(name), buffer, size); },
      ok);
  if (!ok) {
    TLOGF(1, "Calling GetServerVariable with variable '%s' failed with error %d.", name,
          static_cast<int>(GetLastError()));
  }
  return text;
}

std::string GetRequestHeaderText(HTTP_FILTER_PREPROC_HEADERS* headers, HTTP_FILTER_CONTEXT* pfc, const char* name) {
  // A long header (a Negotiate token, say) must not read as absent: the
  // Authorization check depends on seeing it.
  bool ok = false;
  return AskHostText(
      [&](char* buffer, DWORD* size) { return headers->GetHeader(pfc, const_cast<char*>(name), buffer, size); }, ok);
}
