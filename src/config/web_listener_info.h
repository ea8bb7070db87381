#pragma once
// One web listener's configuration as read from the ISA/TMG store.
#include <map>
#include <string>
#include <vector>

namespace talverin {

struct WebListenerInfo {
  std::string Name;
  std::string FBACookieName;
  bool Enabled = false;
  bool RpcOverHttpAllowed = false;
  bool ActiveSyncAllowed = false;
  bool AutoDiscoverAllowed = false;
  std::vector<std::string> FBACookieDomains;
  std::vector<std::string> CustomExclusionList;

  bool operator==(const WebListenerInfo& o) const {
    return Name == o.Name && FBACookieName == o.FBACookieName && Enabled == o.Enabled &&
           RpcOverHttpAllowed == o.RpcOverHttpAllowed && ActiveSyncAllowed == o.ActiveSyncAllowed &&
           AutoDiscoverAllowed == o.AutoDiscoverAllowed && FBACookieDomains == o.FBACookieDomains &&
           CustomExclusionList == o.CustomExclusionList;
  }
  bool operator!=(const WebListenerInfo& o) const { return !(*this == o); }
};

// Keyed by the listener's persistent name (its GUID text, as the host reports
// it in "LISTENER_GUID"), compared byte for byte: keys that differ only in
// letter case are different listeners.
using WebListenerMap = std::map<std::string, WebListenerInfo>;

}  // namespace talverin
