// A window shaped like the Install dialog where the engine writes and paints, and a
// run started on it; see stand_in_window.h.
#include "stand_in_window.h"

#include "engine/session.h"
#include "resources/resource.h"
#include "runtime/text.h"

HWND CreateStandInWindow(int x, int y, int width, int height, RECT bar)
{
    HINSTANCE instance = GetModuleHandleA(NULL);
    HWND window = CreateWindowExA(0, "STATIC", "", WS_POPUP, x, y, width, height, NULL, NULL, instance, NULL);
    if (window == NULL)
        return NULL;
    CreateWindowExA(0, "STATIC", "", WS_CHILD, 0, height - 16, width, 16, window, HMENU(INT_PTR(IDC_STATUS_LINE)),
                    instance, NULL);
    CreateWindowExA(0, "BUTTON", "", WS_CHILD | BS_GROUPBOX, bar.left, bar.top, bar.right - bar.left,
                    bar.bottom - bar.top, window, HMENU(INT_PTR(IDC_PROGRESS_AREA)), instance, NULL);
    return window;
}

bool BeginStandInRun(HWND window, const char *destination)
{
    ResetSession();
    session.dialogWindow = window;
    int length = FormatText(session.destinationDir, kPathCapacity, "%s", destination);
    return length >= 0 && length < kPathCapacity;
}
