#include "diag/event_throttle.h"

namespace talverin {

namespace {

// Beyond the remembered keys every address of a kind counts as this one.
const char kOverflowAddress[] = "(many addresses)";

}  // namespace

EventThrottle::EventThrottle(std::int64_t windowSeconds, std::size_t maxKeys)
    : windowSeconds_(windowSeconds), maxKeys_(maxKeys) {}

void EventThrottle::ForgetExpired(std::int64_t now) {
  for (auto it = windows_.begin(); it != windows_.end();) {
    // A window that has run out with nothing held back tells nothing more.
    if (now - it->second.start >= windowSeconds_ && it->second.held == 0)
      it = windows_.erase(it);
    else
      ++it;
  }
}

bool EventThrottle::Admit(unsigned kind, const std::string& address, std::int64_t now, std::uint64_t& heldBack) {
  heldBack = 0;
  Key key(kind, address);
  auto it = windows_.find(key);
  if (it == windows_.end()) {
    if (windows_.size() >= maxKeys_) ForgetExpired(now);
    if (windows_.size() >= maxKeys_) key.second = kOverflowAddress;
    it = windows_.find(key);
    if (it == windows_.end()) {
      windows_.emplace(key, Window{now, 0});
      return true;
    }
  }
  Window& window = it->second;
  if (now - window.start < windowSeconds_) {
    ++window.held;
    return false;
  }
  heldBack = window.held;
  window = Window{now, 0};
  return true;
}

}  // namespace talverin
