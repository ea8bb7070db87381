#pragma once
// One OutputDebugStringA line per call, independent of the trace log.
#include <string>

namespace talverin {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void DebugOutput(const char* format, ...);

// The text DebugOutput hands to the system: at most 1023 characters.
std::string FormatDebugOutput(const char* format, ...);

}  // namespace talverin
