// The out-of-process dialog driver: window search by process and caption, control
// reads across processes, posted clicks, message-box answers and screenshots.
#include "ui_driver.h"

#include <algorithm>
#include <cstdio>
#include <vector>

bool StartProgram(DrivenProgram &program, const std::string &commandLine, const std::string &directory)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string command = commandLine;
    program.started = CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL,
                                     directory.empty() ? NULL : directory.c_str(), &startup, &program.process) != 0;
    return program.started;
}

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

struct Search {
    DWORD processId;
    const char *caption;
    bool other;  // any caption but this one
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    Search &search = *reinterpret_cast<Search *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search.processId || !IsWindowVisible(window))
        return TRUE;
    char className[64];
    if (!GetClassNameA(window, className, sizeof className) || strcmp(className, "#32770") != 0)
        return TRUE;
    if ((WindowText(window) == search.caption) == search.other)
        return TRUE;
    search.found = window;
    return FALSE;
}

HWND FindNow(const DrivenProgram &program, const char *caption, bool other = false)
{
    Search search = {program.process.dwProcessId, caption, other, NULL};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

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

bool ControlVisible(HWND dialog, int id)
{
    return IsWindowVisible(GetDlgItem(dialog, id)) != 0;
}

bool ControlEnabled(HWND dialog, int id)
{
    return IsWindowEnabled(GetDlgItem(dialog, id)) != 0;
}

bool ControlChecked(HWND dialog, int id)
{
    return SendMessageA(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

LONG ControlStyle(HWND dialog, int id)
{
    return GetWindowLongA(GetDlgItem(dialog, id), GWL_STYLE);
}

HWND FocusedWindow(HWND dialog)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, NULL), &info))
        return NULL;
    return info.hwndFocus;
}

void Click(HWND dialog, int id)
{
    PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

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

bool WaitForMessageBox(const DrivenProgram &program, const char *caption, DWORD timeoutMs, SeenMessageBox &box)
{
    box = SeenMessageBox();
    box.window = FindDialog(program, caption, timeoutMs);
    if (!box.window)
        return false;
    box.caption = WindowText(box.window);
    box.text = ControlText(box.window, 0xFFFF);
    box.hasYes = GetDlgItem(box.window, IDYES) != NULL;
    box.hasNo = GetDlgItem(box.window, IDNO) != NULL;
    box.hasOk = GetDlgItem(box.window, IDOK) != NULL;
    return true;
}

bool AnswerMessageBox(const SeenMessageBox &box, int button)
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

// Runs ImageMagick's import on the Unix side into path (a Unix path) and waits for
// the file: Wine neither waits for a Unix program nor passes its exit code on, so
// the file is done once its size has settled.
static bool ImportScreen(const std::string &path)
{
    std::string windowsPath = "Z:" + path;
    for (char &c : windowsPath)
        if (c == '/')
            c = '\\';
    DeleteFileA(windowsPath.c_str());
    DrivenProgram import;
    if (!StartProgram(import, "/usr/bin/import -window root -depth 8 \"" + path + "\""))
        return false;
    WaitForExit(import, 30000);
    DWORD lastSize = 0, start = GetTickCount();
    while (GetTickCount() - start < 20000) {
        Sleep(100);
        WIN32_FILE_ATTRIBUTE_DATA data;
        DWORD size = GetFileAttributesExA(windowsPath.c_str(), GetFileExInfoStandard, &data) ? data.nFileSizeLow : 0;
        if (size > 0 && size == lastSize)
            return true;
        lastSize = size;
    }
    return false;
}

bool TakeScreenshot(const std::string &pngPath)
{
    return ImportScreen(pngPath);
}

bool CaptureScreen(ScreenImage &image)
{
    image = ScreenImage();
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string windowsPath = std::string(temp) + "screen_" + std::to_string(GetCurrentProcessId()) + ".ppm";
    // Wine's own export names the Unix file behind a Windows path.
    typedef char *(CDECL * UnixName)(LPCWSTR);
    UnixName unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName)
        return false;
    std::wstring wide(windowsPath.begin(), windowsPath.end());
    char *unixPath = unixName(wide.c_str());
    if (!unixPath)
        return false;
    std::string path = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    bool taken = ImportScreen(path);
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
