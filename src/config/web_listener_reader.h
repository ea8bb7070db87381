#pragma once
// Reads every web listener of the server's ISA/TMG array from the
// configuration store into WebListenerInfo records.
#include <windows.h>

#include <string>
#include <vector>

#include "base/win.h"
#include "config/fpc_admin.h"
#include "config/web_listener_info.h"

namespace talverin {

// The name of the filter's own vendor parameters set in each listener.
extern const char kVendorParametersSetName[];  // "{347A24CF-D801-4b9a-8F0F-74902FA92D76}"

// Inserts (or overwrites) one record per listener, keyed by its persistent
// name. Throws HRXEx on a failed store call; the walk stops there and the map
// holds the listeners completed so far. COM must be initialized on the thread.
void ReadWebListeners(WebListenerMap& map);

// The filter's settings of one listener: its vendor values and the cookie
// configuration of its forms-based authentication.
class ListenerConfigReader {
 public:
  ListenerConfigReader() = default;
  ListenerConfigReader(const ListenerConfigReader&) = delete;
  ListenerConfigReader& operator=(const ListenerConfigReader&) = delete;

  // Finds the filter's vendor parameters set, adding it (in memory only) when
  // the listener has none. Throws HRXEx when the sets cannot be read.
  void Attach(const ComPtr<fpc::IFpcWebListener>& listener);

  // The FBA cookie name, and the cookie domains when the listener uses its
  // domain list. Throws HRXEx on a failed store call.
  void ReadCookieSettings(std::string& cookieName, std::vector<std::string>& cookieDomains);

  bool Enabled();
  bool RpcOverHttpAllowed();
  bool ActiveSyncAllowed();
  bool AutoDiscoverAllowed();
  void CustomExclusionList(std::vector<std::string>& list);

 private:
  bool ReadFlag(const char* valueName);

  // Released listener first, then set, then collection.
  ComPtr<fpc::IFpcVendorParametersSets> sets_;
  ComPtr<fpc::IFpcVendorParametersSet> set_;
  ComPtr<fpc::IFpcWebListener> listener_;
};

}  // namespace talverin
