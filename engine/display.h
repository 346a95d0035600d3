// What the engine asks of the display: the few calls through which the engine
// reports a failure where it happens, asks the settings question and drives the
// status line and the Progress bar. ui/ implements them; the engine includes no ui/
// header, names no control and hands over only texts and numbers.
#pragma once
#include <windows.h>

// Each failure site shows its own number in the caption, "Ovra Installation Error [N]";
// the value of each name is that number.
enum InstallError {
    INSTALL_ERROR_CREATE_DESTINATION = 1,  // the destination directory cannot be created
    INSTALL_ERROR_OPEN_ITEM = 3,           // the extracted item cannot be opened for expansion
    INSTALL_ERROR_CREATE_TARGET = 4,       // the target file cannot be created
    INSTALL_ERROR_EXPAND_ITEM = 5,         // the expansion into the target failed
    INSTALL_ERROR_BACKUP_DIRECTORY = 6,    // the backup directory cannot be created
    INSTALL_ERROR_BACKUP_FILE = 7,         // a replaced file cannot be moved into backup
    INSTALL_ERROR_BACKUP_SETTINGS = 8,     // the set-aside settings file cannot be finished
    INSTALL_ERROR_READ_INSTALLER = 9,      // the installer's own file cannot be opened or read
    INSTALL_ERROR_CREATE_TEMP = 11,        // the temporary file cannot be created
    INSTALL_ERROR_BAD_CHECKSUM = 13,       // the payload checksum does not match
    INSTALL_ERROR_NOTHING_PLACED = 14,     // the Install dialog's run placed no file at all
};

// Stop icon and OK, owned by the Install dialog (session.dialogWindow).
void ShowInstallError(InstallError error);
// The settings question: Yes keeps the user's settings; the caller tests only for IDYES.
int AskKeepSettings();
// The status line shows text, composed by the caller.
void ShowStatus(const char *text);
// The status line before the bar has moved: the engine shows it when the installer
// file is opened and for an item found that early, the Install dialog at each change
// of layout.
#define STATUS_SCANNING "Scanning files..."

// Moves the Progress bar to position of size bytes and draws it on the dialog. The
// filled width (session.progressPixels) is the bar's own: only here is it computed,
// and a size of 0 or less leaves it as it was.
void ShowProgress(long position, long size);
