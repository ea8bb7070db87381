/* The machine-fault guard: runs a body inside a frame-based structured
   exception handler. Compiler-specific, so kept in C behind this interface. */
#pragma once
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The guarded work. Sets *escaped when a C++ exception got out of it: the
   guard then raises kTalverinEscapedExceptionCode and treats that like any
   machine fault. */
typedef DWORD (*TalverinGuardedBody)(void* argument, int* escaped);
/* Runs on the faulting thread before the stack is unwound. */
typedef void (*TalverinFaultCallback)(void* argument, EXCEPTION_POINTERS* info);

#define TALVERIN_ESCAPED_EXCEPTION_CODE 0xE0544C46u

/* body's result, or faultResult after a structured exception, which has been
   handed to onFault first. */
DWORD TalverinRunGuarded(TalverinGuardedBody body, TalverinFaultCallback onFault, void* argument,
                         DWORD faultResult);

#ifdef __cplusplus
}
#endif
