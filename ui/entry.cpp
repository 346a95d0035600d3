// The program's start: the loader calls SetupStart directly, with no C run-time
// start-up in between (the program links with -nostartfiles).
#include <stdlib.h>
#include <windows.h>

// msvcrt.dll sets up its heap, stdio and locale in its own DLL start-up, so the
// calls the installer makes into it (fopen, snprintf, malloc) need nothing from us.
// Nothing reads the command line, so no __getmainargs; no constructors or TLS
// callbacks to run. The loader's stack is only 4-byte aligned on i686: realign it.
extern "C" __attribute__((noreturn, force_align_arg_pointer)) void SetupStart()
{
    STARTUPINFOA startup;
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int showCommand = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    // exit rather than ExitProcess: msvcrt flushes and closes any stream still open.
    exit(WinMain(GetModuleHandleA(NULL), NULL, const_cast<char *>(""), showCommand));
}
