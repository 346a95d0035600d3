// The Program Manager commands: their texts as a table, the conversations they make
// with a stand-in server in another process, and the group and shortcuts that Wine's
// own Program Manager server makes of them.
#include <gtest/gtest.h>
#include <windows.h>
#include <ddeml.h>
#include <shlobj.h>
#include <objidl.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/session.h"
#include "engine_fixture.h"
#include "shell/progman.h"

namespace {

// The commands for c:\ovra under the newer shell; the older one differs in two rows.
const char *const kOvraCommands[kShellCommandCount] = {
    "[CreateGroup(\"Ovra\")]",
    "[ShowGroup(\"Ovra\",1)]",
    "[ReplaceItem(\"Ovra32\")]",
    "[AddItem(\"c:\\ovra\\Ovra32.exe\",\"Ovra32\",,0,,,\"c:\\ovra\")]",
    "[ReplaceItem(\"Ovra Help\")]",
    "[AddItem(\"c:\\ovra\\Ovra.hlp\",\"Ovra Help\",,0,,,\"c:\\ovra\")]",
    "[ReplaceItem(\"Net Intro\")]",
    "[AddItem(\"c:\\ovra\\Netintro.hlp\",\"Net Intro\",,0,,,\"c:\\ovra\")]",
    "[ReplaceItem(\"Guide.txt\")]",
    "[AddItem(\"c:\\ovra\\guide.txt\",\"Guide.txt\",,,,,\"c:\\ovra\")]",
    "[ReplaceItem(\"Changes.txt\")]",
    "[AddItem(\"c:\\ovra\\changes.txt\",\"Changes.txt\",,,,,\"c:\\ovra\")]",
};
const char kOldShellGuide[] = "[AddItem(\"c:\\ovra\\guide.txt\",\"Guide.txt\",\"write.exe\",0,,,\"c:\\ovra\")]";
const char kOldShellChanges[] =
    "[AddItem(\"c:\\ovra\\changes.txt\",\"Changes.txt\",\"write.exe\",0,,,\"c:\\ovra\")]";

std::vector<std::string> OvraCommands(bool newShell)
{
    std::vector<std::string> commands(kOvraCommands, kOvraCommands + kShellCommandCount);
    if (!newShell) {
        commands[9] = kOldShellGuide;
        commands[11] = kOldShellChanges;
    }
    return commands;
}

std::string Format(int step, const std::string &destination, bool newShell, int capacity = kShellCommandCapacity)
{
    std::vector<char> buffer(capacity > 0 ? capacity : 1, 'x');
    bool fitted = FormatShellCommand(step, destination.c_str(), newShell, buffer.data(), capacity);
    return fitted ? std::string(buffer.data()) : "<not fitted: " + std::string(buffer.data()) + ">";
}

TEST(ShellCommandText, EveryStepForBothShells)
{
    for (bool newShell : {true, false}) {
        std::vector<std::string> expected = OvraCommands(newShell);
        for (int step = 1; step <= kShellCommandCount; step++)
            EXPECT_EQ(expected[step - 1], Format(step, "c:\\ovra", newShell))
                << "step " << step << (newShell ? ", new shell" : ", old shell");
    }
    EXPECT_EQ(55u, strlen(kOvraCommands[3]));
}

TEST(ShellCommandText, DestinationInsertedUnchanged)
{
    struct Case {
        const char *destination;
        int step;
        const char *expected;
    } cases[] = {
        {"c:\\my apps\\ovra", 4, "[AddItem(\"c:\\my apps\\ovra\\Ovra32.exe\",\"Ovra32\",,0,,,\"c:\\my apps\\ovra\")]"},
        {"d:\\ovra\\", 6, "[AddItem(\"d:\\ovra\\\\Ovra.hlp\",\"Ovra Help\",,0,,,\"d:\\ovra\\\")]"},
        {"c:\\100%s\\x", 8, "[AddItem(\"c:\\100%s\\x\\Netintro.hlp\",\"Net Intro\",,0,,,\"c:\\100%s\\x\")]"},
        {"e:\\", 1, "[CreateGroup(\"Ovra\")]"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.expected, Format(c.step, c.destination, true)) << c.destination << ", step " << c.step;
}

TEST(ShellCommandText, LongestDestinationFitsAndNothingIsCut)
{
    std::string longest(kPathCapacity - 1, 'a');
    longest.replace(0, 3, "c:\\");
    for (bool newShell : {true, false})
        for (int step = 1; step <= kShellCommandCount; step++) {
            std::string text = Format(step, longest, newShell);
            EXPECT_EQ('[', text[0]) << "step " << step << ": " << text.substr(0, 40);
            // One byte short of the command and its zero: refused, nothing half-written.
            int needed = int(text.size()) + 1;
            EXPECT_EQ("<not fitted: >", Format(step, longest, newShell, needed - 1)) << "step " << step;
            EXPECT_EQ(text, Format(step, longest, newShell, needed)) << "step " << step;
        }
    EXPECT_EQ("<not fitted: >", Format(0, "c:\\ovra", true));
    EXPECT_EQ("<not fitted: >", Format(kShellCommandCount + 1, "c:\\ovra", true));
}

std::string ModuleDirectory()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

std::string TempDirectory()
{
    char path[MAX_PATH];
    GetTempPathA(sizeof path, path);
    return path;
}

struct ServerLog {
    std::vector<std::string> executes;  // each command's bytes as received
    std::string events;                 // 'C', 'E', 'D' in arrival order
};

// The stand-in server (progman_server.exe) as a child process. The prefix's explorer
// answers PROGMAN as well; a conversation goes to the first server that answers, and
// Wine asks the newest windows first, so the stand-in started here gets every one.
// Were that to change, its log would lack commands and the tests below would fail.
struct StandInServer {
    PROCESS_INFORMATION process{};
    std::string logPath;

    bool Start(const std::string &answers)
    {
        logPath = TempDirectory() + "progman_server_" + std::to_string(GetCurrentProcessId()) + ".log";
        std::string eventName = "setup32-progman-ready-" + std::to_string(GetCurrentProcessId());
        HANDLE ready = CreateEventA(NULL, TRUE, FALSE, eventName.c_str());
        std::string command = "\"" + ModuleDirectory() + "progman_server.exe\" \"" + logPath + "\" " + eventName +
                              (answers.empty() ? "" : " " + answers);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        bool started =
            CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process) != 0;
        bool isReady = started && WaitForSingleObject(ready, 20000) == WAIT_OBJECT_0;
        CloseHandle(ready);
        return isReady;
    }

    // Ends the server and reads what it recorded.
    ServerLog Stop()
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
        std::string raw = ReadAll(logPath);
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

    ~StandInServer()
    {
        if (process.hProcess)
            Stop();
    }
};

// A DDE client instance of the test's own, as the Host window would make it.
struct ShellCommandTest : ::testing::Test {
    void SetUp() override
    {
        ASSERT_EQ(UINT(DMLERR_NO_ERROR), DdeInitializeA(&ddeInstance, DdeCallback, 0, 0));
        memset(&session, 0, sizeof session);
        strcpy(session.destinationDir, "c:\\ovra");
        session.newShell = true;
    }
    void TearDown() override
    {
        DdeUninitialize(ddeInstance);
        ddeInstance = 0;
    }
};

TEST_F(ShellCommandTest, ExactBytesOneConversationEach)
{
    for (bool newShell : {true, false}) {
        SCOPED_TRACE(newShell ? "new shell" : "old shell");
        session.newShell = newShell;
        StandInServer server;
        ASSERT_TRUE(server.Start(""));
        EXPECT_EQ(1, CreateProgramGroup());
        ServerLog log = server.Stop();

        std::vector<std::string> expected = OvraCommands(newShell);
        ASSERT_EQ(size_t(kShellCommandCount), log.executes.size());
        for (int i = 0; i < kShellCommandCount; i++)
            EXPECT_EQ(expected[i] + '\0', log.executes[i]) << "step " << i + 1;
        EXPECT_EQ(56u, log.executes[3].size()) << "step 4: 55 characters and the zero";
        // Connect, one execute, disconnect: every command in a conversation of its own.
        std::string opened;
        for (char event : log.events)
            if (event != 'D')
                opened += event;
        std::string connectExecute;
        for (int i = 0; i < kShellCommandCount; i++)
            connectExecute += "CE";
        EXPECT_EQ(connectExecute, opened);
        EXPECT_EQ(size_t(kShellCommandCount), std::count(log.events.begin(), log.events.end(), 'D'));
    }
}

TEST_F(ShellCommandTest, WhichFailuresStopTheSequence)
{
    struct Case {
        const char *name;
        const char *answers;  // per command received: '.' accept, 'R' reject, 'S' answer after 1500 ms
        int result;
        size_t commands;
    } cases[] = {
        {"all accepted", "", 1, 12},
        {"every replace rejected", "..R.R.R.R.R.", 1, 12},
        {"show rejected", ".R", 1, 12},
        {"group rejected", "R", 0, 1},
        {"group answered too late", "S", 0, 1},
        {"first item rejected", "...R", 0, 4},
        {"second item rejected", ".....R", 0, 6},
        {"last item rejected", "...........R", 0, 12},
    };
    std::vector<std::string> expected = OvraCommands(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        StandInServer server;
        ASSERT_TRUE(server.Start(c.answers));
        EXPECT_EQ(c.result, CreateProgramGroup());
        ServerLog log = server.Stop();
        ASSERT_EQ(c.commands, log.executes.size());
        for (size_t i = 0; i < c.commands; i++)
            EXPECT_EQ(expected[i] + '\0', log.executes[i]) << "command " << i + 1;
    }
}

TEST_F(ShellCommandTest, NoInstanceNoConversation)
{
    // What a failed DDE initialisation leaves: every command fails, the group first.
    DWORD initialised = ddeInstance;
    ddeInstance = 0;
    EXPECT_EQ(0, SendShellCommand("[CreateGroup(\"Ovra\")]"));
    EXPECT_EQ(0, CreateProgramGroup());
    ddeInstance = initialised;
}

struct GroupWindowSearch {
    DWORD desktopProcess;
    std::vector<DWORD> found;  // processes of windows captioned with the group's name
};

BOOL CALLBACK CollectGroupWindow(HWND window, LPARAM parameter)
{
    GroupWindowSearch &search = *reinterpret_cast<GroupWindowSearch *>(parameter);
    char title[MAX_PATH] = "", windowClass[MAX_PATH] = "";
    GetWindowTextA(window, title, sizeof title);
    GetClassNameA(window, windowClass, sizeof windowClass);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid != search.desktopProcess && pid != GetCurrentProcessId() && strcmp(title, "Ovra") == 0 &&
        strcmp(windowClass, "ExplorerWClass") == 0)
        search.found.push_back(pid);
    return TRUE;
}

