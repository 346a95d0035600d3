// Answers the system's message boxes inside a test: a CBT hook on the test's thread
// sees every box as it opens, records what the user would see and the style it was
// asked for, and presses the next scripted button.
#pragma once
#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "ui_driver.h"  // SeenBox

struct BoxAnswerer {
    HHOOK hook = nullptr;
    HHOOK initHook = nullptr;   // sees each dialog's WM_INITDIALOG return
    HWND initWindow = nullptr;  // the last dialog whose WM_INITDIALOG has returned,
    UINT initStyle = 0;         // and the box style it was started with
    bool initStyleKnown = false;
    HWND pending = nullptr;   // a box activated before its WM_INITDIALOG returned
    std::deque<int> answers;  // pressed in order, one per box
    std::vector<SeenBox> boxes;
    std::vector<HWND> open;  // boxes already answered and not yet destroyed
};

// Installs the hook on the calling thread; only one answerer at a time.
void BoxAnswererStart(BoxAnswerer &answerer);
void BoxAnswererStop(BoxAnswerer &answerer);
// Queues the button (IDOK, IDYES, IDNO, ...) that the next box gets.
inline void BoxAnswererPush(BoxAnswerer &answerer, int answerId) { answerer.answers.push_back(answerId); }

// Starts on construction and stops on destruction, for a test's scope.
struct ScopedBoxAnswerer : BoxAnswerer {
    ScopedBoxAnswerer() { BoxAnswererStart(*this); }
    ~ScopedBoxAnswerer() { BoxAnswererStop(*this); }
    void Push(int answerId) { BoxAnswererPush(*this, answerId); }
    ScopedBoxAnswerer(const ScopedBoxAnswerer &) = delete;
    ScopedBoxAnswerer &operator=(const ScopedBoxAnswerer &) = delete;
};
