// The Program Manager group over DDE: the client instance, one conversation per
// command, and the command sequence that makes the "Ovra" group and its items.
#include "shell/progman.h"

#include "engine/session.h"
#include "runtime/text.h"

DWORD ddeInstance = 0;

namespace {

struct ShellCommandRow {
    const char *format;          // %s twice: the item's folder, then its working directory
    const char *oldShellFormat;  // the form under the older shell, when it differs
    bool failureStops;           // group and items must succeed; replacing a missing item may fail
};

// Replacing before adding keeps a reinstallation from doubling the items.
const ShellCommandRow kShellCommands[kShellCommandCount] = {
    {"[CreateGroup(\"Ovra\")]", nullptr, true},
    {"[ShowGroup(\"Ovra\",1)]", nullptr, false},
    {"[ReplaceItem(\"Ovra32\")]", nullptr, false},
    {"[AddItem(\"%s\\Ovra32.exe\",\"Ovra32\",,0,,,\"%s\")]", nullptr, true},
    {"[ReplaceItem(\"Ovra Help\")]", nullptr, false},
    {"[AddItem(\"%s\\Ovra.hlp\",\"Ovra Help\",,0,,,\"%s\")]", nullptr, true},
    {"[ReplaceItem(\"Net Intro\")]", nullptr, false},
    {"[AddItem(\"%s\\Netintro.hlp\",\"Net Intro\",,0,,,\"%s\")]", nullptr, true},
    {"[ReplaceItem(\"Guide.txt\")]", nullptr, false},
    // The older shell has no icon of its own for text files: it borrows Write's.
    {"[AddItem(\"%s\\guide.txt\",\"Guide.txt\",,,,,\"%s\")]",
     "[AddItem(\"%s\\guide.txt\",\"Guide.txt\",\"write.exe\",0,,,\"%s\")]", true},
    {"[ReplaceItem(\"Changes.txt\")]", nullptr, false},
    {"[AddItem(\"%s\\changes.txt\",\"Changes.txt\",,,,,\"%s\")]",
     "[AddItem(\"%s\\changes.txt\",\"Changes.txt\",\"write.exe\",0,,,\"%s\")]", true},
};

}  // namespace

HDDEDATA CALLBACK DdeCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) { return 0; }

bool FormatShellCommand(int step, const char *destination, bool newShell, char *buffer, int capacity)
{
    if (capacity <= 0)
        return false;
    buffer[0] = '\0';
    if (step < 1 || step > kShellCommandCount)
        return false;
    const ShellCommandRow &row = kShellCommands[step - 1];
    const char *format = !newShell && row.oldShellFormat ? row.oldShellFormat : row.format;
    // Commands without placeholders ignore the two arguments.
    int written = FormatText(buffer, size_t(capacity), format, destination, destination);
    if (written < 0 || written >= capacity) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

int SendShellCommand(const char *text)
{
    HSZ progman = DdeCreateStringHandleA(ddeInstance, "PROGMAN", CP_WINANSI);
    HCONV conversation = DdeConnect(ddeInstance, progman, progman, NULL);
    int result = 0;
    if (conversation) {
        DWORD transactionResult = 0;
        // The terminating zero travels with the command.
        HDDEDATA done = DdeClientTransaction((LPBYTE)text, DWORD(TextLength(text) + 1), conversation, 0, CF_TEXT,
                                             XTYP_EXECUTE, 1000, &transactionResult);
        result = done ? 1 : 0;
        DdeDisconnect(conversation);
    }
    DdeFreeStringHandle(ddeInstance, progman);
    return result;
}

int CreateProgramGroup()
{
    char command[kShellCommandCapacity];
    for (int step = 1; step <= kShellCommandCount; step++) {
        // A destination the session holds always fits; anything else is never sent cut.
        if (!FormatShellCommand(step, session.destinationDir, session.newShell, command, sizeof command))
            return 0;
        if (!SendShellCommand(command) && kShellCommands[step - 1].failureStops)
            return 0;
    }
    return 1;
}
