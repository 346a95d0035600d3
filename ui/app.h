// The application shell: the Host window and the shell-generation rule it decides at start-up.
#pragma once
#include <windows.h>

// Owner of the Install dialog and of the boxes shown after it.
extern HWND hostWindow;

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The shell generation from a GetVersion value (major version in the lowest byte,
// minor in the next): every 4.x and any minor version of 95 or more counts as new.
inline bool IsNewShell(DWORD version)
{
    unsigned major = version & 0xFF;
    unsigned minor = (version >> 8) & 0xFF;
    return major == 4 || minor >= 95;
}
