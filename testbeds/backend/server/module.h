#pragma once
// Process-wide bookkeeping shared by the two hosts of the back end: the count
// of live objects (so the local server knows when it may go), the class ids,
// and the console the local server prints its text messages on.
#include <windows.h>

#include <string>

namespace backend {

// {D6644A5B-B472-4C9C-AF9B-F4A992509EA6}: the in-process server.
extern const CLSID CLSID_BackendInProc;
// {C2F29DC9-1957-4830-9CE6-3DAC754B1AD4}: the local server.
extern const CLSID CLSID_BackendLocal;

enum class Host { InProc, Local };

// Set once by the host before the first object is created.
void SetHost(Host host);
Host CurrentHost();

// Every COM object of the back end counts itself here; LockServer counts too.
void AddObject();
void ReleaseObject();
long LiveObjects();
// True once any object has lived in this process.
bool HadObjects();

// Called on the thread that releases the last object (local server only).
void SetLastObjectCallback(void (*callback)());
// Asks the local server to exit; false when there is no process to end.
bool RequestShutdown();
void SetShutdownCallback(void (*callback)());

// The folder of the module that holds this code, with a trailing backslash.
std::wstring ModuleDir();

// One line on the console of the local server; nothing in-process.
void ConsoleLine(const std::wstring& line);

}  // namespace backend
