// The Install dialog and the Directory chooser driven from outside, as a user would:
// a stand-in host packed with a payload runs the real dialog over its own file.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "expected_texts.h"
#include "format/payload.h"
#include "packed_program.h"
#include "resources/resource.h"
#include "packer/checksum_slot.h"
#include "packer/files.h"
#include "packer/installer_writer.h"
#include "tests/test_files.h"
#include "ui/centre.h"

namespace {

const DWORD kRunWait = 120000;
// The dialog's private step message and its step timer's identifier.
const UINT kStepMessage = WM_USER + 2;
const UINT_PTR kStepTimer = 1025;
// How long a paint may take to reach the screen.
const DWORD kScreenWait = 4000;

void WriteBytes(const std::string &path, const Bytes &data) { ASSERT_TRUE(WriteWholeFile(path, data)) << path; }

// The stand-in host packed with the long-run payload: a run lasts long enough to be
// interrupted in the middle.
const Bytes &PackedHost()
{
    static Bytes installer;
    if (installer.empty()) {
        BuildReport report;
        installer = PackProgram(ReadWholeFile(ModuleDirectory() + "dialog_host.exe"), LongRunPayload(), report);
    }
    return installer;
}

// The host alone with its expected checksum set to that of no items at all: a scan
// that ends with a good checksum and nothing placed.
Bytes EmptyHost()
{
    Bytes host = ReadWholeFile(ModuleDirectory() + "dialog_host.exe");
    size_t slot = 0;
    std::string error;
    EXPECT_TRUE(FindChecksumSlot(host.data(), host.size(), slot, error)) << error;
    EXPECT_TRUE(PatchChecksumSlot(host, slot, 0));
    return host;
}

struct HostReport {
    long result = -100;
    std::map<std::string, std::string> values;
};

// Where the tests put their screenshots (a Unix directory), or empty.
std::string ScreenshotDirectory()
{
    char dir[1024];
    DWORD n = GetEnvironmentVariableA("SETUP32_SCREENSHOTS", dir, sizeof dir);
    return n > 0 && n < sizeof dir ? std::string(dir, n) : std::string();
}

// Which controls each layout shows and enables: (id, visible, enabled).
struct ControlState {
    int id;
    bool visible;
    bool enabled;
};
const ControlState kIdleLayout[] = {
    {IDC_INSTALL, true, true},         {IDC_CANCEL, true, true},           {IDC_GREETING, true, true},
    {IDC_INTRO, true, true},           {IDC_DEST_GROUP, true, true},       {IDC_DEST_TEXT, true, true},
    {IDC_BROWSE, true, true},          {IDC_EXPLAIN_BROWSE, true, true},   {IDC_EXPLAIN_BACKUPS, true, true},
    {IDC_MAKE_BACKUPS, true, true},    {IDC_EXPLAIN_ICONS, true, true},    {IDC_ADD_ICONS, true, true},
    {IDC_EXPLAIN_INSTALL, true, true}, {IDC_STATUS_LINE, false, false},    {IDC_PROGRESS_LABEL, false, false},
    {IDC_PROGRESS_AREA, false, false}, {IDC_LICENSE_NOTICE, false, false}, {IDC_COPYRIGHT, false, false},
    {IDC_ICON_PLACE, false, false},
};
const ControlState kInstallingLayout[] = {
    {IDC_INSTALL, true, false},          {IDC_CANCEL, true, true},
    {IDC_GREETING, true, true},          {IDC_INTRO, true, true},
    {IDC_DEST_GROUP, true, true},        {IDC_DEST_TEXT, true, true},
    {IDC_BROWSE, true, false},           {IDC_EXPLAIN_BROWSE, false, false},
    {IDC_EXPLAIN_BACKUPS, false, false}, {IDC_MAKE_BACKUPS, false, false},
    {IDC_EXPLAIN_ICONS, false, false},   {IDC_ADD_ICONS, false, false},
    {IDC_EXPLAIN_INSTALL, false, false}, {IDC_STATUS_LINE, true, true},
    {IDC_PROGRESS_LABEL, true, true},    {IDC_PROGRESS_AREA, false, false},
    {IDC_LICENSE_NOTICE, true, true},    {IDC_COPYRIGHT, true, true},
    {IDC_ICON_PLACE, false, false},
};

template <size_t N> void ExpectLayout(HWND dialog, const ControlState (&layout)[N], const char *name)
{
    for (const ControlState &c : layout) {
        EXPECT_EQ(c.visible, ControlVisible(dialog, c.id)) << name << " layout: visibility of control " << c.id;
        EXPECT_EQ(c.enabled, ControlEnabled(dialog, c.id)) << name << " layout: enabling of control " << c.id;
    }
}

void ExpectIdle(HWND dialog)
{
    ExpectLayout(dialog, kIdleLayout, "idle");
    EXPECT_EQ("Cancel", ControlText(dialog, IDC_CANCEL));
    EXPECT_EQ(GetDlgItem(dialog, IDC_INSTALL), FocusedWindow(dialog)) << "focus is not on &Install";
}

const COLORREF kBarFill = RGB(0, 100, 200);
const COLORREF kPercentText = RGB(255, 0, 0);

// The Progress bar's pixels on screen: filled ones, and those of its percentage.
void CountBarPixels(HWND dialog, int &filled, int &percent)
{
    filled = percent = -1;
    RECT bar;
    ASSERT_TRUE(GetWindowRect(GetDlgItem(dialog, IDC_PROGRESS_AREA), &bar));
    ScreenImage screen;
    ASSERT_TRUE(CaptureScreen(screen)) << "cannot capture the screen";
    filled = CountColour(screen, bar, kBarFill);
    percent = CountColour(screen, bar, kPercentText);
}

void ExpectCentred(HWND window, const char *what)
{
    RECT desktop, own;
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(window, &own);
    POINT expected = CentredPosition(desktop, own.right - own.left, own.bottom - own.top);
    EXPECT_EQ(expected.x, own.left) << what << " x";
    EXPECT_EQ(expected.y, own.top) << what << " y";
}

// Icon 2 of the program as the dialog draws it: loaded anew from the host's own file,
// in the system's icon size, over the dialog's background. Pixels as 0xRRGGBB.
struct IconImage {
    int width = 0, height = 0;
    std::vector<uint32_t> pixels;
};

IconImage ExpectedIcon()
{
    IconImage image;
    HMODULE module = LoadLibraryExA((ModuleDirectory() + "dialog_host.exe").c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    HICON icon = module ? LoadIconA(module, MAKEINTRESOURCEA(IDI_DIALOG)) : NULL;
    if (!icon) {
        ADD_FAILURE() << "icon 2 is not in dialog_host.exe";
        if (module)
            FreeLibrary(module);
        return image;
    }
    image.width = GetSystemMetrics(SM_CXICON);
    image.height = GetSystemMetrics(SM_CYICON);
    image.pixels = IconOverBackground(icon, image.width, image.height, GetSysColor(COLOR_3DFACE));
    DestroyIcon(icon);
    FreeLibrary(module);
    return image;
}

// Pixels of the screen that differ from the image placed with its top-left at corner.
int DifferentPixels(const ScreenImage &screen, const IconImage &image, POINT corner, std::string &first)
{
    int different = 0;
    for (int y = 0; y < image.height; y++)
        for (int x = 0; x < image.width; x++) {
            int sx = corner.x + x, sy = corner.y + y;
            COLORREF seen = 0xFFFFFFFF;
            if (sx >= 0 && sy >= 0 && sx < screen.width && sy < screen.height) {
                const unsigned char *p = &screen.rgb[(size_t(sy) * screen.width + sx) * 3];
                seen = COLORREF(p[0]) << 16 | COLORREF(p[1]) << 8 | p[2];
            }
            COLORREF wanted = image.pixels[size_t(y) * image.width + x];
            if (seen != wanted && different++ == 0) {
                char text[96];
                snprintf(text, sizeof text, "(%d,%d) is %06lx, not %06lx", x, y, (unsigned long)seen,
                         (unsigned long)wanted);
                first = text;
            }
        }
    return different;
}

// Repaints the whole dialog and finds icon 2 at the top-left corner of control 119's
// window (its border included), as it reaches the screen.
void ExpectIconPainted(HWND dialog, const char *layout)
{
    IconImage icon = ExpectedIcon();
    ASSERT_FALSE(icon.pixels.empty());
    COLORREF background = GetSysColor(COLOR_3DFACE);
    background = RGB(GetBValue(background), GetGValue(background), GetRValue(background));  // as 0xRRGGBB
    ASSERT_NE(size_t(std::count(icon.pixels.begin(), icon.pixels.end(), background)), icon.pixels.size())
        << "the icon cannot be told from the background";
    RECT place;
    ASSERT_TRUE(GetWindowRect(GetDlgItem(dialog, IDC_ICON_PLACE), &place));
    POINT corner = {place.left, place.top};
    // Painted at once; the screen follows a moment later, so it is read until the
    // icon shows or the time is up.
    ASSERT_TRUE(RedrawWindow(dialog, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN));
    WaitUntilPainted(dialog, kScreenWait);
    int different = -1;
    std::string first;
    for (DWORD start = GetTickCount(); different != 0 && GetTickCount() - start < kScreenWait;) {
        ScreenImage screen;
        ASSERT_TRUE(CaptureScreen(screen)) << "cannot capture the screen";
        different = DifferentPixels(screen, icon, corner, first);
    }
    EXPECT_EQ(0, different) << layout << " layout: icon 2 is not at the corner of control 119; pixel " << first;
}

class DialogTest : public PackedProgramTest {
protected:
    std::string reportPath;

    void SetUp() override
    {
        PackedProgramTest::SetUp();
        // Without this font Wine draws the caption buttons as letters in screenshots.
        CopyFileA("Z:\\usr\\share\\wine\\fonts\\marlett.ttf", (WindowsDirectory() + "\\Fonts\\marlett.ttf").c_str(),
                  TRUE);
        reportPath = work + "\\report.txt";
    }

    // Starts the installer (the packed host unless another is given), which writes its
    // report to reportPath, and finds its dialog.
    void Start(const Bytes &installer = PackedHost()) { PackedProgramTest::Start(installer, "\"" + reportPath + "\""); }

    // The screen once every window of the program has finished painting.
    void Screenshot(const char *name)
    {
        std::string dir = ScreenshotDirectory();
        if (dir.empty())
            return;
        for (HWND window : VisibleDialogs(program))
            WaitUntilPainted(window, kScreenWait);
        EXPECT_TRUE(TakeScreenshot(dir + "/" + name)) << "screenshot " << name;
    }

    HostReport Finish()
    {
        HostReport report;
        report.result = ExpectEnd(kRunWait);
        std::ifstream in(reportPath);
        std::string key, value;
        while (in >> key && std::getline(in, value))
            report.values[key] = value.empty() ? value : value.substr(1);
        return report;
    }

    SeenBox ExpectBox(const char *caption, const std::string &text, bool question)
    {
        SeenBox box;
        EXPECT_TRUE(WaitForMessageBox(program, caption, kRunWait, box)) << "no box " << caption;
        EXPECT_EQ(text, box.text.substr(0, text.size())) << caption;
        EXPECT_EQ(question, box.hasYes && box.hasNo) << caption;
        EXPECT_EQ(!question, box.hasOk) << caption;
        return box;
    }

    void WaitForRunToStart()
    {
        ASSERT_TRUE(WaitForControlText(dialog, IDC_CANCEL, "Abort!", kWindowWait)) << "the run did not start";
    }

    void WaitForIdle()
    {
        ASSERT_TRUE(WaitForControlText(dialog, IDC_CANCEL, "Cancel", kRunWait)) << "the dialog did not return to idle";
        ASSERT_TRUE(ControlEnabled(dialog, IDC_INSTALL));
        // The layout change ends with the focus on &Install and the dialog updated.
        WaitForFocus(dialog, IDC_INSTALL, kWindowWait);
        ASSERT_TRUE(WaitUntilPainted(dialog, kWindowWait)) << "the idle layout was not painted";
    }
};

TEST_F(DialogTest, StartsIdleCentredWithItsTextsAndEndsOnCancelWithoutAQuestion)
{
    Start();
    EXPECT_EQ("Welcome to the Ovra Installation program!", ControlText(dialog, IDC_GREETING));
    EXPECT_EQ("This program will install Ovra v5.3 32bit edition to the following directory.",
              ControlText(dialog, IDC_INTRO));
    EXPECT_EQ("Please refer to the Ovra help file for the license terms and use restrictions.",
              ControlText(dialog, IDC_LICENSE_NOTICE));
    std::string copyright = ControlText(dialog, IDC_COPYRIGHT);
    EXPECT_NE(std::string::npos, copyright.find("opyright")) << copyright;
    EXPECT_EQ(std::string::npos, copyright.find('\n')) << "the notice is set in one line";
    EXPECT_EQ("&Install", ControlText(dialog, IDC_INSTALL));
    EXPECT_EQ("&Browse", ControlText(dialog, IDC_BROWSE));
    // Started from a fixed disk: the root of its own drive.
    EXPECT_EQ("c:\\ovra", ControlText(dialog, IDC_DEST_TEXT));
    EXPECT_TRUE(ControlChecked(dialog, IDC_MAKE_BACKUPS));
    EXPECT_TRUE(ControlChecked(dialog, IDC_ADD_ICONS));
    ExpectIdle(dialog);
    ExpectCentred(dialog, "Install dialog");
    Screenshot("idle.png");

    Click(dialog, IDC_CANCEL);
    HostReport report = Finish();
    EXPECT_EQ(0, report.result);
    EXPECT_EQ(work, report.values["current"]) << "a fixed disk leaves the current directory alone";
    EXPECT_FALSE(Exists("c:\\ovra"));
}

// Every way out of the idle dialog ends it with 0 and asks nothing. The close box and
// the system menu's Close both send SC_CLOSE; Alt+F4 reaches it through the default
// key handling.
TEST_F(DialogTest, IdleDialogEndsWithoutAQuestionOnCancelTheCloseBoxAndAltF4)
{
    struct Case {
        const char *what;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    } cases[] = {
        {"Cancel", BM_CLICK, 0, 0},
        {"close box", WM_SYSCOMMAND, SC_CLOSE, 0},
        {"Alt+F4", WM_SYSKEYDOWN, VK_F4, LPARAM(0x203E0001)},  // F4's scan code, Alt held
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Start();
        ExpectIdle(dialog);
        HWND target = c.message == BM_CLICK ? GetDlgItem(dialog, IDC_CANCEL) : dialog;
        ASSERT_TRUE(PostMessageA(target, c.message, c.wParam, c.lParam));
        DWORD started = GetTickCount();
        while (!HasEnded(program) && GetTickCount() - started < kWindowWait) {
            HWND box = FindOtherDialog(program, kDialogCaption);
            if (box) {
                ADD_FAILURE() << "a box opened: " << WindowText(box);
                StopProgram(program);
                break;
            }
            Sleep(15);
        }
        ASSERT_TRUE(HasEnded(program)) << "the dialog did not end";
        EXPECT_EQ(0, Finish().result);
    }
}

// ---- The templates as compiled ----------------------------------------------------
// Read back from the program's resources: a CONTROL statement adds WS_VISIBLE unless
// told otherwise, and the live styles differ (the dialog manager trades WS_BORDER
// for a client edge), so only the compiled template shows what was written.

struct TemplateItem {
    int id;
    DWORD style;
    int x, y, cx, cy;
    std::string className;
    std::string text;
};

struct DialogTemplate {
    DWORD style = 0;
    int x = 0, y = 0, cx = 0, cy = 0;
    std::string caption, font;
    int pointSize = 0;
    std::vector<TemplateItem> items;
};

const WORD *ReadTemplateString(const WORD *p, std::string &out)
{
    out.clear();
    if (*p == 0xFFFF) {
        static const char *const atoms[] = {"BUTTON", "EDIT", "STATIC", "LISTBOX", "SCROLLBAR", "COMBOBOX"};
        WORD atom = p[1];
        out = atom >= 0x80 && atom <= 0x85 ? atoms[atom - 0x80] : "#" + std::to_string(atom);
        return p + 2;
    }
    for (; *p; p++)
        out += char(*p);  // the templates' texts are plain ASCII
    return p + 1;
}

bool LoadDialogTemplate(const std::string &program, const char *name, DialogTemplate &result)
{
    HMODULE module = LoadLibraryExA(program.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (!module)
        return false;
    HRSRC found = FindResourceA(module, name, MAKEINTRESOURCEA(5));  // RT_DIALOG
    const DLGTEMPLATE *head =
        found ? static_cast<const DLGTEMPLATE *>(LockResource(LoadResource(module, found))) : NULL;
    if (head) {
        result.style = head->style;
        result.x = head->x, result.y = head->y, result.cx = head->cx, result.cy = head->cy;
        const WORD *p = reinterpret_cast<const WORD *>(head + 1);
        std::string menu, windowClass;
        p = ReadTemplateString(p, menu);
        p = ReadTemplateString(p, windowClass);
        p = ReadTemplateString(p, result.caption);
        if (head->style & DS_SETFONT) {
            result.pointSize = *p++;
            p = ReadTemplateString(p, result.font);
        }
        for (int i = 0; i < head->cdit; i++) {
            p = reinterpret_cast<const WORD *>((reinterpret_cast<uintptr_t>(p) + 3) & ~uintptr_t(3));
            const DLGITEMTEMPLATE *item = reinterpret_cast<const DLGITEMTEMPLATE *>(p);
            TemplateItem t = {short(item->id), item->style, item->x, item->y, item->cx, item->cy, "", ""};
            p = reinterpret_cast<const WORD *>(item + 1);
            p = ReadTemplateString(p, t.className);
            p = ReadTemplateString(p, t.text);
            WORD extra = *p++;
            p = reinterpret_cast<const WORD *>(reinterpret_cast<const BYTE *>(p) + extra);
            result.items.push_back(t);
        }
    }
    FreeLibrary(module);
    return head != NULL;
}

void ExpectTemplate(const DialogTemplate &actual, const DialogTemplate &expected, const char *name)
{
    EXPECT_EQ(expected.style, actual.style) << name;
    EXPECT_EQ(expected.x, actual.x) << name;
    EXPECT_EQ(expected.y, actual.y) << name;
    EXPECT_EQ(expected.cx, actual.cx) << name;
    EXPECT_EQ(expected.cy, actual.cy) << name;
    EXPECT_EQ(expected.caption, actual.caption) << name;
    EXPECT_EQ("MS Sans Serif", actual.font) << name;
    EXPECT_EQ(8, actual.pointSize) << name;
    ASSERT_EQ(expected.items.size(), actual.items.size()) << name;
    for (size_t i = 0; i < expected.items.size(); i++) {
        const TemplateItem &e = expected.items[i], &a = actual.items[i];
        std::string where = std::string(name) + " item " + std::to_string(i) + " (id " + std::to_string(e.id) + ")";
        EXPECT_EQ(e.id, a.id) << where;
        EXPECT_EQ(e.style, a.style) << where << std::hex << " style 0x" << a.style;
        EXPECT_EQ(e.x, a.x) << where;
        EXPECT_EQ(e.y, a.y) << where;
        EXPECT_EQ(e.cx, a.cx) << where;
        EXPECT_EQ(e.cy, a.cy) << where;
        EXPECT_EQ(e.className, a.className) << where;
        if (e.id != IDC_COPYRIGHT)  // the notice's wording is ours; its three lines are checked below
            EXPECT_EQ(e.text, a.text) << where;
    }
}

TEST(Templates, InstallDialogIsCompiledAsDesigned)
{
    DialogTemplate expected;
    expected.style = 0x90C800C4;
    expected.x = 44, expected.y = 48, expected.cx = 219, expected.cy = 229;
    expected.caption = "Ovra Installer";
    expected.items = {
        {1, 0x50010001, 69, 208, 40, 16, "BUTTON", "&Install"},
        {2, 0x50010000, 113, 208, 40, 16, "BUTTON", "Cancel"},
        {102, 0x50020000, 9, 6, 151, 10, "STATIC", "Welcome to the Ovra installation program!"},
        {103, 0x50020000, 9, 20, 162, 21, "STATIC", "This program will install Ovra to the following directory."},
        {104, 0x50000007, 7, 43, 206, 26, "BUTTON", "Destination directory:"},
        {105, 0x50020000, 13, 55, 162, 8, "STATIC", ""},
        {106, 0x50010000, 178, 51, 32, 14, "BUTTON", "&Browse"},
        {107, 0x50020000, 9, 76, 193, 18, "STATIC",
         "If you would like to install Ovra to a different directory, click on browse and select it."},
        {108, 0x50020000, 9, 100, 201, 18, "STATIC",
         "If you would like the installer to make backups of any existing Ovra files, check the Make Backups "
         "option."},
        {109, 0x50010003, 58, 123, 114, 12, "BUTTON", "&Make Backups of existing files"},
        {112, 0x50020000, 9, 183, 202, 19, "STATIC",
         "Click Install to continue with the installation, or click Cancel to abort the installation and exit."},
        {113, 0x48000000, 48, 85, 122, 10, "STATIC", "Scanning..."},
        {114, 0x48000000, 48, 101, 62, 10, "STATIC", "Overall progress:"},
        {115, 0x48000007, 45, 112, 129, 18, "BUTTON", ""},
        {118, 0x48000000, 48, 171, 129, 27, "STATIC", ""},
        {110, 0x50020000, 9, 141, 204, 18, "STATIC",
         "If you would like the installer to add Ovra icons to the Program manager, check the Add Icons option."},
        {111, 0x50010003, 58, 165, 118, 12, "BUTTON", "&Add Icons to Program Manager"},
        {117, 0x48020000, 48, 143, 128, 27, "STATIC",
         "Please refer to the Ovra help file for the license terms and use restrictions."},
        {119, 0x48800000, 183, 8, 22, 27, "STATIC", ""},
    };
    DialogTemplate actual;
    ASSERT_TRUE(LoadDialogTemplate(ModuleDirectory() + "dialog_host.exe", "INSTALL_DLG", actual));
    ExpectTemplate(actual, expected, "INSTALL_DLG");
    for (const TemplateItem &item : actual.items)
        if (item.id == IDC_COPYRIGHT) {
            EXPECT_EQ(2, std::count(item.text.begin(), item.text.end(), '\n')) << item.text;
            EXPECT_NE(std::string::npos, item.text.find("opyright")) << item.text;
        }
}

TEST(Templates, ChooserIsCompiledAsDesigned)
{
    DialogTemplate expected;
    expected.style = 0x80C800C4;
    expected.x = 79, expected.y = 39, expected.cx = 170, expected.cy = 163;
    expected.caption = "Ovra Destination Directory";
    expected.items = {
        {-1, 0x50020000, 8, 6, 103, 9, "STATIC", "&Install Ovra into this directory:"},
        {102, 0x50810080, 6, 17, 159, 12, "EDIT", ""},
        {1121, 0x50A11053, 6, 47, 112, 86, "LISTBOX", ""},
        {1091, 0x50020000, 8, 132, 37, 9, "STATIC", "Dri&ves:"},
        {1137, 0x50A10353, 6, 142, 112, 60, "COMBOBOX", ""},
        {1040, 0x48020003, 294, 28, 50, 12, "BUTTON", "&Read Only"},
        {1038, 0x48020000, 295, 50, 50, 14, "BUTTON", "&Help"},
        {1090, 0x50020000, 8, 35, 51, 10, "STATIC", "&Directories"},
        {1152, 0x48800480, 290, 77, 77, 12, "EDIT", "JUNK!"},
        {1120, 0x48A01053, 288, 99, 81, 66, "LISTBOX", ""},
        {1089, 0x48020000, 288, 167, 69, 9, "STATIC", "List Files of &Type:"},
        {1136, 0x48A00043, 288, 177, 82, 32, "COMBOBOX", ""},
        {1088, 0x40800080, -78, 252, 516, 12, "EDIT", ""},
        {1, 0x50010000, 125, 48, 40, 16, "BUTTON", "OK"},
        {2, 0x50010000, 125, 69, 40, 16, "BUTTON", "Cancel"},
    };
    DialogTemplate actual;
    ASSERT_TRUE(LoadDialogTemplate(ModuleDirectory() + "dialog_host.exe", MAKEINTRESOURCEA(IDD_CHOOSER), actual));
    ExpectTemplate(actual, expected, "chooser 1537");
}

// Tab order is template order; the hidden controls come up hidden.
TEST_F(DialogTest, LiveDialogKeepsTheTemplatesOrderAndHiddenControls)
{
    Start();
    int order[] = {IDC_INSTALL,         IDC_CANCEL,      IDC_GREETING,       IDC_INTRO,           IDC_DEST_GROUP,
                   IDC_DEST_TEXT,       IDC_BROWSE,      IDC_EXPLAIN_BROWSE, IDC_EXPLAIN_BACKUPS, IDC_MAKE_BACKUPS,
                   IDC_EXPLAIN_INSTALL, IDC_STATUS_LINE, IDC_PROGRESS_LABEL, IDC_PROGRESS_AREA,   IDC_COPYRIGHT,
                   IDC_EXPLAIN_ICONS,   IDC_ADD_ICONS,   IDC_LICENSE_NOTICE, IDC_ICON_PLACE};
    for (size_t i = 1; i < sizeof order / sizeof order[0]; i++)
        EXPECT_EQ(GetDlgItem(dialog, order[i]), GetWindow(GetDlgItem(dialog, order[i - 1]), GW_HWNDNEXT))
            << "control after " << order[i - 1];
    for (int id :
         {IDC_STATUS_LINE, IDC_PROGRESS_LABEL, IDC_PROGRESS_AREA, IDC_COPYRIGHT, IDC_LICENSE_NOTICE, IDC_ICON_PLACE})
        EXPECT_EQ(0, ControlStyle(dialog, id) & WS_VISIBLE) << "control " << id << " starts visible";
    Click(dialog, IDC_CANCEL);
    EXPECT_EQ(0, Finish().result);
}

TEST_F(DialogTest, SpacesWarningAnsweredNoStaysIdleAndYesInstalls)
{
    Start();
    std::string spaced = work + "\\with space";
    SetDestination(spaced);
    Click(dialog, IDC_INSTALL);
    SeenBox box = ExpectBox(kWarningCaption, kSpacesWarning, true);
    EXPECT_EQ(std::string(kSpacesWarning), box.text);
    AnswerMessageBox(box, IDNO);
    ASSERT_TRUE(StaysAbsent(program, kWarningCaption, 300));
    ExpectIdle(dialog);
    EXPECT_FALSE(Exists(spaced)) << "No must not create the directory";

    Click(dialog, IDC_INSTALL);
    AnswerMessageBox(ExpectBox(kWarningCaption, kSpacesWarning, true), IDYES);
    HostReport report = Finish();
    EXPECT_EQ(1, report.result);
    EXPECT_EQ("1", report.values["makeBackups"]);
    EXPECT_EQ("1", report.values["addIcons"]);
    ExpectInstalled(spaced, LongRunPayload());
}

// Only the first step follows "&Install" at once; each later one waits for the 50 ms
// timer, so a run of n steps takes at least (n - 1) * 50 ms.
TEST_F(DialogTest, StepsArePacedByTheTimerAndTheRunCompletes)
{
    Start();
    SetDestination(dest);
    DWORD started = GetTickCount();
    Click(dialog, IDC_INSTALL);
    HostReport report = Finish();
    DWORD elapsed = GetTickCount() - started;
    EXPECT_EQ(1, report.result);
    EXPECT_EQ("1", report.values["makeBackups"]);
    EXPECT_EQ("1", report.values["addIcons"]);
    ExpectInstalled(dest, LongRunPayload());
    DWORD steps = DWORD(PackedHost().size() / 7001 + 1);
    // 50 ms a pause, less a little slack for a timer that the platform rounds to its tick.
    EXPECT_GE(elapsed, (steps - 1) * 45) << steps << " steps";
}

TEST_F(DialogTest, SpacesWarningAnsweredNoLeavesTheOptionsUnread)
{
    Start();
    SetDestination(work + "\\with space");
    Click(dialog, IDC_INSTALL);
    AnswerMessageBox(ExpectBox(kWarningCaption, kSpacesWarning, true), IDNO);
    ASSERT_TRUE(StaysAbsent(program, kWarningCaption, 200));
    Click(dialog, IDC_CANCEL);
    HostReport report = Finish();
    EXPECT_EQ(0, report.result);
    // Both boxes were checked; the session never took them.
    EXPECT_EQ("0", report.values["makeBackups"]);
    EXPECT_EQ("0", report.values["addIcons"]);
}

TEST_F(DialogTest, CloseBoxDuringARunAsksAndADeclinedAbortFinishesTheRun)
{
    Start();
    SetDestination(dest);
    Click(dialog, IDC_INSTALL);
    WaitForRunToStart();
    ASSERT_TRUE(WaitForControlTextPrefix(dialog, IDC_STATUS_LINE, "Extracting file: ", kRunWait));
    ExpectLayout(dialog, kInstallingLayout, "installing");
    EXPECT_EQ(GetDlgItem(dialog, IDC_CANCEL), FocusedWindow(dialog)) << "focus is not on Abort!";
    int filled, percent;
    CountBarPixels(dialog, filled, percent);
    EXPECT_GT(filled, 0) << "no filled bar while installing";
    Screenshot("installing.png");

    PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    SeenBox box = ExpectBox(kWarningCaption, kAbortQuestion, true);
    EXPECT_EQ(std::string(kAbortQuestion), box.text);
    // While the question is open no step runs and the dialog stays: the status
    // line names the same item all through a large one, so the temporary file is
    // what shows a step that should not have run.
    auto TempFileSize = [] {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExA((TempDirectory() + "ovra.tmp").c_str(), GetFileExInfoStandard, &data))
            return -1LL;
        return (long long)data.nFileSizeLow | (long long)data.nFileSizeHigh << 32;
    };
    std::string status = ControlText(dialog, IDC_STATUS_LINE);
    long long tempSize = TempFileSize();
    Sleep(400);
    EXPECT_EQ(status, ControlText(dialog, IDC_STATUS_LINE));
    EXPECT_EQ(tempSize, TempFileSize()) << "the temporary file changed under the open question";
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_FALSE(HasEnded(program));
    AnswerMessageBox(box, IDNO);

    HostReport report = Finish();
    EXPECT_EQ(1, report.result);
    ExpectInstalled(dest, LongRunPayload());
}

// The icon is drawn onto the dialog itself on every paint, in either layout; while
// installing the same paint brings back the bar. The abort question holds the run
// still for the installing layout's pictures.
TEST_F(DialogTest, EveryPaintDrawsIcon2AtItsPlaceAndWhileInstallingTheBar)
{
    Start();
    ExpectIconPainted(dialog, "idle");

    SetDestination(dest);
    Click(dialog, IDC_INSTALL);
    WaitForRunToStart();
    ASSERT_TRUE(WaitForControlTextPrefix(dialog, IDC_STATUS_LINE, "Extracting file: ", kRunWait));
    Click(dialog, IDC_CANCEL);
    SeenBox box = ExpectBox(kWarningCaption, kAbortQuestion, true);
    // Out of the way of the dialog, so that the screen shows what the dialog drew.
    ASSERT_TRUE(SetWindowPos(box.window, NULL, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
    RECT boxRect, dialogRect, overlap;
    GetWindowRect(box.window, &boxRect);
    GetWindowRect(dialog, &dialogRect);
    ASSERT_FALSE(IntersectRect(&overlap, &boxRect, &dialogRect)) << "the question still covers the dialog";
    ExpectIconPainted(dialog, "installing");
    int filled, percent;
    CountBarPixels(dialog, filled, percent);
    EXPECT_GT(filled, 0) << "a paint while installing leaves out the bar";
    Screenshot("installing-repainted.png");

    AnswerMessageBox(box, IDYES);
    WaitForIdle();
    ExpectIconPainted(dialog, "idle after the abort");
    Click(dialog, IDC_CANCEL);
    EXPECT_EQ(0, Finish().result);
}

TEST_F(DialogTest, ConfirmedAbortRollsBackToIdleAndASecondRunStartsOver)
{
    Start();
    SetDestination(dest);
    Click(dialog, IDC_MAKE_BACKUPS);  // the user's choice must survive the abort
    Click(dialog, IDC_INSTALL);
    WaitForRunToStart();
    ASSERT_TRUE(WaitForControlTextPrefix(dialog, IDC_STATUS_LINE, "Extracting file: ", kRunWait));
    Click(dialog, IDC_CANCEL);
    AnswerMessageBox(ExpectBox(kWarningCaption, kAbortQuestion, true), IDYES);
    WaitForIdle();
    ExpectIdle(dialog);
    EXPECT_FALSE(ControlChecked(dialog, IDC_MAKE_BACKUPS));
    EXPECT_TRUE(ControlChecked(dialog, IDC_ADD_ICONS));
    ExpectNothingInstalled(dest);
    EXPECT_FALSE(Exists(dest)) << "the directory this run created stays";
    // The bar painted onto the dialog is wiped out, and a new paint of the idle
    // layout does not bring it back.
    int filled, percent;
    CountBarPixels(dialog, filled, percent);
    EXPECT_EQ(0, filled) << "the bar stays after the abort";
    EXPECT_EQ(0, percent) << "the percentage stays after the abort";
    InvalidateRect(dialog, NULL, TRUE);
    ASSERT_TRUE(WaitUntilPainted(dialog, kWindowWait)) << "the dialog was not repainted";
    CountBarPixels(dialog, filled, percent);
    EXPECT_EQ(0, filled) << "an idle paint draws the bar";
    EXPECT_EQ(0, percent) << "an idle paint draws the percentage";
    Screenshot("after-abort.png");

    // Late pacing messages in the idle layout (a timer from before the answer, a
    // step posted meanwhile) must not run a step on the closed installer file.
    PostMessageA(dialog, WM_TIMER, kStepTimer, 0);
    PostMessageA(dialog, kStepMessage, 0, 0);
    ASSERT_TRUE(StaysAbsent(program, "Ovra Installation Error [9]", 300));
    EXPECT_FALSE(HasEnded(program)) << "a late step ended the dialog";
    ExpectIdle(dialog);

    Click(dialog, IDC_INSTALL);
    HostReport report = Finish();
    EXPECT_EQ(1, report.result);
    EXPECT_EQ("0", report.values["makeBackups"]);
    ExpectInstalled(dest, LongRunPayload());
}

TEST_F(DialogTest, StepMessagesBeforeAnyRunAreIgnored)
{
    Start();
    PostMessageA(dialog, kStepMessage, 0, 0);
    PostMessageA(dialog, WM_TIMER, kStepTimer, 0);
    Sleep(300);
    EXPECT_FALSE(HasEnded(program));
    ExpectIdle(dialog);
    Click(dialog, IDC_CANCEL);
    EXPECT_EQ(0, Finish().result);
}

TEST_F(DialogTest, FailuresReturnToIdleWithTheOptionsAsTheUserLeftThem)
{
    Start();
    Click(dialog, IDC_ADD_ICONS);
    // A destination whose parent is missing cannot be created.
    SetDestination(work + "\\missing\\ovra");
    Click(dialog, IDC_INSTALL);
    AnswerMessageBox(ExpectBox("Ovra Installation Error [1]", kDirectoryProblem, false), IDOK);
    WaitForIdle();
    ExpectIdle(dialog);
    EXPECT_TRUE(ControlChecked(dialog, IDC_MAKE_BACKUPS));
    EXPECT_FALSE(ControlChecked(dialog, IDC_ADD_ICONS));

    // A soft failure: an existing file is to be backed up where a plain file named
    // backup stands in the way.
    ASSERT_TRUE(CreateDirectoryA(dest.c_str(), NULL));
    WriteBytes(dest + "\\" + PayloadItemName(0), Bytes{'o', 'l', 'd'});
    WriteBytes(dest + "\\backup", Bytes{'x'});
    SetDestination(dest);
    Click(dialog, IDC_INSTALL);
    AnswerMessageBox(ExpectBox("Ovra Installation Error [7]", kBackupProblem, false), IDOK);
    WaitForIdle();
    ExpectIdle(dialog);
    EXPECT_TRUE(ControlChecked(dialog, IDC_MAKE_BACKUPS));
    EXPECT_FALSE(ControlChecked(dialog, IDC_ADD_ICONS));
    EXPECT_EQ((Bytes{'o', 'l', 'd'}), ReadWholeFile(dest + "\\" + PayloadItemName(0)));

    // Without backups the same destination installs.
    Click(dialog, IDC_MAKE_BACKUPS);
    Click(dialog, IDC_INSTALL);
    HostReport report = Finish();
    EXPECT_EQ(1, report.result);
    EXPECT_EQ("0", report.values["makeBackups"]);
    EXPECT_EQ("0", report.values["addIcons"]);
    ExpectInstalled(dest, LongRunPayload());
}

TEST_F(DialogTest, GoodChecksumWithNothingPlacedIsError14)
{
    Start(EmptyHost());
    SetDestination(dest);
    Click(dialog, IDC_INSTALL);
    SeenBox box = ExpectBox("Ovra Installation Error [14]", kCorrupt, false);
    EXPECT_EQ(std::string(kCorrupt), box.text);
    EXPECT_FALSE(Exists(dest)) << "rolled back before the box";
    AnswerMessageBox(box, IDOK);
    EXPECT_EQ(0, Finish().result);
}

TEST_F(DialogTest, InstallerFileGoneEndsWithError9)
{
    Start();
    SetDestination(dest);
    ASSERT_TRUE(MoveFileA(exe.c_str(), (exe + ".gone").c_str()));
    Click(dialog, IDC_INSTALL);
    AnswerMessageBox(ExpectBox("Ovra Installation Error [9]", kReadProblem, false), IDOK);
    EXPECT_EQ(0, Finish().result);
}

// ---- The Directory chooser --------------------------------------------------------

// The index of an entry of a list box or combo box of another process, or -1.
int FindListEntry(HWND list, bool combo, const std::string &entry)
{
    int count = int(SendMessageA(list, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0));
    std::wstring wanted(entry.begin(), entry.end());
    for (int i = 0; i < count; i++) {
        // Wide: across processes Wine hands the item over in its own (wide) form.
        wchar_t text[512] = L"";
        SendMessageW(list, combo ? CB_GETLBTEXT : LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
        if (_wcsicmp(text, wanted.c_str()) == 0)
            return i;
    }
    return -1;
}

class ChooserTest : public DialogTest {
protected:
    std::string games;  // a directory in the root of c:, as a user's would be
    HWND chooser = NULL;

    void SetUp() override
    {
        DialogTest::SetUp();
        games = "c:\\dlgtest" + std::to_string(GetCurrentProcessId());
        RemoveTree(games);
        ASSERT_TRUE(CreateDirectoryA(games.c_str(), NULL));
        ASSERT_TRUE(CreateDirectoryA((games + "\\ovra").c_str(), NULL));
        ASSERT_TRUE(CreateDirectoryA((games + "\\ovra32").c_str(), NULL));
    }
    void TearDown() override
    {
        DialogTest::TearDown();
        RemoveTree(games);
    }

    void Browse()
    {
        Click(dialog, IDC_BROWSE);
        chooser = FindDialog(program, kChooserCaption, kWindowWait);
        ASSERT_NE(chooser, HWND(NULL)) << "no chooser";
        // Its first paint comes after the hook has set it up.
        ASSERT_TRUE(WaitUntilPainted(chooser, kWindowWait)) << "the chooser was not painted";
    }

    std::string Field() { return ControlText(chooser, IDC_CHOOSER_PATH); }
    std::string CurrentDirectory() { return ControlText(chooser, stc1); }

    void OpenDirectory(const std::string &entry)
    {
        HWND list = GetDlgItem(chooser, lst2);
        int index = FindListEntry(list, false, entry);
        ASSERT_GE(index, 0) << entry << " is not in the directory list";
        SendMessageA(list, LB_SETCURSEL, index, 0);
        PostMessageA(chooser, WM_COMMAND, MAKEWPARAM(lst2, LBN_DBLCLK), reinterpret_cast<LPARAM>(list));
    }

    void SelectDirectoryOnly(const std::string &entry)
    {
        HWND list = GetDlgItem(chooser, lst2);
        int index = FindListEntry(list, false, entry);
        ASSERT_GE(index, 0) << entry << " is not in the directory list";
        SendMessageA(list, LB_SETCURSEL, index, 0);
        PostMessageA(chooser, WM_COMMAND, MAKEWPARAM(lst2, LBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
    }

    void ChooseDrive(const std::string &entry)
    {
        HWND combo = GetDlgItem(chooser, cmb2);
        int index = FindListEntry(combo, true, entry);
        ASSERT_GE(index, 0) << entry << " is not in the drive list";
        SendMessageA(combo, CB_SETCURSEL, index, 0);
        PostMessageA(chooser, WM_COMMAND, MAKEWPARAM(cmb2, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    }

    bool WaitForField(const std::string &text) { return WaitForControlText(chooser, IDC_CHOOSER_PATH, text, 5000); }

    void PressOk()
    {
        Click(chooser, IDOK);
        ASSERT_TRUE(StaysAbsentSoon()) << "the chooser did not end on OK";
    }

    bool StaysAbsentSoon() { return WaitUntilGone(chooser, 5000); }
};

TEST_F(ChooserTest, FirstBrowseStartsAtTheDriveRootAndProposesOvraInEachDirectory)
{
    Start();
    ASSERT_EQ("c:\\ovra", ControlText(dialog, IDC_DEST_TEXT));
    Browse();
    EXPECT_EQ("c:\\", CurrentDirectory());
    EXPECT_EQ("c:\\ovra", Field());
    // The caret stands after the last character, with nothing selected.
    DWORD selection = DWORD(SendMessageA(GetDlgItem(chooser, IDC_CHOOSER_PATH), EM_GETSEL, 0, 0));
    EXPECT_EQ(7u, LOWORD(selection));
    EXPECT_EQ(7u, HIWORD(selection));
    EXPECT_EQ(GetDlgItem(chooser, IDC_CHOOSER_PATH), FocusedWindow(chooser));
    // The placeholder is back in the file-name field, or OK would only filter.
    EXPECT_EQ("JUNK!", ControlText(chooser, edt1));
    // Typing stops at 299 characters, so OK never reads a cut path.
    EXPECT_EQ(299u, unsigned(SendMessageA(GetDlgItem(chooser, IDC_CHOOSER_PATH), EM_GETLIMITTEXT, 0, 0)));
    ExpectCentred(chooser, "chooser");
    Screenshot("chooser.png");

    std::string name = games.substr(3);
    struct Case {
        const char *what;
        std::string entry;
        std::string field;
    } cases[] = {
        {"a directory gets \\ovra", "[" + name + "]", games + "\\ovra"},
        {"a path holding \\ovra stays", "[ovra32]", games + "\\ovra32"},
        {"back up one level", "[..]", games + "\\ovra"},
        {"\\ovra itself stays", "[ovra]", games + "\\ovra"},
    };
    for (const Case &c : cases) {
        OpenDirectory(c.entry);
        EXPECT_TRUE(WaitForField(c.field)) << c.what << ": field shows " << Field();
    }
    // A drive root gets no doubled backslash.
    ChooseDrive("[-z-]");
    EXPECT_TRUE(WaitForField("z:\\ovra")) << "drive root: field shows " << Field() << " at " << CurrentDirectory();
    ChooseDrive("[-c-]");
    EXPECT_TRUE(WaitForField("c:\\ovra")) << "back on c: the field shows " << Field();

    // Typed text is replaced by a mere selection change in the list: the current
    // directory, which has not changed, with the suffix again.
    ASSERT_TRUE(SetDlgItemTextA(chooser, IDC_CHOOSER_PATH, "c:\\typed"));
    ASSERT_TRUE(WaitForField("c:\\typed"));
    SelectDirectoryOnly("[" + name + "]");
    EXPECT_TRUE(WaitForField("c:\\ovra")) << "field shows " << Field();
    EXPECT_EQ("c:\\", CurrentDirectory());

    Click(chooser, IDCANCEL);
    ASSERT_TRUE(StaysAbsentSoon());
    EXPECT_EQ("c:\\ovra", ControlText(dialog, IDC_DEST_TEXT)) << "Cancel changed the destination";
    Click(dialog, IDC_CANCEL);
    EXPECT_EQ(0, Finish().result);
}

TEST_F(ChooserTest, OkTakesTheFieldLowerCasedAndTheNextBrowseStartsThere)
{
    Start();
    Browse();
    OpenDirectory("[" + games.substr(3) + "]");
    ASSERT_TRUE(WaitForField(games + "\\ovra"));
    PressOk();
    EXPECT_EQ(games + "\\ovra", ControlText(dialog, IDC_DEST_TEXT));

    // The second chooser starts at the full destination, not at the drive root.
    Browse();
    EXPECT_EQ(games + "\\ovra", CurrentDirectory());
    EXPECT_EQ(games + "\\ovra", Field());

    // Typed text is taken as it is, without a suffix; the dialog lower-cases it.
    ASSERT_TRUE(SetDlgItemTextA(chooser, IDC_CHOOSER_PATH, "C:\\Apps\\Chat"));
    PressOk();
    EXPECT_EQ("c:\\apps\\chat", ControlText(dialog, IDC_DEST_TEXT));
    Click(dialog, IDC_CANCEL);
    EXPECT_EQ(0, Finish().result);
}

// A current directory of no more than one character means nothing: the proposal is
// then the installer's own directory followed by ovra, with its capitals, where every
// other proposal is lower-cased.
TEST_F(ChooserTest, TooShortACurrentDirectoryProposesTheInstallersOwnDirectory)
{
    // Under a directory made here: the platform reports the program's path with the
    // capitals the disk has, and the temporary directory's differ from those of work.
    std::string folder = games + "\\Setup Disk A";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    exe = folder + "\\Setup.exe";
    WriteBytes(exe, PackedHost());
    ASSERT_TRUE(StartProgram(program, "\"" + exe + "\" \"" + reportPath + "\"", work));
    dialog = FindDialog(program, kDialogCaption, kWindowWait);
    ASSERT_NE(dialog, HWND(NULL));
    Browse();
    ASSERT_TRUE(WaitForField("c:\\ovra"));

    struct Case {
        const char *what;
        const char *current;  // what control 1088 is given
        std::string field;
    } cases[] = {
        {"empty", "", folder + "\\ovra"},
        {"one character", "C", folder + "\\ovra"},
        {"two characters follow the suffix rule", "C:", "c:\\ovra"},
    };
    for (const Case &c : cases) {
        // From a proposal of the ordinary kind, so that each change is seen.
        ASSERT_TRUE(SetDlgItemTextA(chooser, stc1, "D:\\Other"));
        ASSERT_TRUE(WaitForField("d:\\other\\ovra")) << c.what << ": field shows " << Field();
        ASSERT_TRUE(SetDlgItemTextA(chooser, stc1, c.current));
        EXPECT_TRUE(WaitForField(c.field)) << c.what << ": field shows " << Field();
    }

    Click(chooser, IDCANCEL);
    ASSERT_TRUE(StaysAbsentSoon());
    Click(dialog, IDC_CANCEL);
    EXPECT_EQ(0, Finish().result);
}

// ---- The default destination on other kinds of drives ------------------------------
// Run in a prefix of their own (tests/wine/drive_types.sh) where d: is a fixed disk,
// e: a CD-ROM and f: a network drive, each mapped to c:\drive_<letter>.

class DriveTypeTest : public DialogTest {};

TEST_F(DriveTypeTest, OnlyAFixedDiskProposesItsOwnDriveOthersTheWindowsDrive)
{
    std::string windows = WindowsDirectory();
    ASSERT_FALSE(windows.empty());
    std::string windowsDrive = std::string(1, char(tolower(windows[0]))) + ":";
    struct Case {
        char drive;
        UINT type;
        std::string proposed;
        std::string currentDrive;  // of the host when it ends
    } cases[] = {
        {'d', DRIVE_FIXED, "d:\\ovra", "d:"},
        {'e', DRIVE_CDROM, windowsDrive + "\\ovra", windowsDrive},
        {'f', DRIVE_REMOTE, windowsDrive + "\\ovra", windowsDrive},
    };
    for (const Case &c : cases) {
        std::string root = std::string(1, c.drive) + ":\\";
        SCOPED_TRACE(root);
        ASSERT_EQ(c.type, GetDriveTypeA(root.c_str())) << "the prefix does not give this drive its type";
        std::string folder = std::string("c:\\drive_") + c.drive;
        WriteBytes(folder + "\\setup.exe", PackedHost());
        std::string upper = std::string(1, char(toupper(c.drive))) + ":\\setup.exe";
        ASSERT_TRUE(StartProgram(program, "\"" + upper + "\" \"" + reportPath + "\"", root));
        dialog = FindDialog(program, kDialogCaption, kWindowWait);
        ASSERT_NE(dialog, HWND(NULL));
        EXPECT_EQ(c.proposed, ControlText(dialog, IDC_DEST_TEXT));
        Click(dialog, IDC_CANCEL);
        HostReport report = Finish();
        EXPECT_EQ(0, report.result);
        std::string current = report.values["current"];
        EXPECT_EQ(0, _strnicmp(current.c_str(), c.currentDrive.c_str(), 2)) << "current directory " << current;
        DeleteFileA((folder + "\\setup.exe").c_str());
    }
}

}  // namespace
