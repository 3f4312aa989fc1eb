// Module entry of the Windows DLL. The module's work at load and unload is
// done by its static objects (the session guard closes an open session at
// unload); the entry point itself accepts every notification.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <new>

#include "qd500dll.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

// CRido's constructor as Microsoft C++ callers expect it: __thiscall, and it
// returns the object it built. A GCC constructor returns nothing, so the
// export table points at this instead (see qd500dll.def).
extern "C" __attribute__((thiscall)) CRido* qd500_CRido_construct(void* self) { return new (self) CRido; }
#endif