// Wine's own Program Manager server, the prefix's explorer.exe.
struct WineProgramManagerTest : ShellCommandTest {
    std::string destination;
    std::string group;

    void SetUp() override
    {
        ShellCommandTest::SetUp();
        ASSERT_EQ(S_OK, CoInitialize(NULL));
        char programs[MAX_PATH];
        ASSERT_EQ(S_OK, SHGetFolderPathA(NULL, CSIDL_PROGRAMS, NULL, 0, programs));
        group = std::string(programs) + "\\Ovra";
        RemoveTree(group);
        destination = TempDirectory() + "progman_dest_" + std::to_string(GetCurrentProcessId());
        RemoveTree(destination);
        ASSERT_TRUE(CreateDirectoryA(destination.c_str(), NULL));
        for (const char *name : {"ovra32.exe", "ovra.hlp", "netintro.hlp", "guide.txt", "changes.txt"})
            WriteAll(destination + "\\" + name, std::string("stand-in for ") + name);
        ASSERT_LT(destination.size(), sizeof session.destinationDir);
        strcpy(session.destinationDir, destination.c_str());
    }

    void TearDown() override
    {
        CloseGroupWindows(0);
        RemoveTree(group);
        RemoveTree(destination);
        CoUninitialize();
        ShellCommandTest::TearDown();
    }

