#pragma once
// Faults that tests ask the back end to show: a member answers with a chosen
// HRESULT, an empty or mistyped result, a null object, a misshapen array or
// after a delay.
#include <windows.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace backend {

enum class FaultKind {
  HResult,
  Empty,
  WrongType,
  NullObject,
  Value,
  ArrayLowerBound1,
  Array2D,
  ArrayI2,
  ArrayEmpty,
  Delay,
  Exception,
};

struct Fault {
  FaultKind kind = FaultKind::HResult;
  long long number = 0;  // HRESULT, value or milliseconds
  std::wstring text;     // exception description
};

// Parses a kind name as written by tests ("hresult", "array-2d", ...).
std::optional<FaultKind> ParseFaultKind(const std::wstring& name);

class FaultTable {
 public:
  // member is "Member" or "Object.Member", optionally followed by ":get",
  // ":put" or ":method" to hit only that kind of call; count 0 means until cleared.
  void Inject(const std::wstring& member, FaultKind kind, const std::wstring& value, long count);
  void Clear();
  // The fault for this call, if any; counts one use of a limited fault. The
  // most specific entry wins: object and kind of call, then either, then neither.
  std::optional<Fault> Take(const wchar_t* object, const wchar_t* member, const wchar_t* callKind);

 private:
  struct Entry {
    Fault fault;
    long remaining = 0;  // 0: unlimited
  };
  std::mutex mutex_;
  std::map<std::wstring, Entry> entries_;  // lower-case key
};

FaultTable& Faults();

// Reads "123", "-5" or "0x8001010E" as a number; nullopt for anything else.
std::optional<long long> ParseNumber(const std::wstring& text);

}  // namespace backend
