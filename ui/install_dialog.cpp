// The Install dialog: its two layouts, its start-up texts and default destination,
// its commands, and the step loop that drives the scan one posted message at a time.
#include "ui/install_dialog.h"

#include <cstring>

#include "engine/session.h"
#include "resources/resource.h"
#include "runtime/process.h"
#include "runtime/text.h"
#include "ui/centre.h"
#include "ui/chooser.h"
#include "ui/messages.h"
#include "ui/progress.h"

static const char kCaption[] = "Ovra v5.3 32bit Installation";
static const char kGreeting[] = "Welcome to the Ovra Installation program!";
static const char kIntro[] = "This program will install Ovra v5.3 32bit edition to the following directory.";
static const char kCopyright[] = "Ovra v5.3 32bit edition, copyright (c) the Ovra developers. All rights reserved.";
static const char kLicenseNotice[] = "Please refer to the Ovra help file for the license terms and use restrictions.";
static const char kScanning[] = STATUS_SCANNING;
static const char kSpacesWarning[] =
    "You have chosen to install to a directory path which has spaces in its name; this may affect "
    "the functioning of certain features in Ovra.\n\n"
    "It is highly recommended that you install Ovra to a directory path that does NOT have spaces "
    "in its name.\n\n"
    "Do you wish to continue installing to this directory?";
static const char kAbortQuestion[] = "Are you sure you want to abort the installation?";

// The explanations and options of the idle layout, and what takes their place
// while a run goes on.
static const int kIdleOnly[] = {IDC_EXPLAIN_BROWSE, IDC_EXPLAIN_BACKUPS, IDC_MAKE_BACKUPS,
                                IDC_EXPLAIN_ICONS,  IDC_ADD_ICONS,       IDC_EXPLAIN_INSTALL};
static const int kInstallingOnly[] = {IDC_STATUS_LINE, IDC_PROGRESS_LABEL, IDC_LICENSE_NOTICE, IDC_COPYRIGHT};

static void EnableControl(HWND dialog, int id, bool enable) { EnableWindow(GetDlgItem(dialog, id), enable); }

static void ShowControl(HWND dialog, int id, bool show)
{
    ShowWindow(GetDlgItem(dialog, id), show ? SW_SHOW : SW_HIDE);
}

// The rectangle of a control in the dialog's client coordinates.
static RECT ControlRect(HWND dialog, int id)
{
    RECT r = {0, 0, 0, 0};
    GetWindowRect(GetDlgItem(dialog, id), &r);
    MapWindowPoints(NULL, dialog, reinterpret_cast<POINT *>(&r), 2);
    return r;
}

static void SetInstallingLayout(HWND dialog)
{
    EnableControl(dialog, IDC_INSTALL, false);
    EnableControl(dialog, IDC_BROWSE, false);
    SetDlgItemTextA(dialog, IDC_CANCEL, "Abort!");
    SetDlgItemTextA(dialog, IDC_STATUS_LINE, kScanning);
    for (int id : kIdleOnly)
        ShowControl(dialog, id, false);
    for (int id : kInstallingOnly) {
        EnableControl(dialog, id, true);
        ShowControl(dialog, id, true);
    }
    for (int id : kIdleOnly)
        EnableControl(dialog, id, false);
    SetFocus(GetDlgItem(dialog, IDC_CANCEL));
    UpdateWindow(dialog);
}

static void SetIdleLayout(HWND dialog)
{
    session.progressPixels = 0;
    EnableControl(dialog, IDC_INSTALL, true);
    EnableControl(dialog, IDC_BROWSE, true);
    SetDlgItemTextA(dialog, IDC_CANCEL, "Cancel");
    SetDlgItemTextA(dialog, IDC_STATUS_LINE, kScanning);
    for (int id : kInstallingOnly)
        ShowControl(dialog, id, false);
    for (int id : kIdleOnly) {
        EnableControl(dialog, id, true);
        ShowControl(dialog, id, true);
    }
    for (int id : kInstallingOnly)
        EnableControl(dialog, id, false);
    // The bar was drawn onto the dialog itself: only erasing its area wipes it out.
    RECT bar = ControlRect(dialog, IDC_PROGRESS_AREA);
    InvalidateRect(dialog, &bar, TRUE);
    SetFocus(GetDlgItem(dialog, IDC_INSTALL));
    UpdateWindow(dialog);
}

