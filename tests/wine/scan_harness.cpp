// A stand-in installer for the scan tests: packed with a payload like the real one,
// it scans its own program file on a plain window with a status line and a bar
// area, answers every box with OK, and writes what happened to a report file.
#include <cstdio>
#include <cstring>

#include "engine/session.h"
#include "msgbox_answerer.h"
#include "resources/resource.h"
#include "stand_in_window.h"

static FILE *report;
static WNDPROC staticProc;

static uint32_t HashFile(const char *path, long &size)
{
    uint32_t hash = 2166136261u;
    size = -1;
    FILE *f = fopen(path, "rb");
    if (!f)
        return 0;
    size = 0;
    for (int c; (c = fgetc(f)) != EOF; size++)
        hash = (hash ^ uint8_t(c)) * 16777619u;
    fclose(f);
    return hash;
}

// Every status text, and at each placement the temporary file as it was handed over.
static LRESULT CALLBACK StatusProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTEXT) {
        const char *text = reinterpret_cast<const char *>(lParam);
        fprintf(report, "status %s\n", text);
        if (strncmp(text, "Validating file: ", 17) == 0) {
            long size;
            uint32_t hash = HashFile(session.tempPath, size);
            fprintf(report, "temp %s %ld %08x\n", session.tempPath, size, unsigned(hash));
        }
    }
    return CallWindowProcA(staticProc, window, message, wParam, lParam);
}

int main(int argc, char **argv)
{
    bool moveSelf = argc == 4 && strcmp(argv[3], "--move-self-away") == 0;
    if (argc != 3 && !moveSelf) {
        fprintf(stderr, "usage: scan_harness REPORT DESTINATION [--move-self-away]\n");
        return 2;
    }
    report = fopen(argv[1], "w");
    if (!report)
        return 2;
    HWND window = CreateStandInWindow(0, 0, 300, 100, {10, 40, 210, 60});
    HWND status = GetDlgItem(window, IDC_STATUS_LINE);
    staticProc = WNDPROC(SetWindowLongPtrA(status, GWLP_WNDPROC, LONG_PTR(StatusProc)));

    if (!BeginStandInRun(window, argv[2])) {
        fprintf(stderr, "scan_harness: destination too long: %s\n", argv[2]);
        return 2;
    }
    BoxAnswerer answerer;
    BoxAnswererStart(answerer);

    if (moveSelf) {
        // The installer's own file is gone by the time the run starts.
        char self[MAX_PATH], moved[MAX_PATH + 8];
        GetModuleFileNameA(NULL, self, sizeof self);
        snprintf(moved, sizeof moved, "%s.gone", self);
        if (!MoveFileA(self, moved))
            fprintf(report, "cannot move %s\n", self);
    }
    OpenResult result = OpenInstallerFile();
    fprintf(report, "open %d\n", int(result));
    while (result == OPEN_DONE) {
        int step = ScanStep();
        long position = session.installerFile ? StreamTell(session.installerFile) : -1;
        fprintf(report, "step %d %ld %d\n", step, position, int(session.placedCount));
        if (step != STEP_MORE)
            break;
    }
    BoxAnswererStop(answerer);
    for (const SeenBox &box : answerer.boxes) {
        fprintf(report, "box %s|", box.caption.c_str());
        for (char c : box.text)
            fputs(c == '\n' ? "\\n" : std::string(1, c).c_str(), report);
        fprintf(report, "|%u|%u|%d\n", box.buttons, box.icon, box.owner == window ? 1 : 0);
    }
    fprintf(report, "end %d %08x %d %d\n", int(session.placedCount), unsigned(session.checksum),
            session.installerFile ? 1 : 0, session.tempFile ? 1 : 0);
    fclose(report);
    DestroyWindow(window);
    return 0;
}
