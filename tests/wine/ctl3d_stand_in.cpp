// A stand-in for Ctl3d32.dll that the shell tests put beside the installer: it writes
// each call it gets, and its loading and unloading, into ctl3d32.log beside itself.
// Built twice: with all three functions, and without Ctl3dAutoSubclass (CTL3D_LACKING).
#include <windows.h>

#include <cstring>
#include <initializer_list>

namespace {

HMODULE self;

// One line per event: "Ctl3dRegister main" when the argument is the program's own
// module handle, "... other" when it is anything else.
void Record(const char *event, const char *detail)
{
    char path[MAX_PATH + 16];
    DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    char *slash = strrchr(path, '\\');
    if (!slash)
        return;
    const char logName[] = "ctl3d32.log";
    memcpy(slash + 1, logName, sizeof logName);
    HANDLE log = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, NULL);
    if (log == INVALID_HANDLE_VALUE)
        return;
    char line[96];
    size_t used = 0;
    for (const char *part : {event, detail[0] ? " " : "", detail, "\n"}) {
        size_t n = strlen(part);
        if (used + n >= sizeof line)
            break;
        memcpy(line + used, part, n);
        used += n;
    }
    DWORD written;
    WriteFile(log, line, DWORD(used), &written, NULL);
    CloseHandle(log);
}

BOOL RecordCall(const char *function, HINSTANCE instance)
{
    Record(function, instance == GetModuleHandleA(NULL) ? "main" : "other");
    return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
        Record("attach", "");
    } else if (reason == DLL_PROCESS_DETACH) {
        // FreeLibrary passes no reserved pointer; the end of the process does.
        Record("detach", reserved ? "at exit" : "freed");
    }
    return TRUE;
}

__declspec(dllexport) BOOL WINAPI Ctl3dRegister(HINSTANCE instance) { return RecordCall("Ctl3dRegister", instance); }

__declspec(dllexport) BOOL WINAPI Ctl3dUnregister(HINSTANCE instance)
{
    return RecordCall("Ctl3dUnregister", instance);
}

#ifndef CTL3D_LACKING
__declspec(dllexport) BOOL WINAPI Ctl3dAutoSubclass(HINSTANCE instance)
{
    return RecordCall("Ctl3dAutoSubclass", instance);
}
#endif

}  // extern "C"
