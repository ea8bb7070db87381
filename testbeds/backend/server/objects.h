#pragma once
// The automation objects of the back end and the class factory that makes
// the root object.
#include <windows.h>
#include <objbase.h>

#include "base/win.h"

namespace backend {

// A new root object ("ConnectionMaster").
talverin::ComPtr<IDispatch> CreateConnectionMaster();

// The class factory of the root object; a static object, never deleted.
IClassFactory* ConnectionMasterFactory();

}  // namespace backend
