// The hooks behind BoxAnswerer: the box's style from its WM_INITDIALOG, then the box
// (ReadMessageBox) and its icon (static 1088) when it is activated, then a posted click.
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
    case MB_YESNOCANCEL: return IDNO;
    case MB_RETRYCANCEL: return IDCANCEL;
    case MB_ABORTRETRYIGNORE: return IDABORT;
    default: return IDOK;
    }
}

// Reads the box as the user sees it, records it, and posts the next answer.
void AnswerBox(HWND box)
{
    current->open.push_back(box);
    SeenBox seen = ReadMessageBox(box);
    seen.icon = ReadIcon(box);
    seen.styleKnown = current->initStyleKnown;
    seen.style = seen.styleKnown ? current->initStyle : 0;
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

// Sees each dialog's WM_INITDIALOG once it is handled: the box then has its text and
// only its own buttons. A box's dialog starts with the box's parameters as the
// argument (the system turns every A call into a MSGBOXPARAMSW), which is where the
// exact style the program asked for can still be read: the buttons and the icon
// alone do not tell MB_SYSTEMMODAL or MB_ICONHAND from their neighbours. Only a block
// of that size whose owner is the window's own is taken for one.
LRESULT CALLBACK InitHook(int code, WPARAM wParam, LPARAM lParam)
{
    const CWPRETSTRUCT *call = reinterpret_cast<const CWPRETSTRUCT *>(lParam);
    if (current != nullptr && code == HC_ACTION && call->message == WM_INITDIALOG) {
        const MSGBOXPARAMSW *params = reinterpret_cast<const MSGBOXPARAMSW *>(call->lParam);
        current->initWindow = call->hwnd;
        current->initStyleKnown = params != nullptr && !IsBadReadPtr(params, sizeof *params) &&
                                  params->cbSize == sizeof *params &&
                                  params->hwndOwner == GetWindow(call->hwnd, GW_OWNER);
        current->initStyle = current->initStyleKnown ? params->dwStyle : 0;
        if (current->pending == call->hwnd) {
            current->pending = nullptr;
            AnswerBox(call->hwnd);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

LRESULT CALLBACK CbtHook(int code, WPARAM wParam, LPARAM lParam)
{
    if (current != nullptr && code == HCBT_DESTROYWND) {
        auto &open = current->open;
        open.erase(std::remove(open.begin(), open.end(), HWND(wParam)), open.end());
        if (current->initWindow == HWND(wParam))
            current->initWindow = nullptr;
    }
    if (current != nullptr && code == HCBT_ACTIVATE) {
        HWND box = HWND(wParam);
        auto &open = current->open;
        if (IsMessageBox(box) && std::find(open.begin(), open.end(), box) == open.end()) {
            // A box without an owner is activated while its WM_INITDIALOG is still
            // being handled, before its text is set and its unused buttons go: it is
            // read once that is done.
            if (current->initWindow == box)
                AnswerBox(box);
            else
                current->pending = box;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

void BoxAnswererStart(BoxAnswerer &answerer)
{
    current = &answerer;
    answerer.hook = SetWindowsHookExA(WH_CBT, CbtHook, nullptr, GetCurrentThreadId());
    answerer.initHook = SetWindowsHookExA(WH_CALLWNDPROCRET, InitHook, nullptr, GetCurrentThreadId());
}

void BoxAnswererStop(BoxAnswerer &answerer)
{
    if (answerer.hook != nullptr)
        UnhookWindowsHookEx(answerer.hook);
    answerer.hook = nullptr;
    if (answerer.initHook != nullptr)
        UnhookWindowsHookEx(answerer.initHook);
    answerer.initHook = nullptr;
    if (current == &answerer)
        current = nullptr;
}
