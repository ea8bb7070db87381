#include "config/web_listener_reader.h"

#include "config/com_text.h"
#include "config/store_calls.h"
#include "config/url_exclusion.h"
#include "diag/trace_log.h"

namespace talverin {

const char kVendorParametersSetName[] = "{347A24CF-D801-4b9a-8F0F-74902FA92D76}";

namespace {

// Owns the BSTR a store call writes into an out-parameter.
class BstrOut {
 public:
  BSTR* Put() { return value_.Put(); }
  std::string Text() const { return BstrToNarrow(value_.Get(), ErrorCategory::Configuration); }

 private:
  UniqueBstr value_;
};

const char* YesNo(bool value) { return value ? "Yes" : "No"; }

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string joined;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) joined += separator;
    joined += items[i];
  }
  return joined;
}

}  // namespace

void ListenerConfigReader::Attach(const ComPtr<fpc::IFpcWebListener>& listener) {
  ThrowIfStoreFailed(listener->get_VendorParametersSets(sets_.Put()));
  listener_ = listener;
  if (!sets_) return;  // no sets at all: every vendor value reads as its default

  UniqueVariant key;
  SetStoreKey(key, kVendorParametersSetName);
  if (sets_->Item(*key.Get(), set_.Put()) == S_OK && set_) return;
  // A listener the administration tools never touched: an empty set in the
  // administration objects only (never saved), so every value reads its
  // default.
  UniqueBstr addName = StoreText(kVendorParametersSetName);
  sets_->Add(addName.Get(), 0, 1, set_.Put());
}

bool ListenerConfigReader::ReadFlag(const char* valueName) {
  if (!set_) return false;
  UniqueBstr name = StoreText(valueName);
  UniqueVariant value;
  if (set_->get_Value(name.Get(), value.Get()) != S_OK) return false;
  return value->vt == VT_I4 && (value->lVal & 0xFFFF) == 1;
}

bool ListenerConfigReader::Enabled() { return ReadFlag("Enabled"); }
bool ListenerConfigReader::RpcOverHttpAllowed() { return ReadFlag("RpcOverHttpAllowed"); }
bool ListenerConfigReader::ActiveSyncAllowed() { return ReadFlag("ActiveSyncAllowed"); }
bool ListenerConfigReader::AutoDiscoverAllowed() { return ReadFlag("AutoDiscoverAllowed"); }

void ListenerConfigReader::CustomExclusionList(std::vector<std::string>& list) {
  list.clear();
  if (!set_) return;
  UniqueBstr name = StoreText("CustomExclusionList");
  UniqueVariant value;
  if (set_->get_Value(name.Get(), value.Get()) != S_OK || value->vt != VT_BSTR) return;
  list = SplitExclusionList(BstrToNarrow(value->bstrVal, ErrorCategory::Configuration));
}

void ListenerConfigReader::ReadCookieSettings(std::string& cookieName, std::vector<std::string>& cookieDomains) {
  ComPtr<IDispatch> object;
  ThrowIfStoreFailed(listener_->get_Properties(object.Put()));
  ThrowIfMissing(object);
  ComPtr<fpc::IFpcWebListenerProperties> properties;
  // Without this interface there is no cookie name either, and the listener
  // could not be protected: reported like any failed store call.
  ThrowIfStoreFailed(object->QueryInterface(fpc::kIidWebListenerProperties, properties.PutVoid()));
  ThrowIfMissing(properties);

  ComPtr<fpc::IFpcCookieDomains> domains;
  const HRESULT domainsResult = properties->get_CookieDomains(domains.Put());
  VARIANT_BOOL inUse = VARIANT_FALSE;
  const HRESULT inUseResult = properties->get_CookieDomainListInUse(&inUse);
  // Either read failing means the domain list is not known to be in use:
  // the cookie then stays scoped to the host.
  if (SUCCEEDED(domainsResult) && SUCCEEDED(inUseResult) && inUse == VARIANT_TRUE && domains) {
    long count = 0;
    ThrowIfStoreNotOk(domains->get_Count(&count));
    for (long k = 1; k <= count; ++k) {
      UniqueVariant index;
      SetStoreKey(index, k);
      BstrOut domain;
      ThrowIfStoreNotOk(domains->Item(*index.Get(), domain.Put()));
      cookieDomains.push_back(domain.Text());
    }
  }

  ComPtr<fpc::IFpcFbaSettings> fba;
  ThrowIfStoreNotOk(properties->get_FormsBasedAuthenticationSettings(fba.Put()));
  ThrowIfMissing(fba);
  BstrOut name;
  ThrowIfStoreNotOk(fba->get_CookieName(name.Put()));
  cookieName = name.Text();
}

