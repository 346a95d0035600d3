// The out-of-process dialog driver: window search by process and caption, control
// reads across processes, posted clicks, message-box answers and screenshots.
#include "ui_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "prefix.h"

bool StartProgram(DrivenProgram &program, const std::string &commandLine, const std::string &directory)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string command = commandLine;
    // Wine has been seen to refuse a start once (error 1359) on a loaded machine; the
    // program started is what is under test, so a start is tried again.
    for (int attempt = 1; attempt <= 3; attempt++) {
        program.started = CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL,
                                         directory.empty() ? NULL : directory.c_str(), &startup, &program.process) != 0;
        if (program.started)
            break;
        DWORD error = GetLastError();
        printf("starting %s failed with error %lu (attempt %d)\n", commandLine.c_str(), error, attempt);
        fflush(stdout);
        SetLastError(error);
        if (attempt < 3)
            Sleep(500);
    }
    return program.started;
}

ScopedEnvironment::ScopedEnvironment(const char *variable, const std::string &value) : name(variable)
{
    char buffer[1024];
    DWORD n = GetEnvironmentVariableA(variable, buffer, sizeof buffer);
    had = n > 0 && n < sizeof buffer;
    old = had ? std::string(buffer, n) : "";
    SetEnvironmentVariableA(variable, value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() { SetEnvironmentVariableA(name.c_str(), had ? old.c_str() : NULL); }

long WaitForExit(DrivenProgram &program, DWORD timeoutMs)
{
    if (!program.started)
        return -3;
    if (WaitForSingleObject(program.process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        StopProgram(program);
        return -2;
    }
    DWORD code = 0;
    GetExitCodeProcess(program.process.hProcess, &code);
    CloseHandle(program.process.hProcess);
    CloseHandle(program.process.hThread);
    program.started = false;
    return long(code);
}

void StopProgram(DrivenProgram &program)
{
    if (!program.started)
        return;
    TerminateProcess(program.process.hProcess, 99);
    WaitForSingleObject(program.process.hProcess, 5000);
    CloseHandle(program.process.hProcess);
    CloseHandle(program.process.hThread);
    program.started = false;
}

bool HasEnded(DrivenProgram &program)
{
    return !program.started || WaitForSingleObject(program.process.hProcess, 0) == WAIT_OBJECT_0;
}

std::string WindowText(HWND window)
{
    char text[2048];
    int n = GetWindowTextA(window, text, sizeof text);
    return std::string(text, n > 0 ? n : 0);
}

namespace {

struct WindowSearch {
    DWORD processId;
    const char *className;
    bool visibleOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter)
{
    WindowSearch &search = *reinterpret_cast<WindowSearch *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (owner == search.processId && (!search.visibleOnly || IsWindowVisible(window)) &&
        strcmp(className, search.className) == 0)
        search.found.push_back(window);
    return TRUE;
}

// The first visible dialog of the program with this caption (or, with other, with any
// other caption), or NULL.
HWND FindNow(const DrivenProgram &program, const char *caption, bool other = false)
{
    for (HWND window : ProcessWindows(program, "#32770", true))
        if ((WindowText(window) == caption) != other)
            return window;
    return NULL;
}

}  // namespace

std::vector<HWND> ProcessWindows(const DrivenProgram &program, const char *className, bool visibleOnly)
{
    WindowSearch search{program.process.dwProcessId, className, visibleOnly, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::vector<HWND> VisibleDialogs(const DrivenProgram &program, HWND except)
{
    std::vector<HWND> dialogs = ProcessWindows(program, "#32770", true);
    dialogs.erase(std::remove(dialogs.begin(), dialogs.end(), except), dialogs.end());
    return dialogs;
}

HWND FindDialog(const DrivenProgram &program, const char *caption, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND found = FindNow(program, caption);
        if (found || GetTickCount() - start > timeoutMs)
            return found;
        Sleep(15);
    }
}

HWND FindOtherDialog(const DrivenProgram &program, const char *exceptCaption)
{
    return FindNow(program, exceptCaption, true);
}

bool StaysAbsent(const DrivenProgram &program, const char *caption, DWORD quietMs)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < quietMs) {
        if (FindNow(program, caption))
            return false;
        Sleep(15);
    }
    return true;
}

std::string ControlText(HWND dialog, int id)
{
    // WM_GETTEXT, not GetWindowText: for another process's window the latter gives
    // the stored window name, which an edit control never updates.
    HWND control = GetDlgItem(dialog, id);
    if (!control)
        return "<no control>";
    char text[2048];
    LRESULT n = SendMessageA(control, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return std::string(text, n > 0 ? size_t(n) : 0);
}

bool ControlVisible(HWND dialog, int id) { return IsWindowVisible(GetDlgItem(dialog, id)) != 0; }

bool ControlEnabled(HWND dialog, int id) { return IsWindowEnabled(GetDlgItem(dialog, id)) != 0; }

bool ControlChecked(HWND dialog, int id)
{
    return SendMessageA(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

LONG ControlStyle(HWND dialog, int id) { return GetWindowLongA(GetDlgItem(dialog, id), GWL_STYLE); }

HWND FocusedWindow(HWND dialog)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, NULL), &info))
        return NULL;
    return info.hwndFocus;
}

void Click(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

bool WaitForControlText(HWND dialog, int id, const std::string &text, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (ControlText(dialog, id) != text) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

bool WaitForControlTextPrefix(HWND dialog, int id, const std::string &prefix, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (ControlText(dialog, id).compare(0, prefix.size(), prefix) != 0) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

SeenBox ReadMessageBox(HWND window)
{
    SeenBox box;
    box.window = window;
    box.owner = GetWindow(window, GW_OWNER);
    box.caption = WindowText(window);
    box.text = GetDlgItem(window, 0xFFFF) ? ControlText(window, 0xFFFF) : std::string();
    box.hasYes = GetDlgItem(window, IDYES) != NULL;
    box.hasNo = GetDlgItem(window, IDNO) != NULL;
    box.hasOk = GetDlgItem(window, IDOK) != NULL;
    bool cancel = GetDlgItem(window, IDCANCEL) != NULL;
    if (box.hasYes && box.hasNo)
        box.buttons = cancel ? MB_YESNOCANCEL : MB_YESNO;
    else if (GetDlgItem(window, IDABORT))
        box.buttons = MB_ABORTRETRYIGNORE;
    else if (GetDlgItem(window, IDRETRY))
        box.buttons = MB_RETRYCANCEL;
    else if (box.hasOk && cancel)
        box.buttons = MB_OKCANCEL;
    else
        box.buttons = box.hasOk ? MB_OK : UINT(-1);
    return box;
}

bool WaitForMessageBox(const DrivenProgram &program, const char *caption, DWORD timeoutMs, SeenBox &box)
{
    box = SeenBox();
    HWND window = FindDialog(program, caption, timeoutMs);
    if (!window)
        return false;
    box = ReadMessageBox(window);
    return true;
}

bool AnswerMessageBox(const SeenBox &box, int button)
{
    PostMessageA(box.window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box.window, button)));
    return WaitUntilGone(box.window, 10000);
}

bool WaitUntilGone(HWND window, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (IsWindow(window) && IsWindowVisible(window)) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

namespace {

BOOL CALLBACK FindUnpainted(HWND child, LPARAM found)
{
    if (IsWindowVisible(child) && GetUpdateRect(child, NULL, FALSE)) {
        *reinterpret_cast<bool *>(found) = true;
        return FALSE;
    }
    return TRUE;
}

bool HasUnpainted(HWND window)
{
    if (GetUpdateRect(window, NULL, FALSE))
        return true;
    bool found = false;
    EnumChildWindows(window, FindUnpainted, reinterpret_cast<LPARAM>(&found));
    return found;
}

}  // namespace

bool WaitUntilPainted(HWND window, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (!IsWindow(window) || spent > timeoutMs)
            return false;
        // BeginPaint empties the update region before the drawing starts; a sent
        // message is answered only once the thread is back in a message loop, that
        // is after the paint handler has returned.
        DWORD_PTR ignored = 0;
        if (!HasUnpainted(window) &&
            SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs - spent, &ignored) &&
            !HasUnpainted(window))
            return true;
        Sleep(10);
    }
}

bool WaitForFocus(HWND dialog, int id, DWORD timeoutMs)
{
    HWND control = GetDlgItem(dialog, id);
    DWORD start = GetTickCount();
    while (control == NULL || FocusedWindow(dialog) != control) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(10);
    }
    return true;
}

