/* The structured-exception guard of the 32-bit GCC build (ISA Server 2004 and
   2006 run on 32-bit Windows). MSVC builds of either width and GCC 64-bit
   builds use seh_guard.c.

   How 32-bit Windows finds a handler. Every thread keeps a singly linked list
   of registration records on its own stack; the head is the first field of
   the thread information block, at fs:[0]. Each record holds the next record
   and a handler function. Code that wants to see exceptions pushes a record
   on entry and pops it on exit, so the list runs from the innermost frame
   (head) to the outermost. When a fault happens the system walks the list
   from the head and calls each handler:
     - a handler answers ExceptionContinueSearch to pass the fault on to the
       next (outer) record, or ExceptionContinueExecution to retry the faulting
       instruction;
     - a handler that takes the fault does not return at all: it first calls
       RtlUnwind, which calls every record between the head and its own a
       second time with EXCEPTION_UNWINDING set (so inner frames can clean up)
       and removes them from the list, and then it continues in its own frame.
   Because inner records come first, a fault that code below the guard handles
   itself never reaches this guard; the guard only takes what nobody below it
   handled.

   This guard's record lives in TalverinRunGuarded's stack frame together with
   a resume point saved before the body runs. Its handler reports the fault
   (dump and count, on the faulting thread while its state is intact), calls
   RtlUnwind to drop every record above its own, and jumps to the resume point,
   where the record is unlinked and faultResult answered. What the jump
   abandons is the stack between the fault and the guard, including the
   system's exception dispatch frames; MSVC's __except leaves them the same
   way.

   Only GCC-specific constructs in this file (it is never built by MSVC):
   __builtin_setjmp/__builtin_longjmp for the resume point, because the C
   library's setjmp on 32-bit Windows runs its own unwinding of the exception
   list on longjmp and expects MSVC's record layout; and an attribute that
   realigns the stack in the handler, which the system calls with 4-byte
   alignment where GCC code may expect 16.

   Destructors of C++ frames between the fault and this guard do not run, so a
   lock held there stays held; the guard exists to keep the host process
   alive, not to make the faulting request consistent. No C++ exception may
   cross this frame (the body reports one through *escaped instead): the
   record would stay linked to a dead stack frame. */
#include "filter/seh_guard.h"

#if !(defined(__GNUC__) && defined(__i386__))
#error "seh_guard_x86.c is the 32-bit GCC guard; other compilers use seh_guard.c"
#endif

typedef struct GuardFrame {
  /* First member: the list links point at it, and the handler gets its
     address back as the establisher frame, which is then this whole struct. */
  EXCEPTION_REGISTRATION_RECORD record;
  /* __builtin_setjmp's buffer: frame pointer, resume address, stack pointer. */
  void* resume[5];
  TalverinFaultCallback onFault;
  void* argument;
  volatile int reporting;
} GuardFrame;

/* GCC 12 takes the fs-relative read inside NtCurrentTeb for an access to a
   zero-length array. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
static EXCEPTION_REGISTRATION_RECORD* volatile* ExceptionListHead(void) {
  return &((NT_TIB*)NtCurrentTeb())->ExceptionList;
}
#pragma GCC diagnostic pop

static __attribute__((force_align_arg_pointer)) EXCEPTION_DISPOSITION NTAPI GuardHandler(
    EXCEPTION_RECORD* exceptionRecord, void* establisherFrame, CONTEXT* context, void* dispatcherContext) {
  GuardFrame* frame = (GuardFrame*)establisherFrame;
  EXCEPTION_POINTERS info;
  (void)dispatcherContext;
  /* An unwind passing through (one that code outside the guard started, such
     as a longjmp past it): nothing to clean up, the record goes with it. */
  if (exceptionRecord->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;

  /* A fault inside the report itself reaches this frame again (the report
     runs on top of the first fault's stack, so the list still holds this
     record): it is contained without a second report instead of recursing. */
  if (!frame->reporting && frame->onFault) {
    frame->reporting = 1;
    info.ExceptionRecord = exceptionRecord;
    info.ContextRecord = context;
    frame->onFault(frame->argument, &info);
  }

  /* Removes every record above this one (the body's, the dispatcher's own)
     after giving each its unwinding call; afterwards fs:[0] is this record.
     On 32-bit Windows RtlUnwind returns to its caller. */
  RtlUnwind(&frame->record, NULL, exceptionRecord, NULL);
  __builtin_longjmp(frame->resume, 1);
}

DWORD TalverinRunGuarded(TalverinGuardedBody body, TalverinFaultCallback onFault, void* argument,
                         DWORD faultResult) {
  GuardFrame frame;
  /* Memory, not a register: it must hold its value across the jump back. */
  volatile DWORD result = faultResult;
  frame.onFault = onFault;
  frame.argument = argument;
  frame.reporting = 0;
  frame.record.Handler = GuardHandler;
  frame.record.Next = *ExceptionListHead();

  /* 0 now; 1 when the handler jumps back here after a fault. */
  if (__builtin_setjmp(frame.resume) == 0) {
    int escaped = 0;
    DWORD answer;
    *ExceptionListHead() = &frame.record;
    answer = body(argument, &escaped);
    /* Handled like a machine fault: reported through the handler above. */
    if (escaped) RaiseException(TALVERIN_ESCAPED_EXCEPTION_CODE, EXCEPTION_NONCONTINUABLE, 0, NULL);
    result = answer;
  }
  /* Either way this record is the head again: the body pushed and popped its
     own in pairs, or RtlUnwind removed them. */
  *ExceptionListHead() = frame.record.Next;
  return result;
}
