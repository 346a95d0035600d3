// The Directory chooser: the platform's older-style open-file dialog run with the
// program's template 1537, proposing a directory named ovra inside the one browsed to.
#pragma once
#include <windows.h>

// 1 when the user ended the chooser with OK (destinationDir holds field 102's text),
// 0 for Cancel, the close box, or a chooser that cannot be shown.
int ChooseDirectory(HWND owner);
UINT_PTR CALLBACK ChooserHook(HWND chooser, UINT message, WPARAM wParam, LPARAM lParam);
// Rebuilds field 102 from the platform's current directory in control 1088.
void SyncChooserPath(HWND chooser);
