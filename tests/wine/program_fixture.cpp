// The whole-program driver shared by the program, fault and corruption tests.
#include "program_fixture.h"

#include "tests/test_files.h"

Bytes ReadStub() { return ReadWholeFile(ModuleDirectory() + "setup32-stub.exe"); }

Bytes Pack(const std::vector<Bytes> &inputs, BuildReport &report) { return PackProgram(ReadStub(), inputs, report); }

const Bytes &SmallInstaller()
{
    static Bytes installer;
    if (installer.empty()) {
        BuildReport report;
        installer = Pack(SmallPayload(), report);
    }
    return installer;
}

Bytes OldContent(int item) { return BytesOf(std::string("the user's own ") + PayloadItemName(item)); }

bool WaitForNextBox(DrivenProgram &program, HWND dialog, DWORD timeoutMs, SeenBox &box)
{
    box = SeenBox();
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs && !HasEnded(program)) {
        for (HWND window : VisibleDialogs(program, dialog)) {
            if (WindowText(window) == kDialogCaption)
                continue;  // the Install dialog, found again while it closes
            box = ReadMessageBox(window);
            return true;
        }
        Sleep(15);
    }
    return false;
}

HWND HostWindow(const DrivenProgram &program)
{
    std::vector<HWND> hosts = ProcessWindows(program, kHostName, false);
    return hosts.empty() ? NULL : hosts[0];
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
    WaitUntilPainted(box, 5000);
    RECT r;
    GetWindowRect(control, &r);
    int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0)
        return "none";
    struct Candidate {
        const char *name;
        LPCSTR id;
    } candidates[] = {{"stop", IDI_HAND},
                      {"question", IDI_QUESTION},
                      {"exclamation", IDI_EXCLAMATION},
                      {"information", IDI_ASTERISK}};
    // Painted by now; the screen follows a moment later, so it is read until an icon
    // shows or the time is up.
    std::string best = "unknown";
    HDC screen = GetDC(NULL);
    for (DWORD start = GetTickCount(); best == "unknown" && GetTickCount() - start < 2000; Sleep(20)) {
        std::vector<uint32_t> shown = GrabPixels(screen, r.left, r.top, width, height);
        uint32_t background = shown[0];
        size_t fewest = shown.size() / 10;  // more differing pixels than this: no match
        for (const Candidate &c : candidates) {
            std::vector<uint32_t> drawn =
                IconOverBackground(LoadIconA(NULL, c.id), width, height,
                                   RGB(background >> 16, (background >> 8) & 0xFF, background & 0xFF));
            size_t differing = 0;
            for (size_t i = 0; i < shown.size(); i++)
                differing += shown[i] != drawn[i];
            if (differing < fewest) {
                fewest = differing;
                best = c.name;
            }
        }
    }
    ReleaseDC(NULL, screen);
    return best;
}

void ProgramTest::SetUp()
{
    PackedProgramTest::SetUp();
    ASSERT_EQ(std::string::npos, dest.find(' ')) << "the spaces warning would interrupt every run";
}

void ProgramTest::ClearIcons()
{
    Click(dialog, IDC_ADD_ICONS);
    DWORD start = GetTickCount();
    while (ControlChecked(dialog, IDC_ADD_ICONS) && GetTickCount() - start < kWindowWait)
        Sleep(10);
    ASSERT_FALSE(ControlChecked(dialog, IDC_ADD_ICONS));
}

SeenBox ProgramTest::NextBox()
{
    SeenBox box;
    EXPECT_TRUE(WaitForNextBox(program, dialog, kRunWait, box)) << "no box came";
    return box;
}

// The success message, owned by the Host window; OK ends the program with 0.
void ProgramTest::ExpectSuccessAndExit(const SeenBox &box)
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
    SeenBox late;
    EXPECT_FALSE(WaitForNextBox(program, dialog, 10000, late)) << "unexpected box " << late.caption;
    EXPECT_EQ(0, WaitForExit(program, 10000));
}

void ProgramTest::ConfirmAbortDuringTheLastItem(const std::string &where)
{
    ASSERT_TRUE(WaitForControlText(dialog, IDC_STATUS_LINE, "Extracting file: links.ini", kRunWait));
    EXPECT_TRUE(Exists(where + "\\hosts.ini"));
    Click(dialog, IDC_CANCEL);
    SeenBox question = NextBox();
    EXPECT_EQ(kWarningCaption, question.caption);
    ASSERT_EQ(kAbortQuestion, question.text);
    ASSERT_TRUE(AnswerMessageBox(question, IDYES));
}

void ProgramTest::MakeExistingInstallation(const std::string &where)
{
    RemoveTree(where);
    ASSERT_TRUE(CreateDirectoryA(where.c_str(), NULL)) << where;
    for (int i = 0; i < kPayloadItemCount; i++)
        ASSERT_TRUE(WriteWholeFile(where + "\\" + PayloadItemName(i), OldContent(i)));
    ASSERT_TRUE(WriteWholeFile(where + "\\notes.txt", std::string("the user's notes")));
}
