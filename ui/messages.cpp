// Every message box of the installer: the one call of the system's message box,
// and the engine's error and question boxes owned by the Install dialog.
#include "ui/messages.h"

#include <cstdio>

#include "engine/session.h"

int ShowMessage(HWND owner, const char *text, const char *caption, UINT style)
{
    return MessageBoxA(owner, text, caption, style);
}

void ShowInstallError(int code, const char *text)
{
    char caption[64];
    int written = snprintf(caption, sizeof caption, "Ovra Installation Error [%d]", code);
    if (written < 0 || written >= int(sizeof caption))
        caption[0] = '\0';  // cannot happen for an int; never show a cut caption
    ShowMessage(session.dialogWindow, text, caption, MB_OK | MB_ICONSTOP);
}

int AskInstallQuestion(const char *text)
{
    return ShowMessage(session.dialogWindow, text, "Ovra Installation Warning", MB_YESNO | MB_ICONQUESTION);
}