    // Wine's CreateGroup and ShowGroup each open a folder window on the group, in a
    // process of its own, a moment later: wait for the expected number, then end
    // those windows' processes, never the desktop's.
    void CloseGroupWindows(size_t expected)
    {
        DWORD desktopProcess = 0;
        GetWindowThreadProcessId(GetDesktopWindow(), &desktopProcess);
        GroupWindowSearch search{desktopProcess, {}};
        for (int tries = 0; tries < 50; tries++) {
            search.found.clear();
            EnumWindows(CollectGroupWindow, LPARAM(&search));
            if (search.found.size() >= expected)
                break;
            Sleep(100);
        }
        for (DWORD pid : search.found) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
            if (process) {
                TerminateProcess(process, 0);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
    }

    struct Shortcut {
        std::string name, target, workingDirectory;
        FILETIME written;
    };

    std::vector<Shortcut> Shortcuts()
    {
        std::vector<Shortcut> found;
        WIN32_FIND_DATAA entry;
        HANDLE search = FindFirstFileA((group + "\\*.lnk").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE)
            return found;
        do {
            Shortcut shortcut{entry.cFileName, "", "", entry.ftLastWriteTime};
            IShellLinkA *link = nullptr;
            IPersistFile *file = nullptr;
            if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                           reinterpret_cast<void **>(&link))) &&
                SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file)))) {
                std::string path = group + "\\" + entry.cFileName;
                wchar_t widePath[MAX_PATH];
                MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, widePath, MAX_PATH);
                char text[MAX_PATH] = "";
                if (SUCCEEDED(file->Load(widePath, STGM_READ))) {
                    if (SUCCEEDED(link->GetPath(text, sizeof text, NULL, SLGP_RAWPATH)))
                        shortcut.target = text;
                    text[0] = '\0';
                    if (SUCCEEDED(link->GetWorkingDirectory(text, sizeof text)))
                        shortcut.workingDirectory = text;
                }
            }
            if (file)
                file->Release();
            if (link)
                link->Release();
            found.push_back(shortcut);
        } while (FindNextFileA(search, &entry));
        FindClose(search);
        return found;
    }

    void ExpectFiveShortcuts(const char *run)
    {
        SCOPED_TRACE(run);
        struct Expected {
            const char *name;
            const char *file;
        } expected[] = {
            {"Ovra32.lnk", "ovra32.exe"},         {"Ovra Help.lnk", "ovra.hlp"},
            {"Net Intro.lnk", "netintro.hlp"},    {"Guide.txt.lnk", "guide.txt"},
            {"Changes.txt.lnk", "changes.txt"},
        };
        std::vector<Shortcut> shortcuts = Shortcuts();
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
};

