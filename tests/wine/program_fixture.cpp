// The whole-program driver shared by the program and fault tests.
#include "program_fixture.h"

#include <cctype>
#include <cstring>

#include "tests/packer_fixture.h"
#include "tests/test_files.h"

std::string ModuleDirectory()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

std::string Lower(std::string text)
{
    for (char &c : text)
        c = char(tolower(static_cast<unsigned char>(c)));
    return text;
}

bool Exists(const std::string &path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

Bytes ReadBytes(const std::string &path) { return ReadWholeFile(path); }

Bytes ReadStub() { return ReadBytes(ModuleDirectory() + "setup32-stub.exe"); }

Bytes Pack(const std::vector<Bytes> &inputs, BuildReport &report)
{
    std::vector<std::string> names;
    for (int i = 0; i < kPayloadItemCount; i++)
        names.push_back(PayloadItemName(i));
    Bytes installer;
    std::string error;
    EXPECT_TRUE(BuildInstaller(ReadStub(), inputs, names, installer, report, error)) << error;
    return installer;
}

// Eleven small texts: a whole run takes a handful of 50 ms steps.
const std::vector<Bytes> &SmallPayload()
{
    static const std::vector<Bytes> inputs = packer_fixture::PayloadTexts();
    return inputs;
}

const Bytes &SmallInstaller()
{
    static Bytes installer;
    if (installer.empty()) {
        BuildReport report;
        installer = Pack(SmallPayload(), report);
    }
    return installer;
}


namespace {

struct WindowSearch {
    DWORD processId;
    HWND skip;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM parameter)
{
    WindowSearch &search = *reinterpret_cast<WindowSearch *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (owner == search.processId && window != search.skip && IsWindowVisible(window) &&
        strcmp(className, "#32770") == 0)
        search.found.push_back(window);
    return TRUE;
}

}  // namespace

std::vector<HWND> VisibleDialogs(const DrivenProgram &program, HWND except)
{
    WindowSearch search{program.process.dwProcessId, except, {}};
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool WaitForNextBox(DrivenProgram &program, HWND dialog, DWORD timeoutMs, SeenMessageBox &box)
{
    box = SeenMessageBox();
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs && !HasEnded(program)) {
        for (HWND window : VisibleDialogs(program, dialog)) {
            if (WindowText(window) == kDialogCaption)
                continue;  // the Install dialog, found again while it closes
            box.window = window;
            box.caption = WindowText(window);
            box.text = ControlText(window, 0xFFFF);
            box.hasYes = GetDlgItem(window, IDYES) != NULL;
            box.hasNo = GetDlgItem(window, IDNO) != NULL;
            box.hasOk = GetDlgItem(window, IDOK) != NULL;
            return true;
        }
        Sleep(15);
    }
    return false;
}

namespace {

struct ProcessSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK MatchHost(HWND window, LPARAM parameter)
{
    ProcessSearch &search = *reinterpret_cast<ProcessSearch *>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    if (owner != search.processId || strcmp(className, kHostName) != 0)
        return TRUE;
    search.found = window;
    return FALSE;
}

}  // namespace

HWND HostWindow(const DrivenProgram &program)
{
    ProcessSearch search{program.process.dwProcessId, NULL};
    EnumWindows(MatchHost, reinterpret_cast<LPARAM>(&search));
    return search.found;
}


// The pixels of a rectangle of the screen, as 0x00RRGGBB.
static std::vector<uint32_t> GrabPixels(HDC source, int x, int y, int width, int height)
{
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, source, x, y, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<uint32_t> pixels(size_t(width) * height);
    GetDIBits(memory, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
    for (uint32_t &p : pixels)
        p &= 0xFFFFFF;
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return pixels;
}

// Which standard icon the box shows, judged by its pixels on screen against each
// icon drawn here on the same background: the other process's icon handle means
// nothing in this one.
std::string BoxIcon(HWND box)
{
    HWND control = GetDlgItem(box, 1088);
    if (!control || !IsWindowVisible(control))
        return "none";
    Sleep(200);  // let the box finish painting
    RECT r;
    GetWindowRect(control, &r);
    int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0)
        return "none";
    HDC screen = GetDC(NULL);
    std::vector<uint32_t> shown = GrabPixels(screen, r.left, r.top, width, height);
    uint32_t background = shown[0];
    struct Candidate {
        const char *name;
        LPCSTR id;
    } candidates[] = {{"stop", IDI_HAND}, {"question", IDI_QUESTION}, {"exclamation", IDI_EXCLAMATION},
                      {"information", IDI_ASTERISK}};
    std::string best = "unknown";
    size_t fewest = shown.size() / 10;  // more differing pixels than this: no match
    for (const Candidate &c : candidates) {
        HDC memory = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
        HGDIOBJ old = SelectObject(memory, bitmap);
        HBRUSH brush = CreateSolidBrush(RGB(background >> 16, (background >> 8) & 0xFF, background & 0xFF));
        RECT all = {0, 0, width, height};
        FillRect(memory, &all, brush);
        DeleteObject(brush);
        DrawIconEx(memory, 0, 0, LoadIconA(NULL, c.id), 0, 0, 0, NULL, DI_NORMAL);
        std::vector<uint32_t> drawn = GrabPixels(memory, 0, 0, width, height);
        SelectObject(memory, old);
        DeleteObject(bitmap);
        DeleteDC(memory);
        size_t differing = 0;
        for (size_t i = 0; i < shown.size(); i++)
            differing += shown[i] != drawn[i];
        if (differing < fewest) {
            fewest = differing;
            best = c.name;
        }
    }
    ReleaseDC(NULL, screen);
    return best;
}


void ProgramTest::SetUp()
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    work = Lower(std::string(temp) + "prog_" + info->name() + "_" + std::to_string(GetCurrentProcessId()));
    RemoveTree(work);
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL));
    exe = work + "\\setup.exe";
    dest = work + "\\dest";
    ASSERT_EQ(std::string::npos, dest.find(' ')) << "the spaces warning would interrupt every run";
    // An old settings file in the Windows directory would be moved into every destination.
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof windows);
    DeleteFileA((std::string(windows) + "\\ovra.ini").c_str());
}

