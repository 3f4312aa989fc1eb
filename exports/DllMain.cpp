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

// CRido's constructor as Microsoft C++ callers expect it: it returns the
// object it built (a GCC constructor returns nothing), and on 32-bit x86 it
// is __thiscall. The export table points at this instead (see the .def).
#if defined(__i386__)
#define QD500_THISCALL __attribute__((thiscall))
#else
#define QD500_THISCALL
#endif
extern "C" QD500_THISCALL CRido* qd500_CRido_construct(void* self) { return new (self) CRido; }
#endif
