// The Program Manager group: the process's DDE client instance and the commands that
// create the "Ovra" group and its five items, one conversation per command.
#pragma once
#include <windows.h>
#include <ddeml.h>

// 0 until the Host window initialises DDE; stays 0 when that fails, and every
// command then fails.
extern DWORD ddeInstance;

constexpr int kShellCommandCount = 12;
// Holds the longest command with a 299-character destination inserted twice.
constexpr int kShellCommandCapacity = 700;

// The installer is a client only: it handles no transaction.
HDDEDATA CALLBACK DdeCallback(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item, HDDEDATA data,
                              ULONG_PTR data1, ULONG_PTR data2);

// Command step (1..12) with both placeholders filled by destination, unchanged.
// False, leaving buffer empty, when the step is unknown or the command would not fit.
bool FormatShellCommand(int step, const char *destination, bool newShell, char *buffer, int capacity);

// One command in a conversation of its own: 1 when the execute transaction succeeded.
int SendShellCommand(const char *text);
// The whole sequence for session.destinationDir: 1 when the group and all five items
// were made; 0 at the first failure that stops it.
int CreateProgramGroup();
