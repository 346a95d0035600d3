// Drives another process's dialogs the way a user would, from outside: starts the
// program, finds its windows by caption, reads controls, clicks (posted, so that a
// handler may open a modal box), answers message boxes and takes screenshots.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

struct DrivenProgram {
    PROCESS_INFORMATION process = {};
    bool started = false;
};

// Starts commandLine in directory (or the current one when empty) with this process's
// environment; a start that Wine refuses is tried again.
bool StartProgram(DrivenProgram &program, const std::string &commandLine, const std::string &directory = "");
// Sets a variable of this process for the programs it starts; the old value comes
// back when the scope ends.
struct ScopedEnvironment {
    std::string name, old;
    bool had;
    ScopedEnvironment(const char *variable, const std::string &value);
    ~ScopedEnvironment();
};
// Exit code, or -2 when it has not ended within timeoutMs (it is then terminated).
long WaitForExit(DrivenProgram &program, DWORD timeoutMs);
void StopProgram(DrivenProgram &program);  // terminates it if still running
bool HasEnded(DrivenProgram &program);

// The program's top-level windows of this class, the hidden ones too unless visibleOnly.
std::vector<HWND> ProcessWindows(const DrivenProgram &program, const char *className, bool visibleOnly);
// The visible dialogs and boxes (class #32770) of the program, but for the one given.
std::vector<HWND> VisibleDialogs(const DrivenProgram &program, HWND except = NULL);
// A visible top-level dialog (class #32770) of the program with exactly this caption,
// or NULL after timeoutMs.
HWND FindDialog(const DrivenProgram &program, const char *caption, DWORD timeoutMs);
// True when the program has no visible dialog with this caption for quietMs.
bool StaysAbsent(const DrivenProgram &program, const char *caption, DWORD quietMs);
// Any visible dialog or message box of the program whose caption is not exceptCaption, or NULL.
HWND FindOtherDialog(const DrivenProgram &program, const char *exceptCaption);

std::string WindowText(HWND window);
std::string ControlText(HWND dialog, int id);
bool ControlVisible(HWND dialog, int id);
bool ControlEnabled(HWND dialog, int id);
bool ControlChecked(HWND dialog, int id);
LONG ControlStyle(HWND dialog, int id);
// The control that has the keyboard focus in the dialog's thread.
HWND FocusedWindow(HWND dialog);
// Posts BM_CLICK to the control.
void Click(HWND dialog, int id);
// Polls until the control's text equals text; false after timeoutMs.
bool WaitForControlText(HWND dialog, int id, const std::string &text, DWORD timeoutMs);
bool WaitForControlTextPrefix(HWND dialog, int id, const std::string &prefix, DWORD timeoutMs);

// A message box as the user sees it, read from outside (here) or inside its process
// (msgbox_answerer.h). Wine's box shows its text in static 0xFFFF.
struct SeenBox {
    HWND window = NULL;
    HWND owner = NULL;
    std::string caption;
    std::string text;
    bool hasYes = false, hasNo = false, hasOk = false;
    UINT buttons = 0;  // MB_OK, MB_OKCANCEL, MB_YESNO, MB_YESNOCANCEL, ... as the buttons present say
    UINT icon = 0;     // MB_ICONSTOP, ...: read only inside the box's process (see BoxIcon outside it)
    // The style the box was asked for (MB_OK | MB_ICONHAND | ...), from the parameters
    // its dialog starts with: only inside the box's process; styleKnown false elsewhere.
    UINT style = 0;
    bool styleKnown = false;
    int answer = 0;         // the button the answerer pressed (IDOK, IDYES, IDNO, ...)
    bool scripted = false;  // false when the answerer had no answer queued and pressed a default
};
// The box's caption, text, owner and buttons.
SeenBox ReadMessageBox(HWND window);
// Waits for a box with this caption; false after timeoutMs.
bool WaitForMessageBox(const DrivenProgram &program, const char *caption, DWORD timeoutMs, SeenBox &box);
// Presses the box's button (IDOK, IDYES, IDNO); true once the box has gone.
bool AnswerMessageBox(const SeenBox &box, int button);
// True once the window is destroyed or hidden.
bool WaitUntilGone(HWND window, DWORD timeoutMs);
// True once the window and every visible window inside it have nothing left to paint
// and its thread has answered a sent message since, so the paint that emptied the
// update region has finished drawing; false after timeoutMs.
bool WaitUntilPainted(HWND window, DWORD timeoutMs);
// True once the keyboard focus of the dialog's thread is on its control id; false
// after timeoutMs.
bool WaitForFocus(HWND dialog, int id, DWORD timeoutMs);

// The whole X screen as a PNG, through ImageMagick's import on the Unix side.
bool TakeScreenshot(const std::string &pngPath);

// The whole screen's pixels, to check what was painted where.
struct ScreenImage {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;  // width * height * 3
};
bool CaptureScreen(ScreenImage &image);
// Pixels of exactly this colour inside a rectangle in screen coordinates.
int CountColour(const ScreenImage &image, const RECT &area, COLORREF colour);
// An icon drawn at (0,0) in the system's icon size over a width x height rectangle of a
// plain colour, as 0xRRGGBB pixels, top row first: what a window drawing it shows.
std::vector<uint32_t> IconOverBackground(HICON icon, int width, int height, COLORREF background);
