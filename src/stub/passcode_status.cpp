#include "stub/passcode_status.h"

#include <cstdio>

namespace Stub {
namespace {

constexpr Member kStatus = MethodCall(MemberSlot::StatusStatus, L"Status");
constexpr Member kQueuePosition = MethodCall(MemberSlot::StatusQueuePosition, L"QueuePosition");
constexpr Member kExpireTicks = MethodCall(MemberSlot::StatusExpireTicks, L"ExpireTicks");

}  // namespace

const char* PasscodeStatusName(int status) noexcept {
  static const char* const kNames[] = {"None", "Queued", "Sending", "Sent", "Failure", "Skipped", "Unknown"};
  const unsigned index = static_cast<unsigned>(status);
  return index < sizeof kNames / sizeof kNames[0] ? kNames[index] : "";
}

int PasscodeStatusEx::Status() { return Call(kStatus, IntegerResult{OnEmpty::Raise}); }
int PasscodeStatusEx::QueuePosition() { return Call(kQueuePosition, IntegerResult{OnEmpty::Raise}); }
int PasscodeStatusEx::ExpireTicks() { return Call(kExpireTicks, IntegerResult{OnEmpty::Raise}); }

std::string PasscodeStatusEx::GetStatusText() {
  const char* name = PasscodeStatusName(Status());
  const int queuePosition = QueuePosition();
  const int expireTicks = ExpireTicks();
  char text[96];
  std::snprintf(text, sizeof text, "Status:%s;Expires:%d;QueuePosition:%d", name, expireTicks, queuePosition);
  return text;
}

}  // namespace Stub
