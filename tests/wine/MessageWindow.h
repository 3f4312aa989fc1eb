// A message-only window of the test's own, to see which posted messages are
// dispatched while the library waits.
#pragma once

#include <windows.h>

namespace qd500::wine {

// Registers the class (once per process) and creates the window; null on failure.
inline HWND CreateProbeWindow(const char* className, WNDPROC proc) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = className;
    RegisterClassA(&wc);
    return CreateWindowA(className, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

}  // namespace qd500::wine
