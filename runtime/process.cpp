// The current drive and the end of the program, on KERNEL32.
#include "runtime/process.h"

#include <windows.h>

#include "runtime/stream.h"

bool ChangeDrive(int drive)
{
    if (drive < 1 || drive > 26)
        return false;
    // "x:" without a backslash names the drive's own current directory.
    char name[3] = {char('A' + drive - 1), ':', '\0'};
    return SetCurrentDirectoryA(name) != FALSE;
}

void ExitProgram(int code)
{
    StreamCloseAll();
    ExitProcess(UINT(code));
}
