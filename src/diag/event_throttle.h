#pragma once
// The rate limit of attack events: at most one event per kind and client
// address per window, so that an attacker cannot flood the event log; the
// events held back are counted and told with the next one written.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace talverin {

class EventThrottle {
 public:
  // windowSeconds: the length of one window; maxKeys: the kinds and addresses
  // remembered at once (a flood from many addresses shares one key beyond it).
  explicit EventThrottle(std::int64_t windowSeconds = 60, std::size_t maxKeys = 4096);

  // Whether an event of this kind from this address may be written at `now`
  // (seconds on a clock that does not go back). When it may, heldBack is the
  // number of such events held back since the last one written.
  bool Admit(unsigned kind, const std::string& address, std::int64_t now, std::uint64_t& heldBack);

 private:
  struct Window {
    std::int64_t start = 0;
    std::uint64_t held = 0;
  };
  using Key = std::pair<unsigned, std::string>;

  void ForgetExpired(std::int64_t now);

  std::int64_t windowSeconds_;
  std::size_t maxKeys_;
  std::map<Key, Window> windows_;
};

}  // namespace talverin
