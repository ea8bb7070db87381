/* One structured-exception guard per compiler (the 32-bit GCC one is
   seh_guard_x86.c). Common to all: the fault is
   reported to the callback from the exception filter, on the faulting thread
   while its state is intact. Destructors of C++ frames between the fault and
   this guard do not run, so a lock held there stays held; the guard exists to
   keep the host process alive, not to make the faulting request consistent. */
#include "filter/seh_guard.h"

#if defined(_MSC_VER)

static LONG Filter(EXCEPTION_POINTERS* info, TalverinFaultCallback onFault, void* argument) {
  if (onFault) onFault(argument, info);
  return EXCEPTION_EXECUTE_HANDLER;
}

DWORD TalverinRunGuarded(TalverinGuardedBody body, TalverinFaultCallback onFault, void* argument,
                         DWORD faultResult) {
  DWORD result = faultResult;
  __try {
    int escaped = 0;
    DWORD answer = body(argument, &escaped);
    if (escaped) RaiseException(TALVERIN_ESCAPED_EXCEPTION_CODE, EXCEPTION_NONCONTINUABLE, 0, NULL);
    result = answer;
  } __except (Filter(GetExceptionInformation(), onFault, argument)) {
    result = faultResult;
  }
  return result;
}

#elif defined(__GNUC__) && defined(__x86_64__)

#include <excpt.h>

/* __C_specific_handler calls the filter with the exception pointers and the
   establisher frame only, so the callback of the running guard is found
   through the thread. */
typedef struct GuardState {
  TalverinFaultCallback onFault;
  void* argument;
  volatile int reporting;
} GuardState;

static __thread GuardState* currentGuard;

/* Named in the scope table that __try1 emits: external, C linkage. */
LONG TalverinSehGuardFilter(EXCEPTION_POINTERS* info, void* establisherFrame);
LONG TalverinSehGuardFilter(EXCEPTION_POINTERS* info, void* establisherFrame) {
  GuardState* state = currentGuard;
  (void)establisherFrame;
  /* A fault inside the report itself passes this frame again: it is
     contained without a second report instead of recursing. */
  if (state && state->onFault && !state->reporting) {
    state->reporting = 1;
    state->onFault(state->argument, info);
  }
  return EXCEPTION_EXECUTE_HANDLER;
}

/* Kept out of line: the guarded scope must hold nothing but this one call.
   GCC knows nothing of the scope's bounds and may move a rarely taken branch
   (the raise below) out of them, where no guard would see it. */
static __attribute__((noinline)) DWORD RunBody(TalverinGuardedBody body, void* argument) {
  int escaped = 0;
  DWORD answer = body(argument, &escaped);
  if (escaped) RaiseException(TALVERIN_ESCAPED_EXCEPTION_CODE, EXCEPTION_NONCONTINUABLE, 0, NULL);
  return answer;
}

/* __try1/__except1 mark a scope handled by __C_specific_handler; after a
   fault the unwind resumes at the end of the scope with the non-volatile
   registers and the frame restored. Only memory survives, hence the volatile
   locals; the result is written only when the body has returned. */
DWORD TalverinRunGuarded(TalverinGuardedBody body, TalverinFaultCallback onFault, void* argument,
                         DWORD faultResult) {
  GuardState state;
  GuardState* volatile previous = currentGuard;
  volatile DWORD result = faultResult;
  state.onFault = onFault;
  state.argument = argument;
  state.reporting = 0;
  currentGuard = &state;
  __try1(TalverinSehGuardFilter) {
    result = RunBody(body, argument);
  }
  /* excpt.h's __except1, spelt with __asm__ so that ISO C mode accepts it. */
  __asm__ __volatile__("\tnop\n\t.l_endw: nop\n");
  currentGuard = previous;
  return result;
}

#else
#error "No structured-exception guard for this compiler"
#endif