void SetDialogMode(HWND dialog, bool installing)
{
    if (installing)
        SetInstallingLayout(dialog);
    else
        SetIdleLayout(dialog);
}

// The root of the installer's own drive when that is a fixed disk; otherwise the
// Windows directory's drive, which also becomes the current drive. Then "ovra".
static void ProposeDestination(HWND dialog)
{
    char *text = session.scratch;
    DWORD length = GetModuleFileNameA(NULL, text, kPathCapacity - 1);
    if (length == 0)
        text[0] = '\0';
    CharLowerA(text);
    if (TextLength(text) > 3)
        text[3] = '\0';

    char windowsDir[kPathCapacity];
    UINT windowsLength = 0;
    if (GetDriveTypeA(text) != DRIVE_FIXED)
        windowsLength = GetWindowsDirectoryA(windowsDir, kPathCapacity);
    if (windowsLength > 0 && windowsLength < UINT(kPathCapacity)) {
        SplitSessionPath(windowsDir);
        FormatText(text, kPathCapacity, "%s\\", session.pathDrive);
        CharLowerA(text);
        // The runtime counts drives from 1 for a:.
        if (text[0] >= 'a' && text[0] <= 'z')
            ChangeDrive(text[0] - 'a' + 1);
    }
    memcpy(text + TextLength(text), "ovra", sizeof "ovra");  // at most three characters before it
    SetDlgItemTextA(dialog, IDC_DEST_TEXT, text);
}

void InitDialogTexts(HWND dialog)
{
    SetWindowTextA(dialog, kCaption);
    SetDlgItemTextA(dialog, IDC_GREETING, kGreeting);
    SetDlgItemTextA(dialog, IDC_INTRO, kIntro);
    SetDlgItemTextA(dialog, IDC_COPYRIGHT, kCopyright);
    SetDlgItemTextA(dialog, IDC_LICENSE_NOTICE, kLicenseNotice);
    ProposeDestination(dialog);
}

static INT_PTR OnInitDialog(HWND dialog)
{
    session.dialogWindow = dialog;
    CheckDlgButton(dialog, IDC_MAKE_BACKUPS, BST_CHECKED);
    CheckDlgButton(dialog, IDC_ADD_ICONS, BST_CHECKED);
    InitDialogTexts(dialog);
    return 0;  // focus is set when the dialog is shown
}

static INT_PTR OnShowWindow(HWND dialog)
{
    CenterOnDesktop(dialog);
    SetFocus(GetDlgItem(dialog, IDC_INSTALL));
    return 0;
}

static INT_PTR OnPaint(HWND dialog)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(dialog, &paint);
    RECT place = ControlRect(dialog, IDC_ICON_PLACE);
    HICON icon = LoadIconA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(IDI_DIALOG));
    if (icon) {
        DrawIcon(dc, place.left, place.top, icon);
        DestroyIcon(icon);
    }
    if (IsWindowVisible(GetDlgItem(dialog, IDC_STATUS_LINE)))
        PaintProgress(dc);
    EndPaint(dialog, &paint);
    return 0;
}

static INT_PTR OnInstall(HWND dialog)
{
    GetDlgItemTextA(dialog, IDC_DEST_TEXT, session.destinationDir, kPathCapacity);
    if (TextFindChar(session.destinationDir, ' ') && AskInstallQuestion(kSpacesWarning) == IDNO)
        return 1;
    session.makeBackups = IsDlgButtonChecked(dialog, IDC_MAKE_BACKUPS) == BST_CHECKED;
    session.addIcons = IsDlgButtonChecked(dialog, IDC_ADD_ICONS) == BST_CHECKED;
    SetDialogMode(dialog, true);
    ResetSession();
    ShowFileStatus();
    PaintProgress(NULL);
    if (CreateDestination() != STEP_DONE) {
        SetDialogMode(dialog, false);
        return 1;
    }
    SetFocus(GetDlgItem(dialog, IDC_CANCEL));
    if (OpenInstallerFile() == OPEN_DONE)
        PostMessageA(dialog, WM_APP_STEP, 0, 0);
    else
        EndDialog(dialog, 0);
    return 1;
}

