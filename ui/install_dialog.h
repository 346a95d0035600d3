// The Install dialog: its procedure, its two layouts and its start-up texts, and
// the private message and timer that pace a run.
#pragma once
#include <windows.h>

// One scan step. Posted, never sent: the dialog returns to its message loop between
// steps, so it keeps painting and its Abort button keeps working while a run goes on.
#define WM_APP_STEP (WM_USER + 2)
// One-shot pause of 50 ms before the next step, started after each step that left
// more to do and killed when it fires.
#define STEP_TIMER 1025
#define STEP_TIMER_MS 50

INT_PTR CALLBACK InstallDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void SetDialogMode(HWND dialog, bool installing);
void InitDialogTexts(HWND dialog);
