// Centring of the Install dialog and the Directory chooser on the desktop.
#include "ui/centre.h"

#include "ui/rules.h"

POINT CentredPosition(const RECT &desktop, int width, int height)
{
    ScreenPoint at = CentredOrigin(desktop.left, desktop.top, desktop.right, desktop.bottom, width, height);
    return POINT{at.x, at.y};
}

void CenterOnDesktop(HWND window)
{
    RECT desktop, own;
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(window, &own);
    POINT at = CentredPosition(desktop, own.right - own.left, own.bottom - own.top);
    SetWindowPos(window, NULL, at.x, at.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}
