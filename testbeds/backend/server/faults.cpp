#include "faults.h"

#include <cwchar>
#include <cwctype>
#include <stdexcept>

namespace backend {

namespace {

std::wstring Lower(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(std::towlower(c));
  return s;
}

}  // namespace

std::optional<FaultKind> ParseFaultKind(const std::wstring& name) {
  static const struct {
    const wchar_t* name;
    FaultKind kind;
  } kKinds[] = {
      {L"hresult", FaultKind::HResult},          {L"empty", FaultKind::Empty},
      {L"wrongtype", FaultKind::WrongType},      {L"nullobject", FaultKind::NullObject},
      {L"value", FaultKind::Value},              {L"array-lbound1", FaultKind::ArrayLowerBound1},
      {L"array-2d", FaultKind::Array2D},         {L"array-i2", FaultKind::ArrayI2},
      {L"array-empty", FaultKind::ArrayEmpty},   {L"delay", FaultKind::Delay},
      {L"exception", FaultKind::Exception},
  };
  const std::wstring lower = Lower(name);
  for (const auto& k : kKinds) {
    if (lower == k.name) return k.kind;
  }
  return std::nullopt;
}

std::optional<long long> ParseNumber(const std::wstring& text) {
  if (text.empty()) return std::nullopt;
  const wchar_t* begin = text.c_str();
  wchar_t* end = nullptr;
  errno = 0;
  long long value;
  if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
    value = static_cast<long long>(std::wcstoull(begin + 2, &end, 16));
  } else {
    value = std::wcstoll(begin, &end, 10);
  }
  if (errno != 0 || end == begin || *end != L'\0') return std::nullopt;
  return value;
}

void FaultTable::Inject(const std::wstring& member, FaultKind kind, const std::wstring& value, long count) {
  Fault fault;
  fault.kind = kind;
  fault.text = value;
  if (kind == FaultKind::HResult || kind == FaultKind::Value || kind == FaultKind::Delay) {
    auto number = ParseNumber(value);
    if (!number) throw std::invalid_argument("fault value is not a number");
    fault.number = *number;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[Lower(member)] = Entry{fault, count > 0 ? count : 0};
}

void FaultTable::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

std::optional<Fault> FaultTable::Take(const wchar_t* object, const wchar_t* member, const wchar_t* callKind) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.empty()) return std::nullopt;
  const std::wstring plain = Lower(member);
  const std::wstring qualified = Lower(object) + L"." + plain;
  const std::wstring kind = std::wstring(L":") + callKind;
  auto it = entries_.end();
  for (const std::wstring& key : {qualified + kind, plain + kind, qualified, plain}) {
    it = entries_.find(key);
    if (it != entries_.end()) break;
  }
  if (it == entries_.end()) return std::nullopt;
  Fault fault = it->second.fault;
  if (it->second.remaining > 0 && --it->second.remaining == 0) entries_.erase(it);
  return fault;
}

FaultTable& Faults() {
  static FaultTable table;
  return table;
}

}  // namespace backend
