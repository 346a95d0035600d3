// The application shell: the entry point, the invisible Host window that owns the
// DDE instance, the Install dialog and the boxes after it, and the one message loop.
#include "ui/app.h"

#include "engine/session.h"
#include "resources/resource.h"
#include "shell/progman.h"
#include "ui/install_dialog.h"
#include "ui/messages.h"

#define HOST_CLASS_NAME "Ovra v5.3 32bit Installation"
// The same identifier as the dialog's step timer: the Host window has no other timer.
#define HOST_CLOSE_TIMER 1025
#define HOST_CLOSE_TIMER_MS 50

HWND hostWindow;

namespace {

typedef BOOL(WINAPI *Ctl3dCall)(HINSTANCE);

HINSTANCE appInstance;
HMODULE ctl3dLibrary;  // only while its three functions are in use
Ctl3dCall ctl3dRegister;
Ctl3dCall ctl3dUnregister;
Ctl3dCall ctl3dAutoSubclass;

const char kIconRetryText[] = "There seems to be a problem adding Ovra icons to the Program Manager!\n\n"
                              "Do you want me to try again?";
const char kSuccessText[] = "Ovra Installation was successful!\n\n"
                            "Please take the time to browse through the guide.txt, changes.txt, and ovra.hlp files!\n\n"
                            "Have fun!";

Ctl3dCall Ctl3dFunction(const char *name)
{
    return reinterpret_cast<Ctl3dCall>(reinterpret_cast<void *>(GetProcAddress(ctl3dLibrary, name)));
}

// The three-dimensional controls are optional: without the library, or with one of
// its functions missing, the program runs as it is and says nothing.
void StartCtl3d()
{
    // No system box about a missing library; the mode stays for the rest of the run.
    SetErrorMode(SEM_NOOPENFILEERRORBOX);
    ctl3dLibrary = LoadLibraryA("Ctl3d32.dll");
    if (!ctl3dLibrary)
        return;
    ctl3dRegister = Ctl3dFunction("Ctl3dRegister");
    ctl3dUnregister = Ctl3dFunction("Ctl3dUnregister");
    ctl3dAutoSubclass = Ctl3dFunction("Ctl3dAutoSubclass");
    if (!ctl3dRegister || !ctl3dUnregister || !ctl3dAutoSubclass) {
        FreeLibrary(ctl3dLibrary);
        ctl3dLibrary = NULL;
        return;
    }
    ctl3dRegister(appInstance);
    ctl3dAutoSubclass(appInstance);
}

void StopCtl3d()
{
    if (!ctl3dLibrary)
        return;
    ctl3dUnregister(appInstance);
    FreeLibrary(ctl3dLibrary);
    ctl3dLibrary = NULL;
}

// The one run of the Install dialog and what follows it; the program always ends after it.
void RunInstallation()
{
    INT_PTR result = DialogBoxParamA(appInstance, "INSTALL_DLG", hostWindow, InstallDialogProc, 0);
    if (result == 1) {
        if (session.addIcons) {
            // Only an explicit Yes tries again; the user may retry as often as he likes.
            while (!CreateProgramGroup() && ShowMessage(hostWindow, kIconRetryText, "Ovra Installation Error [15]",
                                                        MB_YESNO | MB_ICONQUESTION | MB_SYSTEMMODAL) == IDYES) {
            }
        }
        ShowMessage(hostWindow, kSuccessText, "Ovra Installation", MB_OK | MB_ICONINFORMATION);
    } else if (result == -1) {
        ShowMessage(NULL, "Unable to display dialog", "System Error", MB_OK | MB_ICONHAND | MB_SYSTEMMODAL);
    }
    // Closing from the next tick lets this message return before the window goes.
    SetTimer(hostWindow, HOST_CLOSE_TIMER, HOST_CLOSE_TIMER_MS, NULL);
}

}  // namespace

LRESULT CALLBACK HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        // A failure leaves ddeInstance 0; the group commands then fail and the user is asked.
        DdeInitializeA(&ddeInstance, DdeCallback, 0, 0);
        return 0;
    case WM_USER: RunInstallation(); return 0;
    case WM_TIMER:
        KillTimer(window, HOST_CLOSE_TIMER);
        SendMessageA(window, WM_CLOSE, 0, 0);
        return 0;
    case WM_CLOSE:
        DdeUninitialize(ddeInstance);
        DestroyWindow(window);
        return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    appInstance = instance;

    WNDCLASSA windowClass = {};
    windowClass.style = 0;
    windowClass.lpfnWndProc = HostWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_HOST));
    windowClass.hCursor = LoadCursorA(NULL, IDC_ARROW);
    windowClass.hbrBackground = HBRUSH(GetStockObject(BLACK_BRUSH));
    windowClass.lpszClassName = HOST_CLASS_NAME;
    if (!RegisterClassA(&windowClass))
        return 0;

    // Invisible by its size and place rather than by its style.
    hostWindow = CreateWindowExA(0, HOST_CLASS_NAME, HOST_CLASS_NAME, WS_OVERLAPPEDWINDOW, -50, -50, 0, 0, NULL, NULL,
                                 instance, NULL);
    if (!hostWindow)
        return 0;
    ShowWindow(hostWindow, showCommand);
    UpdateWindow(hostWindow);

    session.newShell = IsNewShell(GetVersion());
    if (!session.newShell)
        StartCtl3d();

    // The dialog starts from inside the loop, with the controls library already registered.
    PostMessageA(hostWindow, WM_USER, 0, 0);
    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }

    StopCtl3d();
    UnregisterClassA(HOST_CLASS_NAME, instance);
    return 0;
}
