// The Progress bar read back pixel by pixel from a memory device context, and the
// status line texts, on a plain window that lends the bar its control 115.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/session.h"
#include "prefix.h"
#include "resources/resource.h"
#include "stand_in_window.h"
#include "ui/progress.h"

namespace {

constexpr int kBarX = 10, kBarY = 10, kBarW = 200, kBarH = 20;
constexpr int kSurfaceW = 260, kSurfaceH = 60;
constexpr COLORREF kSentinel = RGB(0, 255, 0);
constexpr COLORREF kBlue = RGB(0, 100, 200);
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlack = RGB(0, 0, 0);

struct Surface {
    HDC dc = NULL;
    HBITMAP bitmap = NULL;
    HGDIOBJ old = NULL;
    Surface()
    {
        dc = CreateCompatibleDC(NULL);
        BITMAPINFO info = {};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = kSurfaceW;
        info.bmiHeader.biHeight = -kSurfaceH;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void *bits = nullptr;
        bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, NULL, 0);
        old = SelectObject(dc, bitmap);
        RECT all = {0, 0, kSurfaceW, kSurfaceH};
        HBRUSH sentinel = CreateSolidBrush(kSentinel);
        FillRect(dc, &all, sentinel);
        DeleteObject(sentinel);
    }
    ~Surface()
    {
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    COLORREF At(int x, int y) const { return GetPixel(dc, x, y) & 0xFFFFFF; }
};

class ProgressTest : public ::testing::Test {
protected:
    HWND window = NULL;
    void SetUp() override
    {
        // Client area = window area, so control coordinates are surface coordinates.
        window = CreateStandInWindow(100, 100, kSurfaceW, kSurfaceH, {kBarX, kBarY, kBarX + kBarW, kBarY + kBarH});
        ASSERT_NE(window, HWND(NULL));
        ASSERT_TRUE(BeginStandInRun(window, "c:\\ovra"));
    }
    void TearDown() override
    {
        DestroyWindow(window);
        session.dialogWindow = NULL;
    }
    std::string Status() const
    {
        char text[300] = {};
        GetDlgItemTextA(window, IDC_STATUS_LINE, text, sizeof(text));
        return text;
    }
};

// Every pixel of the bar and of a one-pixel margin around it, against what a
// bar filled to `filledEnd` (exclusive; kBarX + 1 for none) must look like.
// Text pixels are compared with a reference rendering of `text` at `textX`.
void ExpectBar(const Surface &s, int filledEnd, const char *text, int textX)
{
    Surface reference;
    RECT remainder = {filledEnd, kBarY + 1, kBarX + kBarW - 1, kBarY + kBarH - 1};
    FillRect(reference.dc, &remainder, HBRUSH(GetStockObject(WHITE_BRUSH)));
    if (text) {
        SetTextColor(reference.dc, kRed);
        SetBkColor(reference.dc, kWhite);
        RECT clip = remainder;
        clip.left = textX;
        int y = remainder.top + (remainder.bottom - remainder.top) / 5;
        ExtTextOutA(reference.dc, textX, y, ETO_CLIPPED, &clip, text, UINT(strlen(text)), NULL);
    }
    int redSeen = 0;
    for (int y = kBarY - 1; y <= kBarY + kBarH; y++) {
        for (int x = kBarX - 1; x <= kBarX + kBarW; x++) {
            bool outside = x < kBarX || y < kBarY || x >= kBarX + kBarW || y >= kBarY + kBarH;
            bool frame = !outside && (x == kBarX || y == kBarY || x == kBarX + kBarW - 1 || y == kBarY + kBarH - 1);
            COLORREF expected;
            if (outside)
                expected = kSentinel;
            else if (frame)
                expected = kBlack;
            else if (x < filledEnd)
                expected = kBlue;
            else
                expected = reference.At(x, y);
            COLORREF actual = s.At(x, y);
            if (actual == kRed)
                redSeen++;
            if (actual != expected) {
                ADD_FAILURE() << "pixel (" << x << ", " << y << "): expected 0x" << std::hex << expected << ", got 0x"
                              << actual;
                return;
            }
        }
    }
    if (text)
        EXPECT_GT(redSeen, 0) << "no percentage text drawn";
    else
        EXPECT_EQ(redSeen, 0) << "a percentage was drawn on a full bar";
}

// A stream on a file of size bytes (sparse where the system allows), read up to position.
ByteStream *FileOfSize(const std::string &path, long size, long position)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    DWORD put = 0;
    bool made = SetFilePointer(file, size - 1, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                WriteFile(file, "", 1, &put, NULL) && put == 1;
    CloseHandle(file);
    ByteStream *f = made ? StreamOpen(path.c_str(), STREAM_READ) : nullptr;
    for (long i = 0; f && i < position; ++i)
        StreamGetByte(f);
    return f;
}

TEST_F(ProgressTest, EmptyBarShowsZeroPercent)
{
    Surface s;
    PaintProgress(s.dc);
    ExpectBar(s, kBarX + 1, "0%", kBarX + 1 + 4);
}

TEST_F(ProgressTest, BarFollowsReadPosition)
{
    struct Case {
        const char *name;
        long size, position;
        int pixels;
        int filledEnd;
        const char *text;
    } cases[] = {
        {"35% at W 200", 1000000, 350000, 70, kBarX + 70, "35%"},
        {"start of file", 1000000, 0, 0, kBarX + 1, "0%"},
        {"one pixel", 1000000, 5000, 1, kBarX + 1, "0%"},
        {"end of file", 1000000, 1000000, 200, kBarX + kBarW - 1, nullptr},
        {"W - 1 pixels", 200, 199, 199, kBarX + kBarW - 1, nullptr},
        {"past 2 GB in between", 20000000, 19990000, 199, kBarX + kBarW - 1, nullptr},
    };
    const std::string temp = TempDirectory();
    ASSERT_FALSE(temp.empty());
    const std::string path = temp + "progress_size.bin";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ResetSession();
        session.dialogWindow = window;
        ByteStream *f = FileOfSize(path, c.size, c.position);
        ASSERT_NE(f, nullptr);
        Surface s;
        // The scan reports the stream's position; the bar is then drawn into our surface.
        session.installerFile = f;
        ShowScanProgress();
        session.installerFile = nullptr;
        PaintProgress(s.dc);
        EXPECT_EQ(session.installerSize, c.size);
        EXPECT_EQ(session.progressPixels, c.pixels);
        EXPECT_EQ(StreamTell(f), c.position) << "the read position moved";
        ExpectBar(s, c.filledEnd, c.text, c.filledEnd + 4);
        StreamClose(f);
        DeleteFileA(path.c_str());
    }
}

