// Times whole installations through the real installer program, driven from outside
// as a user would drive it: packs setup32-stub.exe (beside this program) with about
// 2 MB of mixed content, clicks "&Install" and waits for the success message.
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/payload.h"
#include "resources/resource.h"
#include "tests/wine/ui_driver.h"
#include "tools/packer.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char kDialogCaption[] = "Ovra v5.3 32bit Installation";
const char kSuccessCaption[] = "Ovra Installation";
const char kWork[] = "c:\\install_bench";
const char kDestination[] = "c:\\install_bench\\ovra";
const DWORD kRunWait = 300000;

double Now()
{
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return double(t.QuadPart) * 1000.0 / double(f.QuadPart);
}

// The shape of the product's payload (one large program, help files, text and
// settings), scaled up; each item mixes four kinds of content in 4 KiB runs.
const size_t kItemSizes[kPayloadItemCount] = {2300000, 98304, 291636, 136474, 7980, 390512,
                                              2058,    584,   5134,   47006,  1564};

Bytes MixedContent(size_t size, int item, uint32_t &seed)
{
    static const char *const words[] = {"window", "channel", "server", "nick", "=", "join", "the", "macro",
                                        "\r\n", "[options]", "colour", "help", "topic", "42", "away", " "};
    static const uint8_t opcodes[] = {0x55, 0x8B, 0xEC, 0x83, 0xC4, 0x89, 0x45, 0xE8,
                                      0xFF, 0x15, 0x50, 0x6A, 0xC3, 0x74, 0x85, 0xC0};
    Bytes b;
    b.reserve(size);
    while (b.size() < size) {
        size_t run = std::min<size_t>(4096, size - b.size());
        int kind = int((b.size() / 4096 + item) % 4);
        for (size_t k = 0; k < run;) {
            seed = seed * 1103515245u + 12345u;
            uint8_t r = uint8_t(seed >> 24);
            if (kind == 0) {  // text
                for (const char *w = words[r & 15]; *w && k < run; w++, k++)
                    b.push_back(uint8_t(*w));
                continue;
            }
            if (kind == 1)  // program-like: common opcodes, small operands, some noise
                b.push_back(r < 128 ? opcodes[r & 15] : r < 192 ? 0 : uint8_t(seed >> 16));
            else if (kind == 2)
                b.push_back(0);
            else
                b.push_back(r);
            k++;
        }
    }
    return b;
}

void RemoveTree(const std::string &path)
{
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileA(path.c_str());
        return;
    }
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name != "." && name != "..")
                RemoveTree(path + "\\" + name);
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path.c_str());
}

// Any visible box of the program other than the Install dialog.
struct BoxSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK FindOtherBox(HWND window, LPARAM parameter)
{
    BoxSearch &search = *reinterpret_cast<BoxSearch *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (owner == search.processId && IsWindowVisible(window) && strcmp(className, "#32770") == 0 &&
        WindowText(window) != kDialogCaption) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}

