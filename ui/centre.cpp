// Centring of the Install dialog and the Directory chooser on the desktop.
#include "ui/centre.h"

static const int kEdgeMargin = 10;

POINT CentredPosition(const RECT &desktop, int width, int height)
{
    // C++ division truncates toward zero, as the halving rule wants for odd
    // and negative sizes alike.
    int y = desktop.top + (desktop.bottom - desktop.top) / 2 - height / 2;
    int x = desktop.left + (desktop.right - desktop.left) / 2 - width / 2;
    if (y + height > desktop.bottom - kEdgeMargin)
        y = desktop.bottom - kEdgeMargin - height;
    if (x + width > desktop.right - kEdgeMargin)
        x = desktop.right - kEdgeMargin - width;
    if (y < 0)
        y = 1;
    if (x < 0)
        x = 1;
    return POINT{x, y};
}

void CenterOnDesktop(HWND window)
{
    RECT desktop, own;
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(window, &own);
    POINT at = CentredPosition(desktop, own.right - own.left, own.bottom - own.top);
    SetWindowPos(window, NULL, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}
