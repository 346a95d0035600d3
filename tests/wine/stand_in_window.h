// The Install dialog's stand-in for the Wine tests and the scan benchmark: a plain
// pop-up window with the status line (control 113) and the never-shown area
// (control 115) whose rectangle the Progress bar borrows.
#pragma once
#include <windows.h>

// The window at (x, y) with the given outer size; its client area is the whole
// window, so the bar's client coordinates are also surface coordinates in a test.
HWND CreateStandInWindow(int x, int y, int width, int height, RECT bar);
