#pragma once
// Shared by the host's tests: where the probe filter is, environment
// settings for its entry points, and reading back what it reported.
#include <windows.h>

#include <string>
#include <vector>

#include "host/connection.h"
#include "support/test_files.h"

namespace talverin::host::test {

inline std::string ProbePath() { return talverin::test::ExeDir() + "talverin_probe_filter.dll"; }

// An environment variable for the probe's entry points, removed afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::string& value) : name_(std::move(name)) {
    SetEnvironmentVariableA(name_.c_str(), value.c_str());
  }
  ~ScopedEnvironment() { SetEnvironmentVariableA(name_.c_str(), nullptr); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
};

// What the connection's client received from one source, piece by piece.
inline std::vector<std::string> Writes(const Connection& connection, ClientBytesSource source) {
  std::vector<std::string> pieces;
  for (const ClientWrite& write : connection.ClientWrites()) {
    if (write.source == source) pieces.push_back(write.bytes);
  }
  return pieces;
}

}  // namespace talverin::host::test
