#pragma once
// The DISPIDs of the back end's members as one connection's back end answered
// them. Looking a member up by name costs a call of its own (a round trip to
// another process in production), so each is looked up once per connection;
// a reset starts a new cache, and a remembered DISPID that the back end no
// longer knows is looked up again.
#include <windows.h>
#include <oleauto.h>

#include <atomic>
#include <cstddef>

namespace Stub {

// One slot per member and object kind: two objects may give one name
// different DISPIDs.
enum class MemberSlot : unsigned char {
  MasterStore,
  MasterProxy,
  MasterServer,
  StoreCreateSession,
  StoreGetSession,
  SessionState,
  SessionUrl,
  SessionFbaCookieDomain,
  SessionUsername,
  SessionPassword,
  SessionToken,
  SessionBypass,
  SessionAllowedResult,
  ProxyRequestPasscode,
  ProxyAuthenticate,
  ProxyCheckAuthenticationAllowed,
  ProxyReportPasswordAuthenticationStatus,
  ProxyGetStatus,
  HtmlRenderHtmlPage,
  HtmlRenderPicture,
  StatusStatus,
  StatusQueuePosition,
  StatusExpireTicks,
  Count
};

// Shared by every proxy of one connection; lock-free, because every
// notification thread reads it.
class DispidCache {
 public:
  DispidCache() noexcept {
    for (std::atomic<DISPID>& id : ids_) id.store(DISPID_UNKNOWN, std::memory_order_relaxed);
  }
  DispidCache(const DispidCache&) = delete;
  DispidCache& operator=(const DispidCache&) = delete;

  // DISPID_UNKNOWN when the member has not been looked up yet.
  DISPID Find(MemberSlot slot) const noexcept { return ids_[Index(slot)].load(std::memory_order_acquire); }
  void Remember(MemberSlot slot, DISPID id) noexcept { ids_[Index(slot)].store(id, std::memory_order_release); }
  void Forget(MemberSlot slot) noexcept { Remember(slot, DISPID_UNKNOWN); }

 private:
  static std::size_t Index(MemberSlot slot) noexcept { return static_cast<std::size_t>(slot); }
  std::atomic<DISPID> ids_[static_cast<std::size_t>(MemberSlot::Count)];
};

}  // namespace Stub
