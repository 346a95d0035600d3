// The Install dialog's stand-in for the Wine tests and the scan benchmark: a plain
// pop-up window with the status line (control 113) and the never-shown area
// (control 115) whose rectangle the Progress bar borrows, and a run of the engine
// started on it in the test's own process.
#pragma once
#include <windows.h>

// The window at (x, y) with the given outer size; its client area is the whole
// window, so the bar's client coordinates are also surface coordinates in a test.
HWND CreateStandInWindow(int x, int y, int width, int height, RECT bar);
// A new run as the Install dialog starts one, with the window in the dialog's place:
// the session reset, window as its dialogWindow and destination as its destinationDir.
// False when the destination does not fit.
bool BeginStandInRun(HWND window, const char *destination);
