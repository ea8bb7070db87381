// The machine-fault guard on its own (seh_guard.h): what it takes, what it
// leaves to handlers below it, and nesting on one thread (a host may call the
// filter again from inside a call it made). C++ exceptions caught inside the
// guard are the spine tests' daily fare.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "filter/seh_guard.h"

namespace talverin {
namespace {

constexpr DWORD kFaultResult = 0xFA;

// An address no thread may write, chosen at run time so the optimizer cannot see the fault coming.
volatile std::uintptr_t g_invalidAddress = 8;
void WriteToInvalidAddress() { *reinterpret_cast<volatile int*>(g_invalidAddress) = 1; }
DWORD Faulting() { return WriteToInvalidAddress(), DWORD{1}; }

struct Report {
  DWORD code;
  DWORD threadId;
  std::uintptr_t faultAddress;  // access violations: the address touched
};

struct Guarded {
  std::function<DWORD()> body;
  std::function<void(EXCEPTION_POINTERS*)> onReport;
  std::vector<Report> reports;
  bool escapes = false;

  DWORD Run() { return TalverinRunGuarded(&Body, &OnFault, this, kFaultResult); }
  static DWORD Body(void* self, int* escaped) {
    auto* guarded = static_cast<Guarded*>(self);
    return guarded->escapes ? (*escaped = 1, 0) : guarded->body();
  }
  static void OnFault(void* self, EXCEPTION_POINTERS* info) {
    auto* guarded = static_cast<Guarded*>(self);
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    guarded->reports.push_back({record.ExceptionCode, GetCurrentThreadId(),
                                record.NumberParameters >= 2 ? record.ExceptionInformation[1] : 0});
    if (guarded->onReport) guarded->onReport(info);
  }
};

// The head of the thread's exception handler list (32-bit Windows; unused
// but still a field of every thread on 64-bit Windows).
void* ExceptionListHead() { return reinterpret_cast<NT_TIB*>(NtCurrentTeb())->ExceptionList; }

TEST(SehGuardTest, FaultsAreReportedOnTheFaultingThreadAndAnsweredAndTheGuardServesOn) {
  void* headBefore = ExceptionListHead();
  Guarded guarded;
  guarded.body = Faulting;
  EXPECT_EQ(guarded.Run(), kFaultResult);
  ASSERT_EQ(guarded.reports.size(), 1u);
  EXPECT_EQ(guarded.reports[0].code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
  EXPECT_EQ(guarded.reports[0].threadId, GetCurrentThreadId());
  EXPECT_EQ(guarded.reports[0].faultAddress, g_invalidAddress);
  EXPECT_EQ(ExceptionListHead(), headBefore);
  // Each fault's dispatch takes a few KiB of stack; were it not given back,
  // these would overflow the thread's 1 MiB stack.
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(guarded.Run(), kFaultResult) << i;

  guarded.body = [] { return RaiseException(0xE0001234u, 0, 0, nullptr), DWORD{1}; };
  EXPECT_EQ(guarded.Run(), kFaultResult);
  EXPECT_EQ(guarded.reports.back().code, 0xE0001234u);
  guarded.escapes = true;
  EXPECT_EQ(guarded.Run(), kFaultResult);
  EXPECT_EQ(guarded.reports.back().code, TALVERIN_ESCAPED_EXCEPTION_CODE);
  guarded.escapes = false;
  guarded.body = [] { return DWORD{7}; };
  EXPECT_EQ(guarded.Run(), 7u);
  EXPECT_EQ(guarded.reports.size(), 2003u);
  EXPECT_EQ(ExceptionListHead(), headBefore);

  // IsBadReadPtr and IsBadWritePtr probe the memory under handlers of their own: the guard sees nothing.
  guarded.body = [] {
    int local = 0;
    return DWORD(IsBadReadPtr(reinterpret_cast<const void*>(g_invalidAddress), sizeof(int)) ? 1 : 0) |
           (IsBadWritePtr(reinterpret_cast<void*>(g_invalidAddress), sizeof(int)) ? 2 : 0) |
           (IsBadWritePtr(&local, sizeof local) ? 0 : 4);
  };
  EXPECT_EQ(guarded.Run(), 7u);
  EXPECT_EQ(guarded.reports.size(), 2003u);
}

// The report runs on top of the faulting stack: a guarded call made there (the dump step's own faults, say) is a
// guard nested inside the handler, and a fault of the report itself is contained without a second report.
TEST(SehGuardTest, NestedGuardsEachTakeTheirOwnFaultsAlsoInsideTheReport) {
  void* headBefore = ExceptionListHead();
  Guarded inner;
  inner.body = Faulting;
  Guarded outer;
  outer.body = [&inner] { return inner.Run() + 100; };
  EXPECT_EQ(outer.Run(), kFaultResult + 100);
  EXPECT_EQ(ExceptionListHead(), headBefore);
  outer.body = [&inner] { return inner.Run(), Faulting(); };  // after the inner guard returned: the outer's
  EXPECT_EQ(outer.Run(), kFaultResult);
  EXPECT_EQ(inner.reports.size(), 2u);
  EXPECT_EQ(outer.reports.size(), 1u);

  outer.onReport = [&inner](EXCEPTION_POINTERS*) { EXPECT_EQ(inner.Run(), kFaultResult); };
  EXPECT_EQ(outer.Run(), kFaultResult);
  EXPECT_EQ(inner.reports.size(), 4u);
  EXPECT_EQ(outer.reports.size(), 2u);
  outer.onReport = [](EXCEPTION_POINTERS*) { WriteToInvalidAddress(); };
  EXPECT_EQ(outer.Run(), kFaultResult);
  EXPECT_EQ(outer.reports.size(), 3u);
  outer.onReport = nullptr;
  EXPECT_EQ(outer.Run(), kFaultResult);
  EXPECT_EQ(outer.reports.size(), 4u);
}

}  // namespace
}  // namespace talverin