void ReadWebListeners(WebListenerMap& map) {
  ComPtr<fpc::IFpcRoot> root;
  ThrowIfStoreFailed(CoCreateInstance(fpc::kClsidRoot, nullptr, CLSCTX_ALL, fpc::kIidRoot, root.PutVoid()));
  ThrowIfMissing(root);
  TLOG(1, "FPC object has been created sucessfully.");

  ComPtr<fpc::IFpcArray> array;
  ThrowIfStoreNotOk(root->GetContainingArray(array.Put()));
  ThrowIfMissing(array);
  TLOG(1, "Containing array has been retrieved successfully.");

  ComPtr<fpc::IFpcRuleElements> ruleElements;
  ThrowIfStoreNotOk(array->get_RuleElements(ruleElements.Put()));
  ThrowIfMissing(ruleElements);
  TLOG(1, "Rule elements have been retrieved successfully.");

  ComPtr<fpc::IFpcWebListeners> listeners;
  ThrowIfStoreNotOk(ruleElements->get_WebListeners(listeners.Put()));
  ThrowIfMissing(listeners);
  TLOG(1, "Web listeners have been retrieved successfully.");

  long count = 0;
  ThrowIfStoreNotOk(listeners->get_Count(&count));
  TLOGF(1, "Web listeners count: %d.", static_cast<int>(count));

  for (long i = 1; i <= count; ++i) {
    ComPtr<fpc::IFpcWebListener> listener;
    {
      UniqueVariant index;
      SetStoreKey(index, i);
      ThrowIfStoreNotOk(listeners->Item(*index.Get(), listener.Put()));
    }
    ThrowIfMissing(listener);
    TLOGF(1, "Web listeners %d has been retrieved successfully.", static_cast<int>(i));

    BstrOut name, persistentName;
    ThrowIfStoreNotOk(listener->get_Name(name.Put()));
    ThrowIfStoreNotOk(listener->get_PersistentName(persistentName.Put()));
    WebListenerInfo info;
    info.Name = name.Text();
    const std::string key = persistentName.Text();
    TLOGF(1, "Name: \"%s\", Persistent Name: \"%s\".", info.Name.c_str(), key.c_str());

    ListenerConfigReader reader;
    reader.Attach(listener);
    TLOG(1, "Per-listener configuration initialized successfully.");

    reader.ReadCookieSettings(info.FBACookieName, info.FBACookieDomains);
    info.Enabled = reader.Enabled();
    info.RpcOverHttpAllowed = reader.RpcOverHttpAllowed();
    info.ActiveSyncAllowed = reader.ActiveSyncAllowed();
    info.AutoDiscoverAllowed = reader.AutoDiscoverAllowed();
    reader.CustomExclusionList(info.CustomExclusionList);

    TLOGF(1,
          "WebListenerInfo, Name: \"%s\", Enabled: %s, FBACookieName: \"%s\", FBACookieDomains: %s, RpcAllowed: %s, "
          "ActiveSyncAllowed: %s, AutoDiscoverAllowed: %s, Custom exclusion list size: %d",
          info.Name.c_str(), YesNo(info.Enabled), info.FBACookieName.c_str(), Join(info.FBACookieDomains, ";").c_str(),
          YesNo(info.RpcOverHttpAllowed), YesNo(info.ActiveSyncAllowed), YesNo(info.AutoDiscoverAllowed),
          static_cast<int>(info.CustomExclusionList.size()));

    map[key] = info;
    TLOG(1, "WebListener has been saved to the map.");
  }
}

}  // namespace talverin
