// A stand-in for the Host window in the dialog tests: packed with a payload like the
// real installer, it runs the Install dialog over its own file and reports how the
// dialog ended, the options it left and the process's current directory.
#include <cstdio>

#include "engine/session.h"
#include "ui/install_dialog.h"

int main(int argc, char **argv)
{
    HINSTANCE instance = GetModuleHandleA(NULL);
    INT_PTR result = DialogBoxParamA(instance, "INSTALL_DLG", NULL, InstallDialogProc, 0);
    if (argc > 1) {
        FILE *report = fopen(argv[1], "w");
        if (!report)
            return 3;
        char current[MAX_PATH];
        GetCurrentDirectoryA(sizeof current, current);
        fprintf(report, "result %d\nmakeBackups %d\naddIcons %d\ncurrent %s\n", int(result),
                session.makeBackups ? 1 : 0, session.addIcons ? 1 : 0, current);
        fclose(report);
    }
    return int(result);
}
