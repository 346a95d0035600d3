// Folders of the prefix and the Unix side behind it; see prefix.h.
#include "prefix.h"

std::string ModuleDirectory()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
    std::string s(path, n < sizeof path ? n : 0);
    return s.substr(0, s.find_last_of('\\') + 1);
}

std::string TempDirectory()
{
    char path[MAX_PATH];
    DWORD n = GetTempPathA(sizeof path, path);
    return std::string(path, n < sizeof path ? n : 0);
}

std::string WindowsDirectory()
{
    char path[MAX_PATH];
    UINT n = GetWindowsDirectoryA(path, sizeof path);
    return std::string(path, n < sizeof path ? n : 0);
}

std::string UnixPath(const std::string &windowsPath)
{
    typedef char *(CDECL * UnixName)(LPCWSTR);
    UnixName unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName)
        return "";
    std::wstring wide(windowsPath.size() + 1, L'\0');
    MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, &wide[0], int(wide.size()));
    char *unixPath = unixName(wide.c_str());
    if (!unixPath)
        return "";
    std::string path = unixPath;
    HeapFree(GetProcessHeap(), 0, unixPath);
    return path;
}

bool RunUnixCommand(const std::string &command, DWORD timeoutMs)
{
    static int runs = 0;
    std::string mark =
        TempDirectory() + "unix_done_" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++runs);
    DeleteFileA(mark.c_str());
    std::string unixMark = UnixPath(mark);
    if (unixMark.empty())
        return false;
    std::string line = "/bin/sh -c \"" + command + " && touch '" + unixMark + "'\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    DWORD start = GetTickCount();
    while (GetFileAttributesA(mark.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount() - start < timeoutMs)
        Sleep(10);
    return DeleteFileA(mark.c_str()) != 0;
}
