// The Program Manager commands: their texts as a table, the conversations they make
// with a stand-in server in another process, and the group and shortcuts that Wine's
// own Program Manager server makes of them.
#include <gtest/gtest.h>
#include <windows.h>
#include <ddeml.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/session.h"
#include "engine_fixture.h"
#include "progman_peers.h"
#include "shell/progman.h"

namespace {

// The group, showing it, and for each of the five items a replace and an add.
constexpr int kCommands = 12;

std::vector<std::string> OvraCommands(bool newShell) { return ExpectedShellCommands("c:\\ovra", newShell); }

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
        for (int step = 1; step <= kCommands; step++)
            EXPECT_EQ(expected[step - 1], Format(step, "c:\\ovra", newShell))
                << "step " << step << (newShell ? ", new shell" : ", old shell");
    }
    EXPECT_EQ(55u, OvraCommands(true)[3].size());
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
    std::string longest(299, 'a');  // the longest destination a 300-character buffer holds
    longest.replace(0, 3, "c:\\");
    for (bool newShell : {true, false})
        for (int step = 1; step <= kCommands; step++) {
            std::string text = Format(step, longest, newShell);
            EXPECT_EQ('[', text[0]) << "step " << step << ": " << text.substr(0, 40);
            // One byte short of the command and its zero: refused, nothing half-written.
            int needed = int(text.size()) + 1;
            EXPECT_EQ("<not fitted: >", Format(step, longest, newShell, needed - 1)) << "step " << step;
            EXPECT_EQ(text, Format(step, longest, newShell, needed)) << "step " << step;
        }
    EXPECT_EQ("<not fitted: >", Format(0, "c:\\ovra", true));
    EXPECT_EQ("<not fitted: >", Format(kCommands + 1, "c:\\ovra", true));
}

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
        ASSERT_EQ(size_t(kCommands), log.executes.size());
        for (int i = 0; i < kCommands; i++)
            EXPECT_EQ(expected[i] + '\0', log.executes[i]) << "step " << i + 1;
        EXPECT_EQ(56u, log.executes[3].size()) << "step 4: 55 characters and the zero";
        // Connect, one execute, disconnect: every command in a conversation of its own.
        std::string opened;
        for (char event : log.events)
            if (event != 'D')
                opened += event;
        std::string connectExecute;
        for (int i = 0; i < kCommands; i++)
            connectExecute += "CE";
        EXPECT_EQ(connectExecute, opened);
        EXPECT_EQ(size_t(kCommands), std::count(log.events.begin(), log.events.end(), 'D'));
    }
}

TEST_F(ShellCommandTest, WhichFailuresStopTheSequence)
{
    struct Case {
        std::string name;
        std::string answers;  // per command received: '.' accept, 'R' reject, 'S' answer after 1500 ms
        int result;
        size_t commands;
    };
    std::vector<Case> cases = {
        {"all accepted", "", 1, 12},
        {"every replace rejected", "..R.R.R.R.R.", 1, 12},
        {"show rejected", ".R", 1, 12},
        {"group rejected", "R", 0, 1},
        {"group answered too late", "S", 0, 1},
        {"first item rejected", "...R", 0, 4},
        {"second item rejected", ".....R", 0, 6},
        {"last item rejected", "...........R", 0, 12},
    };
    // Each step rejected alone: the group and the five items end the sequence right
    // there; showing the group and replacing an item that is not there yet do not.
    for (int step = 1; step <= kCommands; step++) {
        bool stops = step == 1 || (step >= 4 && step % 2 == 0);
        cases.push_back({"only step " + std::to_string(step) + " rejected", std::string(step - 1, '.') + 'R',
                         stops ? 0 : 1, stops ? size_t(step) : size_t(kCommands)});
    }
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

// Wine's own Program Manager server, the prefix's explorer.exe.
struct WineProgramManagerTest : ShellCommandTest {
    std::string destination;
    std::string group;

    void SetUp() override
    {
        ShellCommandTest::SetUp();
        ASSERT_EQ(S_OK, CoInitialize(NULL));
        group = WineGroupFolder();
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

    std::vector<Shortcut> Shortcuts() { return ReadShortcuts(group); }
    void ExpectFiveShortcuts(const char *run) { ::ExpectFiveShortcuts(group, destination, run); }
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
        HANDLE file =
            CreateFileA((group + "\\" + s.name).c_str(), FILE_WRITE_ATTRIBUTES, 0, NULL, OPEN_EXISTING, 0, NULL);
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