HWND OtherBox(const DrivenProgram &program)
{
    BoxSearch search = {program.process.dwProcessId, NULL};
    EnumWindows(FindOtherBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Wine's Program Manager opens a folder window on the group for CreateGroup and for
// ShowGroup; they are asked to close, as a user would close them.
BOOL CALLBACK CloseGroupWindow(HWND window, LPARAM closed)
{
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (IsWindowVisible(window) && strcmp(className, "ExplorerWClass") == 0 && WindowText(window) == "Ovra") {
        PostMessageA(window, WM_CLOSE, 0, 0);
        if (WaitUntilGone(window, 5000))
            ++*reinterpret_cast<int *>(closed);
    }
    return TRUE;
}

void CloseGroupWindows()
{
    int closed = 0;
    for (DWORD start = GetTickCount(); closed < 2 && GetTickCount() - start < 5000; Sleep(50))
        EnumWindows(CloseGroupWindow, reinterpret_cast<LPARAM>(&closed));
}

struct RunResult {
    bool ok = false;
    double clickToSuccessMs = 0;
    // Only with the probe: the Install dialog's thread seen from outside.
    std::vector<double> busyMs;  // each time it did not answer for more than kBusyMs
    double worstBusyAtMs = 0;    // when the longest began, from the click
};

// A ping answered later than this means the dialog's thread was at work in between.
const double kBusyMs = 4.0;

bool Fail(DrivenProgram &program, const char *what)
{
    fprintf(stderr, "install_bench: %s\n", what);
    StopProgram(program);
    return false;
}

// One installation from the click to the success message. With probe set, the
// dialog is pinged (WM_NULL, sent) about once a millisecond until it closes: a
// step runs on the dialog's thread, so no ping is answered while one runs, and
// the longest wait between two answers is the longest step.
bool TimedRun(const std::string &exe, bool addIcons, bool probe, const std::vector<size_t> &expectedSizes,
              RunResult &result)
{
    result = RunResult();
    RemoveTree(kDestination);
    DrivenProgram program;
    if (!StartProgram(program, "\"" + exe + "\"", kWork))
        return Fail(program, "the installer does not start");
    HWND dialog = FindDialog(program, kDialogCaption, 30000);
    if (!dialog)
        return Fail(program, "no Install dialog");
    SetDlgItemTextA(dialog, IDC_DEST_TEXT, kDestination);
    if (ControlChecked(dialog, IDC_ADD_ICONS) != addIcons)
        Click(dialog, IDC_ADD_ICONS);
    for (DWORD start = GetTickCount(); ControlChecked(dialog, IDC_ADD_ICONS) != addIcons; Sleep(10))
        if (GetTickCount() - start > 5000)
            return Fail(program, "the icons option does not change");
    Sleep(300);

    double clicked = Now();
    Click(dialog, IDC_INSTALL);
    HWND box = NULL;
    double lastAnswer = clicked;
    double worst = 0;
    bool dialogOpen = true;
    double lastBoxCheck = clicked;
    while (!box) {
        double now = Now();
        if (now - clicked > kRunWait)
            return Fail(program, "no success message within five minutes");
        if (!probe || !dialogOpen || now - lastBoxCheck > 10) {
            box = OtherBox(program);
            lastBoxCheck = now;
            if (box)
                break;
            if (HasEnded(program))
                return Fail(program, "the installer ended without its success message");
        }
        if (!probe || !dialogOpen) {
            Sleep(10);
            continue;
        }
        DWORD_PTR answer;
        SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 10000, &answer);
        double answered = Now();
        double busy = answered - lastAnswer;
        if (busy > kBusyMs) {
            result.busyMs.push_back(busy);
            if (busy > worst) {
                worst = busy;
                result.worstBusyAtMs = lastAnswer - clicked;
            }
        }
        lastAnswer = answered;
        dialogOpen = IsWindowVisible(dialog) != 0;
        Sleep(1);
    }
    result.clickToSuccessMs = Now() - clicked;
    std::string caption = WindowText(box);
    if (caption != kSuccessCaption) {
        fprintf(stderr, "install_bench: box \"%s\": %s\n", caption.c_str(), ControlText(box, 0xFFFF).c_str());
        return Fail(program, "the installation did not succeed");
    }
    if (addIcons)
        CloseGroupWindows();
    SeenMessageBox seen;
    if (!WaitForMessageBox(program, kSuccessCaption, 1000, seen) || !AnswerMessageBox(seen, IDOK))
        return Fail(program, "the success message does not close");
    if (WaitForExit(program, 20000) != 0)
        return Fail(program, "the installer did not end with exit code 0");
    // A timing of a run that installed something else would mean nothing.
    for (int i = 0; i < kPayloadItemCount; i++) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        std::string path = std::string(kDestination) + "\\" + PayloadItemName(i);
        if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
            data.nFileSizeLow != expectedSizes[i]) {
            fprintf(stderr, "install_bench: %s is missing or has the wrong size\n", path.c_str());
            return false;
        }
    }
    result.ok = true;
    return true;
}