TEST_F(ProgressTest, RedrawWithoutStreamUsesStoredWidth)
{
    session.progressPixels = 70;
    Surface s;
    PaintProgress(s.dc);
    ExpectBar(s, kBarX + 70, "35%", kBarX + 74);
}

TEST_F(ProgressTest, GivenContextKeepsItsColoursAndStaysOpen)
{
    Surface s;
    SetTextColor(s.dc, RGB(1, 2, 3));
    SetBkColor(s.dc, RGB(4, 5, 6));
    PaintProgress(s.dc);
    EXPECT_EQ(GetTextColor(s.dc), RGB(1, 2, 3));
    EXPECT_EQ(GetBkColor(s.dc), RGB(4, 5, 6));
    RECT spot = {0, 0, 2, 2};
    EXPECT_NE(FillRect(s.dc, &spot, HBRUSH(GetStockObject(BLACK_BRUSH))), 0) << "context no longer usable";
}

TEST_F(ProgressTest, StatusLineNamesTheItem)
{
    struct Case {
        const char *name;
        int pixels, placed;
        const char *expected;
    } cases[] = {
        {"right after a reset", 0, 0, "Scanning files..."},     {"bar not advanced", 0, 3, "Scanning files..."},
        {"fourth item", 1, 3, "Extracting file: netintro.hlp"}, {"first item", 5, 0, "Extracting file: ovra32.exe"},
        {"beyond the table", 1, 11, "Extracting file: "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ResetSession();
        session.dialogWindow = window;
        session.progressPixels = c.pixels;
        session.placedCount = c.placed;
        ShowFileStatus();
        EXPECT_EQ(Status(), c.expected);
    }
}

}  // namespace
