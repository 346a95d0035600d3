// The two Program Manager peers the tests talk to: a stand-in DDE server in a child
// process that logs every conversation, and Wine's own server (the prefix's
// explorer.exe), whose group folder and shortcuts are read back from disk.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "group_folder.h"

struct ServerLog {
    std::vector<std::string> executes;  // each command's bytes as received
    std::string events;                 // 'C', 'E', 'D' in arrival order
};

// The stand-in server (progman_server.exe, beside the test program). The prefix's
// explorer answers PROGMAN as well; a conversation goes to the first server that
// answers, and Wine asks the newest windows first, so the stand-in started here gets
// every one. Were that to change, its log would lack commands and the tests would fail.
struct StandInServer {
    PROCESS_INFORMATION process{};
    std::string logPath;

    // answers: one letter per execute in arrival order, '.' accept, 'R' reject,
    // 'S' answer after 1500 ms; later executes are accepted.
    bool Start(const std::string &answers);
    // Ends the server and reads what it recorded.
    ServerLog Stop();
    ~StandInServer();
};

// The commands for destination under the newer or the older shell, as the server
// should receive them (without their zero byte).
std::vector<std::string> ExpectedShellCommands(const std::string &destination, bool newShell);

// The folder Wine's server makes for the group (a failure when it is unknown).
std::string WineGroupFolder();

// The five items of a completed group: each shortcut names its installed file in
// destination and has destination as its working directory (reported as failures).
void ExpectFiveShortcuts(const std::string &group, const std::string &destination, const char *run);
