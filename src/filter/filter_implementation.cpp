#include "filter/filter_implementation.h"

#include "config/filter_settings.h"
#include "resources/resource_library.h"

IFilterImplementation::IFilterImplementation() = default;
IFilterImplementation::~IFilterImplementation() = default;

// The configured language's resource library must be installed: a missing one
// fails the start-up (HRXEx) rather than running half-configured.
HRESULT IFilterImplementation::Init() {
  talverin::LoadLocaleLibrary(talverin::FilterSettings::Instance().Language());
  return S_OK;
}

DWORD IFilterImplementation::Deinit() { return 0; }

bool IFilterImplementation::Connect() { return connection_.Connect(); }
bool IFilterImplementation::Reset(bool force, HRESULT code) { return connection_.Reset(force, code); }