static INT_PTR OnCancel(HWND dialog)
{
    // Set before the question opens: its modal loop still delivers the step timer
    // and posted steps, and they must find the run held.
    session.abortRequested = true;
    if (session.installerFile == NULL) {
        EndDialog(dialog, 0);
        return 1;
    }
    int answer = AskInstallQuestion(kAbortQuestion);
    // A timer still running would otherwise add a second step to the one posted
    // below, or fire into the idle layout.
    KillTimer(dialog, STEP_TIMER);
    if (answer == IDNO) {
        session.abortRequested = false;
        PostMessageA(dialog, WM_APP_STEP, 0, 0);
        return 1;
    }
    Rollback();
    ResetSession();
    SetDialogMode(dialog, false);
    return 1;
}

static INT_PTR OnBrowse(HWND dialog)
{
    GetDlgItemTextA(dialog, IDC_DEST_TEXT, session.destinationDir, kPathCapacity);
    CharLowerA(session.destinationDir);
    if (ChooseDirectory(dialog) == 1) {
        CharLowerA(session.destinationDir);
        SetDlgItemTextA(dialog, IDC_DEST_TEXT, session.destinationDir);
    }
    return 0;
}

static INT_PTR OnCommand(HWND dialog, int control)
{
    switch (control) {
    case IDC_INSTALL: return OnInstall(dialog);
    case IDC_CANCEL: return OnCancel(dialog);
    case IDC_BROWSE: return OnBrowse(dialog);
    }
    return 0;
}

static INT_PTR OnSysCommand(HWND dialog, WPARAM command)
{
    if ((command & 0xFFF0) != SC_CLOSE)
        return 0;
    // The close box acts as control 2: it leaves the idle dialog and asks before
    // abandoning a run.
    PostMessageA(dialog, WM_COMMAND, IDC_CANCEL, 0);
    return 1;
}

static INT_PTR OnTimer(HWND dialog, WPARAM timer)
{
    if (timer != STEP_TIMER)
        return 0;
    KillTimer(dialog, STEP_TIMER);
    PostMessageA(dialog, WM_APP_STEP, 0, 0);
    return 0;
}

static INT_PTR OnStep(HWND dialog)
{
    // Held while the abort question is open; and a late timer or step after the run
    // has ended (abort confirmed, soft failure) finds no installer file to read.
    if (session.abortRequested || session.installerFile == NULL)
        return 0;
    int result = ScanStep();
    if (result == STEP_MORE) {
        SetTimer(dialog, STEP_TIMER, STEP_TIMER_MS, NULL);
        return 0;
    }
    if (result == STEP_DONE && session.placedCount != 0) {
        EndDialog(dialog, 1);
        return 1;
    }
    Rollback();
    if (result == STEP_DONE)
        ShowInstallError(INSTALL_ERROR_NOTHING_PLACED);
    if (result == STEP_SOFT_FAILURE)
        SetDialogMode(dialog, false);
    else
        EndDialog(dialog, 0);
    return 1;
}

INT_PTR CALLBACK InstallDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: return OnInitDialog(dialog);
    case WM_SHOWWINDOW: return OnShowWindow(dialog);
    case WM_PAINT: return OnPaint(dialog);
    case WM_COMMAND: return OnCommand(dialog, LOWORD(wParam));
    case WM_SYSCOMMAND: return OnSysCommand(dialog, wParam);
    case WM_TIMER: return OnTimer(dialog, wParam);
    case WM_APP_STEP: return OnStep(dialog);
    }
    return 0;
}
