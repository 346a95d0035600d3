// The Program Manager peers of the tests: the stand-in server process and its log,
// the expected command texts, and Wine's group folder with its shortcuts.
#include "progman_peers.h"

#include <gtest/gtest.h>

#include <cstring>

#include "prefix.h"
#include "tests/test_files.h"

namespace {

// The commands for c:\ovra under the newer shell, written out; the older shell
// differs in two rows.
const char *const kOvraCommands[] = {
    "[CreateGroup(\"Ovra\")]",        "[ShowGroup(\"Ovra\",1)]",
    "[ReplaceItem(\"Ovra32\")]",      "[AddItem(\"c:\\ovra\\Ovra32.exe\",\"Ovra32\",,0,,,\"c:\\ovra\")]",
    "[ReplaceItem(\"Ovra Help\")]",   "[AddItem(\"c:\\ovra\\Ovra.hlp\",\"Ovra Help\",,0,,,\"c:\\ovra\")]",
    "[ReplaceItem(\"Net Intro\")]",   "[AddItem(\"c:\\ovra\\Netintro.hlp\",\"Net Intro\",,0,,,\"c:\\ovra\")]",
    "[ReplaceItem(\"Guide.txt\")]",   "[AddItem(\"c:\\ovra\\guide.txt\",\"Guide.txt\",,,,,\"c:\\ovra\")]",
    "[ReplaceItem(\"Changes.txt\")]", "[AddItem(\"c:\\ovra\\changes.txt\",\"Changes.txt\",,,,,\"c:\\ovra\")]",
};
const char kOldShellGuide[] = "[AddItem(\"c:\\ovra\\guide.txt\",\"Guide.txt\",\"write.exe\",0,,,\"c:\\ovra\")]";
const char kOldShellChanges[] = "[AddItem(\"c:\\ovra\\changes.txt\",\"Changes.txt\",\"write.exe\",0,,,\"c:\\ovra\")]";

}  // namespace

bool StandInServer::Start(const std::string &answers)
{
    logPath = TempDirectory() + "progman_server_" + std::to_string(GetCurrentProcessId()) + ".log";
    std::string eventName = "setup32-progman-ready-" + std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, eventName.c_str());
    std::string command = "\"" + ModuleDirectory() + "progman_server.exe\" \"" + logPath + "\" " + eventName +
                          (answers.empty() ? "" : " " + answers);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    bool started = CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process) != 0;
    if (!started) {
        ADD_FAILURE() << "the stand-in server did not start: CreateProcessA error " << GetLastError();
        CloseHandle(ready);
        return false;
    }
    DWORD waited = WaitForSingleObject(ready, 20000);
    CloseHandle(ready);
    if (waited != WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        ADD_FAILURE() << "the stand-in server was not ready: wait result " << waited << ", its exit code " << code
                      << " (259: still running)";
        return false;
    }
    return true;
}

ServerLog StandInServer::Stop()
{
    if (process.hProcess) {
        PostThreadMessageA(process.dwThreadId, WM_QUIT, 0, 0);
        if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the stand-in server did not stop";
            TerminateProcess(process.hProcess, 1);
        }
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        process = {};
    }
    ServerLog log;
    std::vector<uint8_t> bytes = ReadWholeFile(logPath);
    std::string raw(bytes.begin(), bytes.end());
    DeleteFileA(logPath.c_str());
    size_t at = 0;
    while (at < raw.size()) {
        size_t end = raw.find('\n', at);
        if (end == std::string::npos)
            break;
        std::string line = raw.substr(at, end - at);
        at = end + 1;
        log.events += line[0];
        if (line[0] == 'E') {
            size_t size = std::stoul(line.substr(2));
            log.executes.push_back(raw.substr(at, size));
            at += size + 1;
        }
    }
    return log;
}

StandInServer::~StandInServer()
{
    if (process.hProcess)
        Stop();
}

std::vector<std::string> ExpectedShellCommands(const std::string &destination, bool newShell)
{
    std::vector<std::string> commands(std::begin(kOvraCommands), std::end(kOvraCommands));
    if (!newShell) {
        commands[9] = kOldShellGuide;
        commands[11] = kOldShellChanges;
    }
    const std::string placeholder = "c:\\ovra";
    for (std::string &command : commands)
        for (size_t at = command.find(placeholder); at != std::string::npos;
             at = command.find(placeholder, at + destination.size()))
            command.replace(at, placeholder.size(), destination);
    return commands;
}

std::string WineGroupFolder()
{
    std::string folder = GroupFolder();
    EXPECT_NE("", folder) << "the Programs folder is unknown";
    return folder;
}

void ExpectFiveShortcuts(const std::string &group, const std::string &destination, const char *run)
{
    SCOPED_TRACE(run);
    struct Expected {
        const char *name;
        const char *file;
    } expected[] = {
        {"Ovra32.lnk", "ovra32.exe"},   {"Ovra Help.lnk", "ovra.hlp"},      {"Net Intro.lnk", "netintro.hlp"},
        {"Guide.txt.lnk", "guide.txt"}, {"Changes.txt.lnk", "changes.txt"},
    };
    std::vector<Shortcut> shortcuts = ReadShortcuts(group);
    EXPECT_EQ(5u, shortcuts.size());
    for (const Expected &e : expected) {
        const Shortcut *match = nullptr;
        for (const Shortcut &s : shortcuts)
            if (_stricmp(s.name.c_str(), e.name) == 0)
                match = &s;
        if (!match) {
            ADD_FAILURE() << "no shortcut " << e.name;
            continue;
        }
        std::string target = destination + "\\" + e.file;
        EXPECT_EQ(0, _stricmp(target.c_str(), match->target.c_str())) << e.name << " -> " << match->target;
        EXPECT_EQ(0, _stricmp(destination.c_str(), match->workingDirectory.c_str()))
            << e.name << " in " << match->workingDirectory;
    }
}
