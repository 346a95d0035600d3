// The Directory chooser: request record, first-use rule, the hook that keeps the
// proposed path in field 102, and the path rule itself.
#include "ui/chooser.h"

#include <commdlg.h>
#include <cstddef>
#include <cstring>

#include "engine/session.h"
#include "resources/resource.h"
#include "runtime/text.h"
#include "ui/centre.h"
#include "ui/rules.h"

// Cleared by the first chooser of the process: only that one starts at the root
// of the destination's drive.
static bool chooserFirstUse = true;

static const char kPlaceholderName[] = "JUNK!";

// The installer's own directory followed by ovra, for a current directory too short
// to mean anything. Left empty when the program's path does not fit.
static void ProposeInstallerDirectory()
{
    char *text = session.destinationDir;
    DWORD length = GetModuleFileNameA(NULL, text, kPathCapacity - 1);
    if (length == 0 || length >= DWORD(kPathCapacity - 1)) {  // filled: cut
        text[0] = '\0';
        return;
    }
    SplitSessionPath(text);
    int written = FormatText(text, kPathCapacity, "%s%sovra", session.pathDrive, session.pathDir);
    if (written < 0 || written >= kPathCapacity)
        text[0] = '\0';
}

void SyncChooserPath(HWND chooser)
{
    char *text = session.destinationDir;
    int n = GetDlgItemTextA(chooser, stc1, text, kPathCapacity);
    CharLowerA(text);
    if (n <= 1) {
        ProposeInstallerDirectory();
    } else {
        const char *suffix = ChooserSuffix(text);
        // A directory too long for the suffix is proposed as it is rather than cut.
        size_t suffixLength = TextLength(suffix);
        if (size_t(n) + suffixLength < size_t(kPathCapacity))
            memcpy(text + n, suffix, suffixLength + 1);
    }
    SetDlgItemTextA(chooser, IDC_CHOOSER_PATH, text);
}

static void ShowChooser(HWND chooser)
{
    SyncChooserPath(chooser);
    HWND field = GetDlgItem(chooser, IDC_CHOOSER_PATH);
    SetFocus(field);
    // Select all, then nothing: the caret ends up after the last character.
    SendMessageA(field, EM_SETSEL, 0, -1);
    SendMessageA(field, EM_SETSEL, WPARAM(-1), -1);
    SendMessageA(field, EM_SCROLLCARET, 0, 0);
    CenterOnDesktop(chooser);
}

static bool ReportsDirectoryChange(int control, int notification)
{
    if (control == stc1)
        return notification == EN_CHANGE;
    if (control == lst2 || control == cmb2)
        return notification == LBN_SELCHANGE || notification == LBN_DBLCLK;
    return false;
}

UINT_PTR CALLBACK ChooserHook(HWND chooser, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        // The platform has just put its filter (*.*) into the file-name field; with a
        // wildcard there OK only filters the list again and the chooser never ends.
        SetDlgItemTextA(chooser, edt1, kPlaceholderName);
        // What the user types must fit the destination buffer whole: a longer text
        // would be cut when OK reads it and name some other directory.
        SendDlgItemMessageA(chooser, IDC_CHOOSER_PATH, EM_LIMITTEXT, kPathCapacity - 1, 0);
        break;
    case WM_SHOWWINDOW: ShowChooser(chooser); break;
    case WM_COMMAND:
        // The first change of control 1088 arrives before WM_INITDIALOG; nothing here
        // depends on that order.
        if (LOWORD(wParam) == IDOK)
            GetDlgItemTextA(chooser, IDC_CHOOSER_PATH, session.destinationDir, kPathCapacity);
        else if (ReportsDirectoryChange(LOWORD(wParam), HIWORD(wParam)))
            SyncChooserPath(chooser);
        break;
    }
    return 0;
}

int ChooseDirectory(HWND owner)
{
    OPENFILENAMEA request;
    memset(&request, 0, sizeof request);
    // The older record, without the fields newer platforms appended: 76 bytes here.
    static_assert(sizeof(void *) != 4 || offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR) == 76,
                  "the older record is 76 bytes");
    request.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    request.hwndOwner = owner;
    request.hInstance = GetModuleHandleA(NULL);
    request.lpstrInitialDir = session.destinationDir;
    request.lpstrTitle = "Destination Directory";
    request.Flags = OFN_ENABLEHOOK | OFN_ENABLETEMPLATE;
    request.lpfnHook = ChooserHook;
    request.lpTemplateName = MAKEINTRESOURCEA(IDD_CHOOSER);

    if (chooserFirstUse) {
        if (TextLength(session.destinationDir) > 3)
            session.destinationDir[3] = '\0';
        chooserFirstUse = false;
    }
    return GetOpenFileNameA(&request) ? 1 : 0;
}
