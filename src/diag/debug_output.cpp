#include "diag/debug_output.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace talverin {
namespace {

void FormatInto(char (&buffer)[1024], const char* format, va_list args) {
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (n < 0) buffer[0] = '\0';
  buffer[sizeof buffer - 1] = '\0';
}

}  // namespace

void DebugOutput(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  FormatInto(buffer, format, args);
  va_end(args);
  OutputDebugStringA(buffer);
}

std::string FormatDebugOutput(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  FormatInto(buffer, format, args);
  va_end(args);
  return buffer;
}

}  // namespace talverin
