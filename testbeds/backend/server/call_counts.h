#pragma once
// How often each member of the back end has been looked up and invoked, so
// that tests and benchmarks can see what a client's traffic costs.
#include <map>
#include <mutex>
#include <string>

namespace backend {

class CallCounts {
 public:
  // kind: "lookup", "get", "put" or "method".
  void Count(const wchar_t* object, const wchar_t* member, const wchar_t* kind);
  void Clear();
  // One line per member and kind, "Object.Member kind count", sorted, CRLF
  // after each.
  std::wstring Text();

 private:
  std::mutex mutex_;
  std::map<std::wstring, long long> counts_;
};

// Process-wide: every object of the back end counts into it.
CallCounts& Counts();

}  // namespace backend
