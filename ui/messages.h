// Every message box of the installer goes through here: owner, caption and style in one place.
// The engine's own boxes (ShowInstallError, AskKeepSettings) are declared in engine/display.h.
#pragma once
#include <windows.h>

// The one call of the system's message box.
int ShowMessage(HWND owner, const char *text, const char *caption, UINT style);
// Question icon with Yes and No, owned by the Install dialog, caption "Ovra Installation Warning".
int AskInstallQuestion(const char *text);
