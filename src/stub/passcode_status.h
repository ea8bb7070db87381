#pragma once
// How far the sending of one passcode has got, as the back end reports it.
#include <string>

#include "stub/abstract_stub.h"

namespace Stub {

class PasscodeStatusEx final : public AbstractStub {
 public:
  PasscodeStatusEx() = default;

  // Method calls without arguments; VT_EMPTY raises.
  int Status();
  int QueuePosition();
  int ExpireTicks();

  // "Status:<name>;Expires:<ticks>;QueuePosition:<position>". The three reads
  // are separate calls, not one snapshot.
  std::string GetStatusText();
};

// The name of a Status value in the status text; "" for values without one.
const char* PasscodeStatusName(int status) noexcept;

}  // namespace Stub
