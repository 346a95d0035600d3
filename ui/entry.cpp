// The program's start: the loader calls SetupStart directly, with no C run-time
// start-up in between (the program links with -nostdlib and imports no C run-time).
#include <windows.h>

#include "runtime/process.h"

// Nothing reads the command line, and there are no constructors or TLS callbacks
// to run (cmake/setup32.ld stops the link if any appear). The loader's stack is only
// 4-byte aligned on i686: realign it.
extern "C" __attribute__((noreturn, force_align_arg_pointer)) void SetupStart()
{
    STARTUPINFOA startup;
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int showCommand = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    // Any stream still open is written and closed before the process ends.
    ExitProgram(WinMain(GetModuleHandleA(NULL), NULL, const_cast<char *>(""), showCommand));
}
