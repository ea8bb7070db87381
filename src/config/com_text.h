#pragma once
// Narrow strings (the thread's ANSI code page) to and from BSTR.
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "base/win.h"

namespace talverin {

// The text of a BSTR in CP_THREAD_ACP; a null BSTR gives the empty string.
// Throws HRXEx when the conversion fails.
std::string BstrToNarrow(BSTR text);

// A new BSTR of the text converted from CP_THREAD_ACP; null when it cannot be
// made (out of memory or an unconvertible text).
UniqueBstr NarrowToBstr(const std::string& text);

}  // namespace talverin
