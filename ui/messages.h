// Every message box of the installer goes through here: owner, caption and style in one place.
#pragma once
#include <windows.h>

int ShowMessage(HWND owner, const char *text, const char *caption, UINT style);
// Stop icon and OK, owned by the Install dialog, caption "Ovra Installation Error [code]".
void ShowInstallError(int code, const char *text);
// Question icon with Yes and No, owned by the Install dialog, caption "Ovra Installation Warning".
int AskInstallQuestion(const char *text);