void RemoveGroup()
{
    char programs[MAX_PATH];
    if (SUCCEEDED(SHGetFolderPathA(NULL, CSIDL_PROGRAMS, NULL, 0, programs)))
        RemoveTree(std::string(programs) + "\\Ovra");
}

}  // namespace

int main()
{
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, self, sizeof self);
    std::string stubPath(self, n);
    stubPath = stubPath.substr(0, stubPath.find_last_of('\\') + 1) + "setup32-stub.exe";
    Bytes stub;
    std::string error;
    if (!ReadFileBytes(stubPath, stub, error)) {
        fprintf(stderr, "install_bench: %s\n", error.c_str());
        return 1;
    }
    std::vector<Bytes> inputs;
    std::vector<std::string> names;
    std::vector<size_t> sizes;
    uint32_t seed = 11;
    for (int i = 0; i < kPayloadItemCount; i++) {
        inputs.push_back(MixedContent(kItemSizes[i], i, seed));
        names.push_back(PayloadItemName(i));
        sizes.push_back(kItemSizes[i]);
    }
    Bytes installer;
    BuildReport report;
    if (!BuildInstaller(stub, inputs, names, installer, report, error)) {
        fprintf(stderr, "install_bench: %s\n", error.c_str());
        return 1;
    }
    ScanResult scan;
    SimulateScan(installer.data(), installer.size(), scan);
    size_t raw = 0;
    for (size_t s : sizes)
        raw += s;
    double floorMs = double(scan.steps) * 50.0;
    printf("install: installer of %u bytes (program %u, eleven items of %u bytes expanded: text, program-like "
           "bytes, zeros, random)\n",
           unsigned(installer.size()), unsigned(stub.size()), unsigned(raw));
    printf("install: %u steps of 7001 bytes; floor %u x 50 ms = %.0f ms\n", unsigned(scan.steps),
           unsigned(scan.steps), floorMs);
    fflush(stdout);

    RemoveTree(kWork);
    CreateDirectoryA(kWork, NULL);
    std::string exe = std::string(kWork) + "\\setup.exe";
    if (!WriteFileReplacing(exe, installer, error)) {
        fprintf(stderr, "install_bench: %s\n", error.c_str());
        return 1;
    }

    int status = 0;
    RunResult plain, probed, icons;
    if (TimedRun(exe, false, false, sizes, plain)) {
        double overhead = (plain.clickToSuccessMs - floorMs) * 100.0 / floorMs;
        printf("install: icons option cleared: %.0f ms from the click on &Install to the success message; "
               "%.0f ms (%.1f%%) above the floor (aim: at most 10%%)\n",
               plain.clickToSuccessMs, plain.clickToSuccessMs - floorMs, overhead);
    } else {
        status = 1;
    }
    fflush(stdout);
    if (TimedRun(exe, false, true, sizes, probed)) {
        std::vector<double> busy = probed.busyMs;
        std::sort(busy.begin(), busy.end());
        if (busy.empty()) {
            printf("install: worst single step: under %.0f ms (the dialog never left a ping unanswered longer)\n",
                   kBusyMs);
        } else {
            printf("install: worst single step: %.1f ms, %.1f s after the click; %u busy spells over %.0f ms, "
                   "median %.1f ms\n",
                   busy.back(), probed.worstBusyAtMs / 1000.0, unsigned(busy.size()), kBusyMs,
                   busy[busy.size() / 2]);
        }
        printf("install:   (a second run, its dialog pinged with a sent WM_NULL about every millisecond: the "
               "longest wait for an answer; that run took %.0f ms)\n",
               probed.clickToSuccessMs);
    } else {
        status = 1;
    }
    fflush(stdout);
    if (TimedRun(exe, true, false, sizes, icons)) {
        printf("install: icons option set: %.0f ms to the success message; the Program Manager group takes "
               "about %.0f ms of it\n",
               icons.clickToSuccessMs, icons.clickToSuccessMs - plain.clickToSuccessMs);
    } else {
        status = 1;
    }
    RemoveGroup();
    RemoveTree(kWork);
    return status;
}
