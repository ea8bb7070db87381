#include "filter/filter_implementation.h"

IFilterImplementation::IFilterImplementation() = default;
IFilterImplementation::~IFilterImplementation() = default;

HRESULT IFilterImplementation::Init() { return S_OK; }
DWORD IFilterImplementation::Deinit() { return 0; }

// No back end is reached yet: every notification finds a connection.
bool IFilterImplementation::Connect() { return true; }
bool IFilterImplementation::Reset(bool, HRESULT) { return true; }
