// Placement of the installer's two modal windows on the desktop.
#pragma once
#include <windows.h>

// Where a window of the given size goes on the desktop: centred, but kept 10 pixels
// inside the right and bottom edges and never at a negative coordinate.
POINT CentredPosition(const RECT &desktop, int width, int height);
void CenterOnDesktop(HWND window);
