#pragma once
// Narrow strings (the thread's ANSI code page) to and from BSTR: the one
// conversion of the store reads and the back-end client.
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "base/error.h"
#include "base/win.h"

namespace talverin {

// The text of a BSTR in CP_THREAD_ACP; a null BSTR gives the empty string.
// Raises HRXEx of the caller's category when the conversion fails.
std::string BstrToNarrow(BSTR text, ErrorCategory category);

// A new BSTR of the text converted from CP_THREAD_ACP; null when it cannot be
// made (out of memory or an unconvertible text).
UniqueBstr NarrowToBstr(const std::string& text);

}  // namespace talverin
