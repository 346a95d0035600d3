// The Progress bar drawn onto the Install dialog in the rectangle of its hidden
// control 115, and the status line (control 113) that names the item being extracted.
#include <cstdio>
#include <cstring>

#include "engine/session.h"
#include "resources/resource.h"

static const COLORREF kFilledColour = RGB(0, 100, 200);
static const COLORREF kPercentColour = RGB(255, 0, 0);
static const COLORREF kPercentBackground = RGB(255, 255, 255);

static void DrawPercentage(HDC dc, const RECT &remainder, int width)
{
    COLORREF oldText = SetTextColor(dc, kPercentColour);
    COLORREF oldBackground = SetBkColor(dc, kPercentBackground);
    if (session.progressPixels <= 0)
        snprintf(session.scratch, kPathCapacity, "0%%");
    else
        snprintf(session.scratch, kPathCapacity, "%d%%", session.progressPixels * 100 / width);

    RECT clip = remainder;
    clip.left = remainder.left + 4;
    int y = remainder.top + (remainder.bottom - remainder.top) / 5;
    ExtTextOutA(dc, clip.left, y, ETO_CLIPPED, &clip, session.scratch, UINT(strlen(session.scratch)), NULL);

    SetTextColor(dc, oldText);
    SetBkColor(dc, oldBackground);
}

void PaintProgress(HDC dc, FILE *stream)
{
    if (stream && session.installerSize == 0)
        session.installerSize = int32_t(InstallerFileSize(stream));

    HWND area = GetDlgItem(session.dialogWindow, IDC_PROGRESS_AREA);
    RECT bar;
    if (!area || !GetWindowRect(area, &bar))
        return;
    int width = bar.right - bar.left;
    if (stream && session.installerSize > 0) {
        // 64 bits in between, so installers past 10 MB or so don't overflow.
        long long position = ftell(stream);
        session.progressPixels = int32_t(position * width / session.installerSize);
    }

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

void ShowFileStatus()
{
    PayloadTargetPath(session.scratch, session.placedCount);
    SplitSessionPath(session.scratch);
    if (session.progressPixels > 0)
        snprintf(session.scratch, kPathCapacity, "Extracting file: %s%s", session.pathName, session.pathExt);
    else
        snprintf(session.scratch, kPathCapacity, "Scanning files...");
    SendDlgItemMessageA(session.dialogWindow, IDC_STATUS_LINE, WM_SETTEXT, 0, LPARAM(session.scratch));
}
