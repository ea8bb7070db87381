/* One structured-exception guard per compiler. Common to all: the fault is
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

#elif defined(__GNUC__) && defined(__i386__)

/* 32-bit GCC: a registration record on the stack, chained into the thread's
   exception list in plain C (excpt.h's __try1 pushes onto the stack behind the
   compiler's back, which breaks stack-relative addressing of locals).

   Limited by design: the handler reports the fault and then lets the search
   go on, so the fault is dumped and counted but NOT contained; whatever
   handles it above (the host) decides the process's fate. Containing it would
   mean unwinding to a continuation inside this frame, which GCC offers on
   32-bit only through hand-written assembly. The shipping build is 64-bit;
   this one only has to compile and to behave no worse than no guard at all.
   No C++ exception crosses this frame (the body catches everything), so the
   record is always removed on the way out. */
typedef struct GuardFrame {
  EXCEPTION_REGISTRATION_RECORD record; /* first: the system sees this */
  TalverinFaultCallback onFault;
  void* argument;
  int reported;
} GuardFrame;

static EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* exceptionRecord, void* establisherFrame,
                                                  CONTEXT* context, void* dispatcherContext) {
  GuardFrame* frame = (GuardFrame*)establisherFrame;
  EXCEPTION_POINTERS info;
  (void)dispatcherContext;
  if (exceptionRecord->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  if (!frame->reported && frame->onFault) {
    frame->reported = 1;
    info.ExceptionRecord = exceptionRecord;
    info.ContextRecord = context;
    frame->onFault(frame->argument, &info);
  }
  return ExceptionContinueSearch;
}

/* GCC 12 takes the fs-relative read inside NtCurrentTeb for an access to a
   zero-length array. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
static NT_TIB* ThreadInformationBlock(void) { return (NT_TIB*)NtCurrentTeb(); }
#pragma GCC diagnostic pop

DWORD TalverinRunGuarded(TalverinGuardedBody body, TalverinFaultCallback onFault, void* argument,
                         DWORD faultResult) {
  NT_TIB* tib = ThreadInformationBlock();
  GuardFrame frame;
  int escaped = 0;
  DWORD result;
  frame.record.Next = tib->ExceptionList;
  frame.record.Handler = (PEXCEPTION_ROUTINE)GuardHandler;
  frame.onFault = onFault;
  frame.argument = argument;
  frame.reported = 0;
  tib->ExceptionList = &frame.record;
  result = body(argument, &escaped);
  if (escaped) {
    /* Raising it would only reach the host (see above), so the callback
       gets a record of our own, with this frame's context. */
    EXCEPTION_RECORD record;
    EXCEPTION_POINTERS info;
    CONTEXT context;
    ZeroMemory(&record, sizeof record);
    ZeroMemory(&context, sizeof context);
    record.ExceptionCode = TALVERIN_ESCAPED_EXCEPTION_CODE;
    RtlCaptureContext(&context);
    info.ExceptionRecord = &record;
    info.ContextRecord = &context;
    if (onFault) onFault(argument, &info);
    result = faultResult;
  }
  tib->ExceptionList = frame.record.Next;
  return result;
}

#else
#error "No structured-exception guard for this compiler"
#endif
