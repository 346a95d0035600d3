// The CBT hook behind BoxAnswerer: reads the box (ReadMessageBox) and its icon
// (static 1088) when it is activated, then posts a click.
#include "msgbox_answerer.h"

#include <algorithm>
#include <cstring>

namespace {

BoxAnswerer *current = nullptr;
constexpr int kTextId = 0xFFFF;
constexpr int kIconId = 1088;

bool IsMessageBox(HWND window)
{
    char className[64];
    if (GetClassNameA(window, className, sizeof className) == 0 || strcmp(className, "#32770") != 0)
        return false;
    return GetDlgItem(window, kTextId) != nullptr || GetDlgItem(window, kIconId) != nullptr;
}

UINT ReadIcon(HWND box)
{
    HWND iconControl = GetDlgItem(box, kIconId);
    if (iconControl == nullptr)
        return 0;
    HICON icon = HICON(SendMessageA(iconControl, STM_GETICON, 0, 0));
    if (icon == nullptr)
        return 0;
    const struct {
        LPCSTR id;
        UINT style;
    } known[] = {{IDI_HAND, MB_ICONSTOP},
                 {IDI_QUESTION, MB_ICONQUESTION},
                 {IDI_EXCLAMATION, MB_ICONEXCLAMATION},
                 {IDI_ASTERISK, MB_ICONINFORMATION}};
    for (const auto &k : known)
        if (LoadIconA(nullptr, k.id) == icon)
            return k.style;
    return UINT(-1);
}

int DefaultAnswer(UINT buttons)
{
    switch (buttons) {
    case MB_YESNO:
    case MB_YESNOCANCEL:
        return IDNO;
    case MB_RETRYCANCEL:
        return IDCANCEL;
    case MB_ABORTRETRYIGNORE:
        return IDABORT;
    default:
        return IDOK;
    }
}

LRESULT CALLBACK CbtHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (current != nullptr && code == HCBT_DESTROYWND) {
        auto &open = current->open;
        open.erase(std::remove(open.begin(), open.end(), HWND(wParam)), open.end());
    }
    if (current != nullptr && code == HCBT_ACTIVATE) {
        HWND box = HWND(wParam);
        auto &open = current->open;
        if (IsMessageBox(box) && std::find(open.begin(), open.end(), box) == open.end()) {
            open.push_back(box);
            SeenBox seen = ReadMessageBox(box);
            seen.icon = ReadIcon(box);
            seen.scripted = !current->answers.empty();
            seen.answer = seen.scripted ? current->answers.front() : DefaultAnswer(seen.buttons);
            if (seen.scripted)
                current->answers.pop_front();
            current->boxes.push_back(seen);
            // Posted, so the box's own modal loop handles it once it is up.
            HWND button = GetDlgItem(box, seen.answer);
            if (button != nullptr)
                PostMessageA(button, BM_CLICK, 0, 0);
            else
                PostMessageA(box, WM_COMMAND, MAKEWPARAM(seen.answer, BN_CLICKED), 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

void BoxAnswererStart(BoxAnswerer &answerer)
{
    current = &answerer;
    answerer.hook = SetWindowsHookExA(WH_CBT, CbtHook, nullptr, GetCurrentThreadId());
}

void BoxAnswererStop(BoxAnswerer &answerer)
{
    if (answerer.hook != nullptr)
        UnhookWindowsHookEx(answerer.hook);
    answerer.hook = nullptr;
    if (current == &answerer)
        current = nullptr;
}