void ProgramTest::TearDown()
{
    StopProgram(program);
    RemoveTree(work);
}

// Writes the installer under exe, starts it from its own directory and finds its dialog.
void ProgramTest::Start(const Bytes &installer)
{
    ASSERT_TRUE(WriteWholeFile(exe, installer)) << exe;
    ASSERT_TRUE(StartProgram(program, "\"" + exe + "\"", work));
    dialog = FindDialog(program, kDialogCaption, kWindowWait);
    ASSERT_NE(dialog, HWND(NULL)) << "no Install dialog";
}

void ProgramTest::SetDestination(const std::string &path)
{
    ASSERT_TRUE(SetDlgItemTextA(dialog, IDC_DEST_TEXT, path.c_str()));
}

void ProgramTest::ClearIcons()
{
    Click(dialog, IDC_ADD_ICONS);
    DWORD start = GetTickCount();
    while (ControlChecked(dialog, IDC_ADD_ICONS) && GetTickCount() - start < kWindowWait)
        Sleep(10);
    ASSERT_FALSE(ControlChecked(dialog, IDC_ADD_ICONS));
}

SeenMessageBox ProgramTest::NextBox()
{
    SeenMessageBox box;
    EXPECT_TRUE(WaitForNextBox(program, dialog, kRunWait, box)) << "no box came";
    return box;
}

// The success message, owned by the Host window; OK ends the program with 0.
void ProgramTest::ExpectSuccessAndExit(const SeenMessageBox &box)
{
    ASSERT_EQ(kSuccessCaption, box.caption) << box.text;
    EXPECT_EQ(kSuccessText, box.text);
    EXPECT_TRUE(box.hasOk && !box.hasYes && !box.hasNo) << "success message buttons";
    EXPECT_EQ("information", BoxIcon(box.window));
    EXPECT_EQ(HostWindow(program), GetWindow(box.window, GW_OWNER)) << "success message owner";
    EXPECT_TRUE(AnswerMessageBox(box, IDOK));
    ExpectQuietExit();
}

// The program ends with 0 and shows no box on the way.
void ProgramTest::ExpectQuietExit()
{
    SeenMessageBox late;
    EXPECT_FALSE(WaitForNextBox(program, dialog, 10000, late)) << "unexpected box " << late.caption;
    EXPECT_EQ(0, WaitForExit(program, 10000));
}

void ProgramTest::ExpectInstalled(const std::string &where, const std::vector<Bytes> &inputs)
{
    for (int i = 0; i < kPayloadItemCount; i++)
        EXPECT_TRUE(ReadBytes(where + "\\" + PayloadItemName(i)) == inputs[i])
            << PayloadItemName(i) << " is not the payload's";
}

void ProgramTest::ExpectNothingInstalled(const std::string &where)
{
    for (int i = 0; i < kPayloadItemCount; i++)
        EXPECT_FALSE(Exists(where + "\\" + PayloadItemName(i))) << PayloadItemName(i) << " left behind";
}

const std::vector<Bytes> &LongRunPayload()
{
    static std::vector<Bytes> inputs;
    if (inputs.empty()) {
        inputs = SmallPayload();
        Bytes &last = inputs.back();
        uint32_t seed = 4711;
        for (size_t k = 0; k < 300000; k++) {
            seed = seed * 1103515245u + 12345u;
            last.push_back(k % 8 == 0 ? uint8_t('x') : uint8_t(seed >> 24));
        }
    }
    return inputs;
}
