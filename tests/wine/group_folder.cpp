// Wine's group folder, its shortcuts and its folder windows; see group_folder.h.
#include "group_folder.h"

#include <objidl.h>
#include <shlobj.h>

#include <cstring>

#include "expected_texts.h"

std::string GroupFolder()
{
    char programs[MAX_PATH] = "";
    if (SHGetFolderPathA(NULL, CSIDL_PROGRAMS, NULL, 0, programs) != S_OK)
        return "";
    return std::string(programs) + "\\" + kGroupName;
}

std::vector<Shortcut> ReadShortcuts(const std::string &group)
{
    std::vector<Shortcut> found;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((group + "\\*.lnk").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return found;
    do {
        Shortcut shortcut{entry.cFileName, "", "", entry.ftLastWriteTime};
        IShellLinkA *link = nullptr;
        IPersistFile *file = nullptr;
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                       reinterpret_cast<void **>(&link))) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))) {
            std::string path = group + "\\" + entry.cFileName;
            wchar_t widePath[MAX_PATH];
            MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, widePath, MAX_PATH);
            char text[MAX_PATH] = "";
            if (SUCCEEDED(file->Load(widePath, STGM_READ))) {
                if (SUCCEEDED(link->GetPath(text, sizeof text, NULL, SLGP_RAWPATH)))
                    shortcut.target = text;
                text[0] = '\0';
                if (SUCCEEDED(link->GetWorkingDirectory(text, sizeof text)))
                    shortcut.workingDirectory = text;
            }
        }
        if (file)
            file->Release();
        if (link)
            link->Release();
        found.push_back(shortcut);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return found;
}

namespace {

struct GroupWindowSearch {
    DWORD desktopProcess;
    std::vector<DWORD> found;  // processes of windows captioned with the group's name
};

BOOL CALLBACK CollectGroupWindow(HWND window, LPARAM parameter)
{
    GroupWindowSearch &search = *reinterpret_cast<GroupWindowSearch *>(parameter);
    char title[MAX_PATH] = "", windowClass[MAX_PATH] = "";
    GetWindowTextA(window, title, sizeof title);
    GetClassNameA(window, windowClass, sizeof windowClass);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search.desktopProcess && pid != GetCurrentProcessId() && strcmp(title, kGroupName) == 0 &&
        strcmp(windowClass, "ExplorerWClass") == 0)
        search.found.push_back(pid);
    return TRUE;
}

}  // namespace

void CloseGroupWindows(size_t expected)
{
    DWORD desktopProcess = 0;
    GetWindowThreadProcessId(GetDesktopWindow(), &desktopProcess);
    GroupWindowSearch search{desktopProcess, {}};
    for (int tries = 0; tries < 50; tries++) {
        search.found.clear();
        EnumWindows(CollectGroupWindow, LPARAM(&search));
        if (search.found.size() >= expected)
            break;
        Sleep(100);
    }
    for (DWORD pid : search.found) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (process) {
            TerminateProcess(process, 0);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
}
