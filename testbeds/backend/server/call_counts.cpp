#include "call_counts.h"

namespace backend {

void CallCounts::Count(const wchar_t* object, const wchar_t* member, const wchar_t* kind) {
  std::wstring key = object;
  key += L'.';
  key += member;
  key += L' ';
  key += kind;
  std::lock_guard<std::mutex> guard(mutex_);
  ++counts_[key];
}

void CallCounts::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  counts_.clear();
}

std::wstring CallCounts::Text() {
  std::lock_guard<std::mutex> guard(mutex_);
  std::wstring text;
  for (const auto& entry : counts_) {
    text += entry.first + L' ' + std::to_wstring(entry.second) + L"\r\n";
  }
  return text;
}

CallCounts& Counts() {
  static CallCounts counts;
  return counts;
}

}  // namespace backend
