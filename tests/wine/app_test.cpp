// The application shell run in this process: WinMain on the test's main thread while a
// watcher thread reads the Host window's class and window and ends the Install dialog,
// and the box that replaces a dialog which cannot be made.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "expected_texts.h"
#include "msgbox_answerer.h"
#include "resources/resource.h"
#include "ui/app.h"
#include "ui_driver.h"

namespace {

constexpr DWORD kWatchWait = 15000;

// What the watcher saw of a run, read on its own thread while the main thread is
// inside WinMain; the main thread checks it once WinMain has returned.
struct Watch {
    DWORD mainThread = 0;
    HINSTANCE instance = NULL;
    int showCommand = SW_SHOWNORMAL;
    HANDLE returned = NULL;  // set by the main thread once WinMain is back

    bool classFound = false;
    WNDCLASSEXA windowClass = {};
    HWND host = NULL;
    std::string title, className;
    LONG style = 0, exStyle = 0;
    RECT rect = {};
    bool topLevel = false;
    HWND owner = NULL;
    HINSTANCE windowInstance = NULL;
    HMENU menu = NULL;
    // A window the watcher made with the arguments the Host window is designed with.
    LONG referenceStyle = 0, referenceExStyle = 0;
    RECT referenceRect = {};
    HWND dialog = NULL, dialogOwner = NULL;
    bool hung = false;  // WinMain had not returned long after the dialog was ended
};

BOOL CALLBACK FindInstallDialogIn(HWND window, LPARAM found)
{
    char className[16];
    if (IsWindowVisible(window) && GetClassNameA(window, className, sizeof className) &&
        std::string(className) == "#32770" && WindowText(window) == kDialogCaption) {
        *reinterpret_cast<HWND *>(found) = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindInstallDialog(DWORD thread)
{
    HWND found = NULL;
    EnumThreadWindows(thread, FindInstallDialogIn, LPARAM(&found));
    return found;
}

// The Host window as the design makes it, in a class of the watcher's own with no
// behaviour, shown the same way: what the system does to such a window (a minimum
// size, a frame) is then the same for both.
void MakeReference(Watch &watch)
{
    WNDCLASSA referenceClass = {};
    referenceClass.lpfnWndProc = DefWindowProcA;
    referenceClass.hInstance = watch.instance;
    referenceClass.lpszClassName = "ReferenceHost";
    RegisterClassA(&referenceClass);
    HWND reference = CreateWindowExA(0, "ReferenceHost", kHostName, WS_OVERLAPPEDWINDOW, -50, -50, 0, 0, NULL, NULL,
                                     watch.instance, NULL);
    ShowWindow(reference, watch.showCommand);
    UpdateWindow(reference);
    watch.referenceStyle = GetWindowLongA(reference, GWL_STYLE);
    watch.referenceExStyle = GetWindowLongA(reference, GWL_EXSTYLE);
    GetWindowRect(reference, &watch.referenceRect);
    DestroyWindow(reference);
    UnregisterClassA("ReferenceHost", watch.instance);
}

DWORD WINAPI WatchHost(void *parameter)
{
    Watch &watch = *static_cast<Watch *>(parameter);
    DWORD start = GetTickCount();
    while (!watch.dialog && GetTickCount() - start < kWatchWait &&
           WaitForSingleObject(watch.returned, 0) == WAIT_TIMEOUT) {
        watch.dialog = FindInstallDialog(watch.mainThread);
        Sleep(10);
    }
    if (watch.dialog) {
        watch.windowClass.cbSize = sizeof watch.windowClass;
        watch.classFound = GetClassInfoExA(watch.instance, kHostName, &watch.windowClass) != 0;
        watch.host = FindWindowA(kHostName, NULL);
        watch.title = WindowText(watch.host);
        char className[64] = "";
        GetClassNameA(watch.host, className, sizeof className);
        watch.className = className;
        watch.style = GetWindowLongA(watch.host, GWL_STYLE);
        watch.exStyle = GetWindowLongA(watch.host, GWL_EXSTYLE);
        GetWindowRect(watch.host, &watch.rect);
        watch.topLevel = GetAncestor(watch.host, GA_PARENT) == GetDesktopWindow();
        watch.owner = GetWindow(watch.host, GW_OWNER);
        watch.windowInstance = HINSTANCE(GetWindowLongPtrA(watch.host, GWLP_HINSTANCE));
        watch.menu = GetMenu(watch.host);
        watch.dialogOwner = GetWindow(watch.dialog, GW_OWNER);
        MakeReference(watch);
        // Cancel with nothing installed ends the dialog; the Host window then closes itself.
        PostMessageA(GetDlgItem(watch.dialog, IDC_CANCEL), BM_CLICK, 0, 0);
    }
    if (WaitForSingleObject(watch.returned, kWatchWait) != WAIT_OBJECT_0) {
        // Let the main thread go, so the failure is reported rather than waited for.
        watch.hung = true;
        if (watch.dialog)
            EndDialog(watch.dialog, 0);
        PostMessageA(FindWindowA(kHostName, NULL), WM_CLOSE, 0, 0);
        PostThreadMessageA(watch.mainThread, WM_QUIT, 0, 0);
    }
    return 0;
}

// WinMain on this thread, watched from another; what the watcher saw, and the result.
int RunWatched(Watch &watch)
{
    watch.mainThread = GetCurrentThreadId();
    watch.returned = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE watcher = CreateThread(NULL, 0, WatchHost, &watch, 0, NULL);
    // The shell sets the error mode on old shells for the rest of the run: not this test's.
    UINT errorMode = SetErrorMode(0);
    SetErrorMode(errorMode);
    int result = WinMain(watch.instance, NULL, const_cast<char *>(""), watch.showCommand);
    SetErrorMode(errorMode);
    SetEvent(watch.returned);
    WaitForSingleObject(watcher, INFINITE);
    CloseHandle(watcher);
    CloseHandle(watch.returned);
    return result;
}

bool ClassRegistered(HINSTANCE instance)
{
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    return GetClassInfoExA(instance, kHostName, &windowClass) != 0;
}

TEST(AppShell, HostClassAndWindowThenCancelEndsWinMainWithTheClassGone)
{
    // A maximised Host window has another place and size: the show command is passed on.
    for (int showCommand : {SW_SHOWNORMAL, SW_SHOWMAXIMIZED}) {
        SCOPED_TRACE(showCommand == SW_SHOWNORMAL ? "shown normally" : "shown maximised");
        Watch watch;
        watch.instance = GetModuleHandleA(NULL);
        watch.showCommand = showCommand;
        EXPECT_EQ(0, RunWatched(watch));
        ASSERT_FALSE(watch.hung) << "WinMain did not return after the dialog was cancelled";
        ASSERT_TRUE(watch.dialog) << "no Install dialog came";

        ASSERT_TRUE(watch.classFound) << "no Host class while the dialog was up";
        const WNDCLASSEXA &c = watch.windowClass;
        EXPECT_EQ(0u, c.style);
        EXPECT_EQ(reinterpret_cast<void *>(HostWindowProc), reinterpret_cast<void *>(c.lpfnWndProc));
        EXPECT_EQ(0, c.cbClsExtra);
        EXPECT_EQ(0, c.cbWndExtra);
        EXPECT_EQ(watch.instance, c.hInstance);
        // Icons and cursors from resources are shared: the same resource gives the same handle.
        HICON programIcon = LoadIconA(watch.instance, MAKEINTRESOURCEA(IDI_HOST));
        ASSERT_TRUE(programIcon);
        EXPECT_EQ(programIcon, c.hIcon) << "not the program's icon 1";
        EXPECT_EQ(LoadCursorA(NULL, IDC_ARROW), c.hCursor);
        EXPECT_EQ(HBRUSH(GetStockObject(BLACK_BRUSH)), c.hbrBackground);
        EXPECT_EQ(nullptr, c.lpszMenuName);

        ASSERT_TRUE(watch.host) << "no Host window";
        EXPECT_EQ(kHostName, watch.title);
        EXPECT_EQ(kHostName, watch.className);
        EXPECT_EQ(LONG(WS_OVERLAPPEDWINDOW), watch.style & LONG(WS_OVERLAPPEDWINDOW));
        // Disabled while the modal Install dialog is up, otherwise as made.
        EXPECT_EQ(watch.referenceStyle | WS_DISABLED, watch.style);
        EXPECT_EQ(watch.referenceExStyle, watch.exStyle);
        EXPECT_TRUE(EqualRect(&watch.referenceRect, &watch.rect))
            << "Host at " << watch.rect.left << "," << watch.rect.top << "-" << watch.rect.right << ","
            << watch.rect.bottom << ", reference at " << watch.referenceRect.left << "," << watch.referenceRect.top
            << "-" << watch.referenceRect.right << "," << watch.referenceRect.bottom;
        EXPECT_TRUE(watch.topLevel) << "the Host window has a parent";
        EXPECT_EQ(HWND(NULL), watch.owner);
        EXPECT_EQ(HMENU(NULL), watch.menu);
        EXPECT_EQ(watch.instance, watch.windowInstance);
        EXPECT_EQ(watch.host, watch.dialogOwner) << "the Install dialog belongs to the Host window";

        EXPECT_FALSE(IsWindow(watch.host)) << "the Host window outlived WinMain";
        EXPECT_FALSE(ClassRegistered(watch.instance)) << "the Host class is still registered";
    }
}

// A module without the Install dialog's template: DialogBoxParamA fails with -1.
TEST(AppShell, DialogThatCannotBeMadeShowsTheSystemErrorBoxThenEndsNormally)
{
    HINSTANCE instance = GetModuleHandleA("kernel32.dll");
    ASSERT_TRUE(instance);
    ASSERT_FALSE(FindResourceA(instance, "INSTALL_DLG", MAKEINTRESOURCEA(5))) << "kernel32 has the dialog";
    Watch watch;
    watch.instance = instance;
    int result;
    {
        ScopedBoxAnswerer answerer;
        answerer.Push(IDOK);
        result = RunWatched(watch);
        ASSERT_EQ(1u, answerer.boxes.size()) << "one box, and only one";
        const SeenBox &box = answerer.boxes[0];
        EXPECT_EQ("Unable to display dialog", box.text);
        EXPECT_EQ("System Error", box.caption);
        EXPECT_EQ(HWND(NULL), box.owner) << "the box has an owner";
        EXPECT_EQ(UINT(MB_OK), box.buttons);
        EXPECT_EQ(UINT(MB_ICONSTOP), box.icon);
        ASSERT_TRUE(box.styleKnown) << "the box's style could not be read";
        EXPECT_EQ(UINT(MB_OK | MB_ICONHAND | MB_SYSTEMMODAL), box.style);
    }
    EXPECT_FALSE(watch.hung) << "WinMain did not return after the box";
    EXPECT_EQ(0, result);
    EXPECT_FALSE(watch.dialog) << "an Install dialog came";
    EXPECT_FALSE(IsWindow(hostWindow)) << "the Host window outlived WinMain";
    EXPECT_FALSE(ClassRegistered(instance)) << "the Host class is still registered";
}

}  // namespace
