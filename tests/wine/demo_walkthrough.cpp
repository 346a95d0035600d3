// The demo installer walked through from outside for scripts/run.sh when there is no
// display to show it on: a complete installation with both options, a screenshot of
// each stage, and afterwards what the installation left (files and group shortcuts).
//
//   demo_walkthrough run INSTALLER SHOT_DIR   SHOT_DIR is a Unix path (ImageMagick writes there)
//   demo_walkthrough list DESTINATION         the destination's files and the group's shortcuts
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "tests/wine/expected_texts.h"
#include "tests/wine/group_folder.h"
#include "tests/wine/ui_driver.h"

namespace {

const DWORD kWindowWait = 30000;
const DWORD kRunWait = 180000;

bool Fail(const char *what)
{
    fprintf(stderr, "walk-through: %s\n", what);
    fflush(stderr);
    return false;
}

bool Shoot(const std::string &directory, const char *name, const char *stage)
{
    std::string path = directory + "/" + name;
    if (!TakeScreenshot(path))
        return Fail("the screenshot could not be taken (is ImageMagick's import installed?)");
    printf("screenshot: %s  (%s)\n", path.c_str(), stage);
    fflush(stdout);
    return true;
}

bool Walk(DrivenProgram &program, const std::string &installer, const std::string &shots)
{
    if (!StartProgram(program, "\"" + installer + "\"", "c:\\"))
        return Fail("the installer does not start");
    HWND dialog = FindDialog(program, kDialogCaption, kWindowWait);
    if (!dialog)
        return Fail("the Install dialog did not come up");
    printf("installer: %s, proposed destination %s\n", installer.c_str(), ControlText(dialog, IDC_DEST_TEXT).c_str());
    for (int option : {IDC_MAKE_BACKUPS, IDC_ADD_ICONS}) {
        if (!ControlChecked(dialog, option))
            Click(dialog, option);
    }
    WaitUntilPainted(dialog, kWindowWait);
    if (!ControlChecked(dialog, IDC_MAKE_BACKUPS) || !ControlChecked(dialog, IDC_ADD_ICONS))
        return Fail("the two options could not be set");
    if (!Shoot(shots, "1-idle.png", "the Install dialog, both options set"))
        return false;

    Click(dialog, IDC_INSTALL);
    if (!WaitForControlTextPrefix(dialog, IDC_STATUS_LINE, "Extracting file: ", kWindowWait))
        return Fail("the installation did not start extracting");
    // The step that set the status line also paints the bar before it returns.
    WaitUntilPainted(dialog, kWindowWait);
    std::string status = ControlText(dialog, IDC_STATUS_LINE);
    // The demo run lasts about a second, less than taking a picture: the installer's
    // thread is held while the screen is taken, so the picture shows the run mid-way.
    bool held = SuspendThread(program.process.hThread) != DWORD(-1);
    bool shot =
        Shoot(shots, "2-installing.png", (status + (held ? ", the installer held for the picture" : "")).c_str());
    if (held)
        ResumeThread(program.process.hThread);
    if (!shot)
        return false;

    // The settings question comes only over an earlier installation: its settings are kept.
    SeenBox box;
    DWORD start = GetTickCount();
    for (;;) {
        HWND other = FindOtherDialog(program, kDialogCaption);
        std::string caption = other ? WindowText(other) : "";
        if (caption == kSuccessCaption && WaitForMessageBox(program, kSuccessCaption, 0, box))
            break;
        if (caption == kWarningCaption && WaitForMessageBox(program, kWarningCaption, 0, box)) {
            printf("question: %s -> Yes\n", box.text.c_str());
            AnswerMessageBox(box, IDYES);
            continue;
        }
        if (!caption.empty()) {
            fprintf(stderr, "walk-through: unexpected box \"%s\": %s\n", caption.c_str(),
                    ControlText(other, 0xFFFF).c_str());
            return false;
        }
        if (HasEnded(program))
            return Fail("the installer ended without its success message");
        if (GetTickCount() - start > kRunWait)
            return Fail("no success message within three minutes");
        Sleep(20);
    }
    if (box.text != kSuccessText)
        return Fail("the success message has an unexpected text");
    // Wine's Program Manager opens a folder window on the group for CreateGroup and
    // for ShowGroup, a moment after each; they would cover the success message.
    CloseGroupWindows(2);
    WaitUntilPainted(box.window, kWindowWait);
    if (!Shoot(shots, "3-success.png", "the success message"))
        return false;
    if (!AnswerMessageBox(box, IDOK))
        return Fail("the success message did not close");
    long code = WaitForExit(program, 20000);
    printf("installer exit code: %ld\n", code);
    return code == 0 || Fail("the installer did not end with exit code 0");
}

void ListFiles(const std::string &directory, const std::string &indent)
{
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (strcmp(entry.cFileName, ".") == 0 || strcmp(entry.cFileName, "..") == 0)
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            printf("%s%s\\\n", indent.c_str(), entry.cFileName);
            ListFiles(directory + "\\" + entry.cFileName, indent + "  ");
        } else {
            printf("%s%-14s %9lu bytes\n", indent.c_str(), entry.cFileName, entry.nFileSizeLow);
        }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
}

bool List(const std::string &destination)
{
    if (GetFileAttributesA(destination.c_str()) == INVALID_FILE_ATTRIBUTES) {
        printf("installed: nothing in %s\n", destination.c_str());
        return true;
    }
    printf("installed in %s:\n", destination.c_str());
    ListFiles(destination, "  ");
    std::string group = GroupFolder();
    if (FAILED(CoInitialize(NULL)) || group.empty())
        return Fail("the Programs folder is unknown");
    std::vector<Shortcut> shortcuts = ReadShortcuts(group);
    if (shortcuts.empty()) {
        printf("group \"%s\": none\n", kGroupName);
    } else {
        printf("group \"%s\" (%s):\n", kGroupName, group.c_str());
        for (const Shortcut &s : shortcuts)
            printf("  %-16s -> %s (in %s)\n", s.name.c_str(), s.target.c_str(), s.workingDirectory.c_str());
    }
    CoUninitialize();
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    bool ok;
    if (argc == 4 && strcmp(argv[1], "run") == 0) {
        DrivenProgram program;
        ok = Walk(program, argv[2], argv[3]);
        // What the screen showed when it went wrong, then no installer left behind.
        if (!ok)
            Shoot(argv[3], "failed.png", "the screen when the walk-through failed");
        StopProgram(program);
    } else if (argc == 3 && strcmp(argv[1], "list") == 0)
        ok = List(argv[2]);
    else {
        fprintf(stderr, "usage: demo_walkthrough run INSTALLER SHOT_DIR | list DESTINATION\n");
        return 2;
    }
    fflush(stdout);
    return ok ? 0 : 1;
}