TEST_F(WineProgramManagerTest, GroupWithFiveShortcutsReplacedByASecondRun)
{
    session.newShell = false;
    EXPECT_EQ(1, CreateProgramGroup());
    CloseGroupWindows(2);
    ExpectFiveShortcuts("first run, old shell");

    // Mark the shortcuts as old, so that the second run shows it wrote them anew.
    FILETIME old{};
    SYSTEMTIME year2000{2000, 1, 0, 1, 0, 0, 0, 0};
    SystemTimeToFileTime(&year2000, &old);
    for (const Shortcut &s : Shortcuts()) {
        HANDLE file = CreateFileA((group + "\\" + s.name).c_str(), FILE_WRITE_ATTRIBUTES, 0, NULL, OPEN_EXISTING, 0,
                                  NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, file) << s.name;
        SetFileTime(file, NULL, NULL, &old);
        CloseHandle(file);
    }

    session.newShell = true;
    EXPECT_EQ(1, CreateProgramGroup());
    CloseGroupWindows(2);
    ExpectFiveShortcuts("second run, new shell");
    for (const Shortcut &s : Shortcuts())
        EXPECT_GT(CompareFileTime(&s.written, &old), 0) << s.name << " was not written again";
}

TEST_F(WineProgramManagerTest, MissingProgramFileStopsAtItsItem)
{
    DeleteFileA((destination + "\\ovra32.exe").c_str());
    EXPECT_EQ(0, CreateProgramGroup());
    CloseGroupWindows(2);
    EXPECT_TRUE(Shortcuts().empty());
}

}  // namespace
