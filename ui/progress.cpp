// The Progress bar drawn onto the Install dialog in the rectangle of its hidden
// control 115, and the status line (control 113): the display side of engine/display.h,
// and the dialog's own repaint of the bar (ui/progress.h).
#include "ui/progress.h"

#include "engine/session.h"
#include "resources/resource.h"
#include "runtime/text.h"

static const COLORREF kFilledColour = RGB(0, 100, 200);
static const COLORREF kPercentColour = RGB(255, 0, 0);
static const COLORREF kPercentBackground = RGB(255, 255, 255);

void ShowStatus(const char *text) { SetDlgItemTextA(session.dialogWindow, IDC_STATUS_LINE, text); }

// The bar's rectangle in screen coordinates, taken anew each time: false when the
// dialog has no such control.
static bool BarScreenRect(RECT &bar)
{
    HWND area = GetDlgItem(session.dialogWindow, IDC_PROGRESS_AREA);
    return area && GetWindowRect(area, &bar);
}

static void DrawPercentage(HDC dc, const RECT &remainder, int width)
{
    COLORREF oldText = SetTextColor(dc, kPercentColour);
    COLORREF oldBackground = SetBkColor(dc, kPercentBackground);
    char percent[16];  // "-2147483648%" at worst
    if (session.progressPixels <= 0)
        FormatText(percent, sizeof percent, "0%%");
    else
        FormatText(percent, sizeof percent, "%d%%", session.progressPixels * 100 / width);

    RECT clip = remainder;
    clip.left = remainder.left + 4;
    int y = remainder.top + (remainder.bottom - remainder.top) / 5;
    ExtTextOutA(dc, clip.left, y, ETO_CLIPPED, &clip, percent, UINT(TextLength(percent)), NULL);

    SetTextColor(dc, oldText);
    SetBkColor(dc, oldBackground);
}

// Frame, filled span, white remainder and percentage, all from progressPixels;
// bar is the control's rectangle in screen coordinates.
static void DrawBar(HDC dc, RECT bar)
{
    int width = bar.right - bar.left;
    POINT topLeft = {bar.left, bar.top};
    POINT bottomRight = {bar.right, bar.bottom};
    ScreenToClient(session.dialogWindow, &topLeft);
    ScreenToClient(session.dialogWindow, &bottomRight);
    bar = {topLeft.x, topLeft.y, bottomRight.x, bottomRight.y};

    HDC target = dc ? dc : GetDC(session.dialogWindow);
    if (!target)
        return;

    FrameRect(target, &bar, HBRUSH(GetStockObject(BLACK_BRUSH)));
    RECT inner = {bar.left + 1, bar.top + 1, bar.right - 1, bar.bottom - 1};

    RECT filled = inner;
    RECT remainder = inner;
    bool hasFilled = session.progressPixels > 0;
    bool hasRemainder = true;
    if (hasFilled) {
        filled.right = bar.left + session.progressPixels;
        if (filled.right >= inner.right) {
            filled.right = inner.right;
            hasRemainder = false;
        } else {
            remainder.left = filled.right;
        }
    }

    if (hasFilled) {
        HBRUSH brush = CreateSolidBrush(kFilledColour);
        FillRect(target, &filled, brush);
        DeleteObject(brush);
    }
    if (hasRemainder) {
        FillRect(target, &remainder, HBRUSH(GetStockObject(WHITE_BRUSH)));
        DrawPercentage(target, remainder, width);
    }

    if (!dc)
        ReleaseDC(session.dialogWindow, target);
}

// position * width / size, truncated toward zero, for a size above 0. The product
// takes 64 bits (installers past 10 MB or so would overflow 32); it is divided bit by
// bit, which keeps the 64-bit division helper (320 bytes of libgcc on i686) out of
// the program.
static int32_t ScaledPixels(long position, long width, long size)
{
    bool negative = (position < 0) != (width < 0);
    uint64_t rest =
        uint64_t(position < 0 ? -int64_t(position) : position) * uint64_t(width < 0 ? -int64_t(width) : width);
    uint64_t quotient = 0, remainder = 0;
    for (int bit = 63; bit >= 0; --bit) {
        remainder = remainder << 1 | ((rest >> bit) & 1);
        if (remainder >= uint64_t(size)) {
            remainder -= uint64_t(size);
            quotient |= uint64_t(1) << bit;
        }
    }
    return negative ? -int32_t(quotient) : int32_t(quotient);
}

void ShowProgress(long position, long size)
{
    RECT bar;
    if (!BarScreenRect(bar))
        return;
    if (size > 0)
        session.progressPixels = ScaledPixels(position, bar.right - bar.left, size);
    DrawBar(NULL, bar);
}

void PaintProgress(HDC dc)
{
    RECT bar;
    if (BarScreenRect(bar))
        DrawBar(dc, bar);
}