// ImageMagick's import on the Unix side writes the screen to path (a Unix path).
static bool ImportScreen(const std::string &path)
{
    return RunUnixCommand("/usr/bin/import -window root -depth 8 '" + path + "'", 30000);
}

bool TakeScreenshot(const std::string &pngPath) { return ImportScreen(pngPath); }

bool CaptureScreen(ScreenImage &image)
{
    image = ScreenImage();
    std::string windowsPath = TempDirectory() + "screen_" + std::to_string(GetCurrentProcessId()) + ".ppm";
    std::string path = UnixPath(windowsPath);
    bool taken = !path.empty() && ImportScreen(path);
    FILE *f = taken ? fopen(windowsPath.c_str(), "rb") : NULL;
    if (!f)
        return false;
    int maxValue = 0;
    bool ok = fscanf(f, "P6 %d %d %d", &image.width, &image.height, &maxValue) == 3 && maxValue == 255 &&
              fgetc(f) != EOF && image.width > 0 && image.height > 0;
    if (ok) {
        image.rgb.resize(size_t(image.width) * image.height * 3);
        ok = fread(image.rgb.data(), 1, image.rgb.size(), f) == image.rgb.size();
    }
    fclose(f);
    DeleteFileA(windowsPath.c_str());
    return ok;
}

int CountColour(const ScreenImage &image, const RECT &area, COLORREF colour)
{
    int count = 0;
    for (int y = std::max(0L, area.top); y < std::min(LONG(image.height), area.bottom); y++)
        for (int x = std::max(0L, area.left); x < std::min(LONG(image.width), area.right); x++) {
            const unsigned char *p = &image.rgb[(size_t(y) * image.width + x) * 3];
            count += p[0] == GetRValue(colour) && p[1] == GetGValue(colour) && p[2] == GetBValue(colour);
        }
    return count;
}

std::vector<uint32_t> IconOverBackground(HICON icon, int width, int height, COLORREF background)
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = NULL;
    HDC memory = CreateCompatibleDC(NULL);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    HBRUSH brush = CreateSolidBrush(background);
    RECT all = {0, 0, width, height};
    FillRect(memory, &all, brush);
    DeleteObject(brush);
    DrawIcon(memory, 0, 0, icon);
    GdiFlush();
    const uint32_t *row = static_cast<const uint32_t *>(bits);
    std::vector<uint32_t> pixels(row, row + size_t(width) * height);
    for (uint32_t &p : pixels)
        p &= 0xFFFFFF;
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    return pixels;
}
