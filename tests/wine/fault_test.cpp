// Faults a real installation meets, injected from outside while the real installer
// runs: files held open by another program, an old settings file that cannot be
// copied, a soft failure half-way, destinations that cannot be used, an installer
// file cut short under the running program, a missing temporary directory, a
// destination outside ASCII, and (with the drives the wrapper script mounts) a full
// disk and a read-only one. Each case checks the box the user sees, where the dialog
// goes next, and what is left in the destination, its backup directory and the
// Windows directory's settings file.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "program_fixture.h"
#include "progman_peers.h"
#include "tests/packer_fixture.h"
#include "tests/test_files.h"

namespace {

const int kMainSettings = 6;  // ovra.ini in the file table

std::string WindowsSettingsFile() { return WindowsDirectory() + "\\ovra.ini"; }

// A handle opened the way a running program holds its file: no sharing at all.
HANDLE HoldWithoutSharing(const std::string &path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

// True while some other handle reads the file: an open without sharing is refused.
bool HeldByAnother(const std::string &path)
{
    HANDLE probe = CreateFileA(path.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (probe == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(probe);
    return false;
}

class FaultTest : public ProgramTest {
protected:
    std::vector<HANDLE> held;
    bool installerOpenDuringBox = false;  // as seen while the last error box was up

    void TearDown() override
    {
        StopProgram(program);
        Release();
        RemoveTree(WindowsSettingsFile());
        ProgramTest::TearDown();
    }

    void Hold(const std::string &path)
    {
        HANDLE h = HoldWithoutSharing(path);
        ASSERT_NE(INVALID_HANDLE_VALUE, h) << "cannot hold " << path;
        held.push_back(h);
    }

    void Release()
    {
        for (HANDLE h : held)
            CloseHandle(h);
        held.clear();
    }

    // Every file of the earlier installation is still somewhere the user finds it: in
    // place, or (replaced) in the backup directory, unchanged.
    void ExpectUsersFilesKept(const std::string &where, int except = -1)
    {
        for (int i = 0; i < kPayloadItemCount; i++) {
            if (i == except)
                continue;
            std::string name = PayloadItemName(i);
            bool inPlace = ReadWholeFile(where + "\\" + name) == OldContent(i);
            bool inBackup = ReadWholeFile(where + "\\backup\\" + name) == OldContent(i);
            EXPECT_TRUE(inPlace || inBackup) << "the user's " << name << " is lost";
        }
        EXPECT_EQ(BytesOf("the user's notes"), ReadWholeFile(where + "\\notes.txt"));
    }

    // The next box is the numbered error with this text: stop icon, OK only, owned by
    // the Install dialog. Answered with OK.
    void ExpectError(int number, const char *text)
    {
        SeenBox box = NextBox();
        ASSERT_EQ(ErrorCaption(number), box.caption) << box.text;
        EXPECT_EQ(text, box.text);
        EXPECT_TRUE(box.hasOk && !box.hasYes && !box.hasNo) << "buttons of " << box.caption;
        // A busy machine may not have painted the icon yet.
        std::string icon = BoxIcon(box.window);
        for (int tries = 0; tries < 10 && icon != "stop"; tries++)
            icon = BoxIcon(box.window);
        EXPECT_EQ("stop", icon);
        EXPECT_EQ(dialog, GetWindow(box.window, GW_OWNER)) << box.caption << " is not owned by the Install dialog";
        installerOpenDuringBox = HeldByAnother(exe);
        EXPECT_TRUE(AnswerMessageBox(box, IDOK));
    }

    // Back in the idle layout, options as the user left them, the installer file closed.
    void ExpectIdle(bool backups, bool icons)
    {
        ASSERT_TRUE(WaitForControlText(dialog, IDC_CANCEL, "Cancel", kRunWait)) << "no return to idle";
        EXPECT_FALSE(HasEnded(program)) << "the dialog ended instead of returning to idle";
        EXPECT_TRUE(ControlEnabled(dialog, IDC_INSTALL));
        EXPECT_TRUE(ControlVisible(dialog, IDC_MAKE_BACKUPS));
        EXPECT_FALSE(ControlVisible(dialog, IDC_STATUS_LINE));
        EXPECT_EQ(backups, ControlChecked(dialog, IDC_MAKE_BACKUPS));
        EXPECT_EQ(icons, ControlChecked(dialog, IDC_ADD_ICONS));
        EXPECT_FALSE(HeldByAnother(exe)) << "the installer file is still open";
    }

    // Answers the settings question, if it comes, with Yes; then the success message.
    void ExpectSuccessKeepingSettings()
    {
        SeenBox box = NextBox();
        if (box.caption == kWarningCaption) {
            EXPECT_EQ(kSettingsQuestion, box.text);
            ASSERT_TRUE(AnswerMessageBox(box, IDYES));
            box = NextBox();
        }
        ExpectSuccessAndExit(box);
    }

    // "&Install" (backups cleared first when asked), then the numbered error, after
    // which the dialog is idle again or the program ends quietly.
    void InstallExpectingError(bool backups, int number, const char *text, bool idle)
    {
        if (!backups)
            Click(dialog, IDC_MAKE_BACKUPS);
        Click(dialog, IDC_INSTALL);
        ExpectError(number, text);
        if (idle)
            ExpectIdle(backups, false);
        else
            ExpectQuietExit();
    }

    void StartInto(const std::string &where, const Bytes &installer = SmallInstaller())
    {
        Start(installer);
        SetDestination(where);
        ClearIcons();
    }
};

// ---- The old settings file in the Windows directory -----------------------------------

TEST_F(FaultTest, OldSettingsThatCannotBeCopiedStayAndTheRunReturnsToIdle)
{
    const std::string windowsIni = WindowsSettingsFile();
    const Bytes oldSettings = BytesOf("[old] settings of an installation long gone");
    struct Case {
        const char *name;
        bool directory;  // a directory of that name, else a file held open without sharing
        bool existing;   // over an earlier installation, else into a fresh destination
    } cases[] = {
        {"held open, over an earlier installation", false, true},
        {"held open, fresh destination", false, false},
        {"a directory of that name, over an earlier installation", true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(windowsIni);
        RemoveTree(dest);
        if (c.existing)
            MakeExistingInstallation(dest);
        if (c.directory) {
            ASSERT_TRUE(CreateDirectoryA(windowsIni.c_str(), NULL));
        } else {
            ASSERT_TRUE(WriteWholeFile(windowsIni, oldSettings));
            Hold(windowsIni);
        }
        StartInto(dest);
        Click(dialog, IDC_INSTALL);
        ExpectError(3, kReadProblem);
        ExpectIdle(true, false);

        if (c.directory)
            EXPECT_TRUE(GetFileAttributesA(windowsIni.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
        Release();
        if (!c.directory)
            EXPECT_EQ(oldSettings, ReadWholeFile(windowsIni)) << "the Windows directory's settings file changed";
        // Rolled back: nothing of this run's files; the user's set aside, not lost.
        for (int i = 0; i < kMainSettings; i++)
            EXPECT_NE(SmallPayload()[i], ReadWholeFile(dest + "\\" + PayloadItemName(i))) << PayloadItemName(i);
        if (c.existing) {
            EXPECT_EQ(OldContent(kMainSettings), ReadWholeFile(dest + "\\ovra.$$$")) << "the set-aside file moved";
            EXPECT_FALSE(Exists(dest + "\\ovra.ini"));
            ExpectUsersFilesKept(dest, kMainSettings);
        } else {
            EXPECT_FALSE(Exists(dest)) << "the destination this run made stays";
        }

        // Once the file can be read, the same dialog installs to the end and moves it.
        if (c.directory)
            RemoveTree(windowsIni);
        Click(dialog, IDC_INSTALL);
        ExpectSuccessKeepingSettings();
        for (int i = 0; i < kPayloadItemCount; i++)
            if (i < kMainSettings || !c.existing)
                EXPECT_TRUE(Exists(dest + "\\" + PayloadItemName(i))) << PayloadItemName(i);
        if (!c.directory) {
            EXPECT_EQ(oldSettings, ReadWholeFile(dest + "\\ovra.ini")) << "the old settings were not moved in";
            EXPECT_FALSE(Exists(windowsIni));
        }
        if (c.existing)
            EXPECT_EQ(OldContent(kMainSettings), ReadWholeFile(dest + "\\ovra.$$$"));
        if (HasFailure())
            break;
    }
}

// ---- Files held open by another program ---------------------------------------------

TEST_F(FaultTest, TargetHeldOpenByARunningProgram)
{
    const int heldItem = 1;  // the companion program, running while it is replaced
    struct Case {
        const char *name;
        bool backups;
        int error;
        const char *text;
        bool idle;  // a soft failure returns to idle, else the dialog ends
    } cases[] = {
        {"backups on: the move into backup fails", true, 7, kBackupProblem, true},
        {"backups off: the file cannot be replaced", false, 4, kCopyProblem, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        MakeExistingInstallation(dest);
        std::string target = dest + "\\" + PayloadItemName(heldItem);
        Hold(target);
        StartInto(dest);
        InstallExpectingError(c.backups, c.error, c.text, c.idle);
        Release();
        EXPECT_EQ(OldContent(heldItem), ReadWholeFile(target)) << "the held file changed";
        EXPECT_FALSE(Exists(dest + "\\" + PayloadItemName(0))) << "the first file of the failed run is left";
        if (c.backups) {
            ExpectUsersFilesKept(dest);
            EXPECT_FALSE(Exists(dest + "\\backup\\" + std::string(PayloadItemName(heldItem))));
            // The program has ended: the same dialog now replaces it, backing it up.
            Click(dialog, IDC_INSTALL);
            ExpectSuccessKeepingSettings();
            EXPECT_EQ(OldContent(heldItem), ReadWholeFile(dest + "\\backup\\" + PayloadItemName(heldItem)));
            EXPECT_EQ(SmallPayload()[heldItem], ReadWholeFile(target));
        } else {
            // Without backups the first file was overwritten before the failure: the
            // user chose to keep no copies. Everything after the held one is untouched.
            EXPECT_FALSE(Exists(dest + "\\backup"));
            for (int i = heldItem + 1; i < kPayloadItemCount; i++)
                EXPECT_EQ(OldContent(i), ReadWholeFile(dest + "\\" + PayloadItemName(i))) << PayloadItemName(i);
        }
        StopProgram(program);
        if (HasFailure())
            break;
    }
}

// ---- A soft failure half-way through the scan ----------------------------------------

TEST_F(FaultTest, SoftFailureHalfWayClosesTheFileKeepsTheOptionsAndASecondRunFinishes)
{
    const int blocked = 5;  // changes.txt: five files are in place when it fails
    ASSERT_TRUE(CreateDirectoryA(dest.c_str(), NULL));
    ASSERT_TRUE(WriteWholeFile(dest + "\\" + PayloadItemName(blocked), OldContent(blocked)));
    // A plain file where the backup directory must go: the move into backup fails.
    ASSERT_TRUE(WriteWholeFile(dest + "\\backup", std::string("not a directory")));
    StartInto(dest);
    Click(dialog, IDC_INSTALL);
    ExpectError(7, kBackupProblem);
    // The box comes from inside the step, with the file still open; idle, it is closed.
    EXPECT_TRUE(installerOpenDuringBox) << "the probe for an open installer file sees nothing";
    ExpectIdle(true, false);
    for (int i = 0; i < kPayloadItemCount; i++)
        if (i != blocked)
            EXPECT_FALSE(Exists(dest + "\\" + PayloadItemName(i))) << PayloadItemName(i) << " left behind";
    EXPECT_EQ(OldContent(blocked), ReadWholeFile(dest + "\\" + PayloadItemName(blocked)));
    EXPECT_TRUE(Exists(dest)) << "a destination the user had is never removed";

    ASSERT_TRUE(DeleteFileA((dest + "\\backup").c_str()));
    Click(dialog, IDC_INSTALL);
    ExpectSuccessAndExit(NextBox());
    ExpectInstalled(dest, SmallPayload());
    EXPECT_EQ(OldContent(blocked), ReadWholeFile(dest + "\\backup\\" + PayloadItemName(blocked)));
}

// ---- Destinations that cannot be used ------------------------------------------------

// The lowest drive letter that names nothing in this prefix.
std::string UnmappedDrive()
{
    DWORD drives = GetLogicalDrives();
    for (char letter = 'y'; letter > 'c'; letter--)
        if (!(drives & (1u << (letter - 'a'))))
            return std::string(1, letter) + ":";
    return "";
}

TEST_F(FaultTest, DestinationThatCannotBeMadeIsError1AndStaysIdle)
{
    const std::string drive = UnmappedDrive();
    ASSERT_NE("", drive) << "every drive letter is mapped";
    struct Case {
        const char *name;
        std::string where;
        std::string unmade;  // what must not exist afterwards
    } cases[] = {
        {"a drive that does not exist", drive + "\\ovra", drive + "\\ovra"},
        {"a parent directory that does not exist", work + "\\missing\\ovra", work + "\\missing"},
    };
    Start(SmallInstaller());
    ClearIcons();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetDestination(c.where);
        Click(dialog, IDC_INSTALL);
        ExpectError(1, kDirectoryProblem);
        ExpectIdle(true, false);
        EXPECT_FALSE(Exists(c.unmade));
    }
    // The same dialog then installs where it can.
    SetDestination(dest);
    Click(dialog, IDC_INSTALL);
    ExpectSuccessAndExit(NextBox());
    ExpectInstalled(dest, SmallPayload());
}

// Makes every directory of path (a deep one, beyond the 260 characters of the plain calls).
bool MakeDirectories(const std::string &path)
{
    for (size_t at = path.find('\\', 3); at != std::string::npos; at = path.find('\\', at + 1)) {
        std::wstring wide = L"\\\\?\\" + std::wstring(path.begin(), path.begin() + at);
        CreateDirectoryW(wide.c_str(), NULL);
    }
    std::wstring wide = L"\\\\?\\" + std::wstring(path.begin(), path.end());
    return CreateDirectoryW(wide.c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool ExistsDeep(const std::string &path)
{
    std::wstring wide = L"\\\\?\\" + std::wstring(path.begin(), path.end());
    return GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Wine does not wait for a Unix program: the removal is done once the path is gone.
void RemoveDeep(const std::string &path)
{
    EXPECT_TRUE(RunUnixCommand("rm -rf '" + UnixPath(path) + "'", 20000)) << "rm -rf " << path;
    for (int tries = 0; tries < 500 && ExistsDeep(path); tries++)
        Sleep(20);
    EXPECT_FALSE(ExistsDeep(path)) << "cannot remove " << path;
}

// A parent of the wanted length: the work directory, then components of 50 letters.
std::string ParentOfLength(const std::string &work, size_t length)
{
    std::string path = work;
    while (path.size() + 51 < length)
        path += "\\" + std::string(50, 'p');
    path += "\\" + std::string(length - path.size() - 1, 'q');
    return path;
}

TEST_F(FaultTest, LongDestinationsInstallWholeOrFailWithNothingLeft)
{
    // The longest target is the destination, a backslash and an eleven-letter name.
    // Wine's plain file calls take names below 260 characters and its directory calls
    // somewhat more, so the platform refuses first: a target of 260 characters cannot
    // be created (Error [4], rolled back), a destination far beyond that cannot be made
    // (Error [1]); the installer's own 299-character limit is never reached here.
    struct Case {
        size_t length;  // of the destination
        int error;      // 0: installs
        const char *text;
    } cases[] = {
        {247, 0, ""},  // longest target 259 characters
        {248, 4, kCopyProblem},
        {260, 4, kCopyProblem},
        {287, 1, kDirectoryProblem},
        {298, 1, kDirectoryProblem},
        {299, 1, kDirectoryProblem},
    };
    for (const Case &c : cases) {
        std::string where = ParentOfLength(work, c.length - 5) + "\\dest";
        ASSERT_EQ(c.length, where.size());
        SCOPED_TRACE("destination of " + std::to_string(c.length) + " characters");
        std::string parent = where.substr(0, where.size() - 5);
        ASSERT_TRUE(MakeDirectories(parent));
        StartInto(where);
        Click(dialog, IDC_INSTALL);
        if (c.error == 0) {
            ExpectSuccessAndExit(NextBox());
            for (int i = 0; i < kPayloadItemCount; i++)
                EXPECT_EQ(SmallPayload()[i], ReadWholeFile(where + "\\" + PayloadItemName(i))) << PayloadItemName(i);
        } else {
            ExpectError(c.error, c.text);
            if (c.error == 1) {
                ExpectIdle(true, false);
                StopProgram(program);
            } else {
                ExpectQuietExit();
            }
            // Nothing of the run is left: the destination it made is gone with its files.
            WIN32_FIND_DATAW found;
            std::wstring pattern = L"\\\\?\\" + std::wstring(parent.begin(), parent.end()) + L"\\*";
            HANDLE search = FindFirstFileW(pattern.c_str(), &found);
            int entries = 0;
            if (search != INVALID_HANDLE_VALUE) {
                do
                    entries += wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0;
                while (FindNextFileW(search, &found));
                FindClose(search);
            }
            EXPECT_EQ(0, entries) << "the failed run left something in " << parent;
        }
        RemoveDeep(work + "\\" + std::string(50, 'p'));
        if (HasFailure())
            break;
    }
}

// ---- The installer file changing under the running program ---------------------------

TEST_F(FaultTest, InstallerFileCutShortWhileRunningEndsWithNothingLeft)
{
    BuildReport report;
    const Bytes installer = Pack(LongRunPayload(), report);
    for (bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "over an earlier installation" : "fresh destination");
        if (existing)
            MakeExistingInstallation(dest);
        else
            RemoveTree(dest);
        StartInto(dest, installer);
        Click(dialog, IDC_INSTALL);
        if (existing) {
            SeenBox question = NextBox();
            ASSERT_EQ(kSettingsQuestion, question.text);
            ASSERT_TRUE(AnswerMessageBox(question, IDNO));
        }
        ASSERT_TRUE(WaitForControlText(dialog, IDC_STATUS_LINE, "Extracting file: links.ini", kRunWait));
        // Another program (a download being replaced, say) cuts the file half-way
        // through the last item: the scan meets the end early and the item is short.
        const size_t cut = installer.size() - 150000;
        ASSERT_TRUE(RunUnixCommand("truncate -s " + std::to_string(cut) + " '" + UnixPath(exe) + "'", 20000));
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        for (int tries = 0; tries < 500; tries++) {
            if (GetFileAttributesExA(exe.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeLow == cut)
                break;
            Sleep(5);
        }
        ASSERT_EQ(cut, data.nFileSizeLow) << "the file was not cut";
        ExpectError(5, kCopyProblem);
        ExpectQuietExit();
        EXPECT_FALSE(Exists(TempDirectory() + "ovra.tmp"));
        if (existing) {
            for (int i = 0; i < kPayloadItemCount; i++)
                EXPECT_NE(LongRunPayload()[i], ReadWholeFile(dest + "\\" + PayloadItemName(i))) << PayloadItemName(i);
            ExpectUsersFilesKept(dest);
        } else {
            ExpectNothingInstalled(dest);
            EXPECT_FALSE(Exists(dest)) << "the destination this run made stays";
        }
        if (HasFailure())
            break;
    }
}

// ---- The temporary directory ---------------------------------------------------------

TEST_F(FaultTest, TemporaryDirectoryMissingOrUnusableIsError11)
{
    const std::string temp = work + "\\temp";
    ASSERT_TRUE(CreateDirectoryA(temp.c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA((temp + "\\ovra.tmp").c_str(), NULL));  // no file can take its name
    struct Case {
        const char *name;
        std::string directory;
        bool blockFallback;  // c:\ovra.tmp made a directory as well
        int error;
    } cases[] = {
        {"missing", work + "\\no\\such\\temp", false, 11},
        {"ovra.tmp there is a directory", temp, false, 11},
        {"too long for the buffer: the root of c: is used", "c:\\" + std::string(296, 't'), false, 0},
        {"too long, and c:\\ovra.tmp is a directory", "c:\\" + std::string(296, 't'), true, 11},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(dest);
        if (c.blockFallback)
            ASSERT_TRUE(CreateDirectoryA("c:\\ovra.tmp", NULL));
        {
            ScopedEnvironment tmp("TMP", c.directory), tempVariable("TEMP", c.directory);
            StartInto(dest);
        }
        Click(dialog, IDC_INSTALL);
        if (c.error) {
            ExpectError(c.error, kExtractProblem);
            ExpectQuietExit();
            ExpectNothingInstalled(dest);
            EXPECT_FALSE(Exists(dest)) << "the destination this run made stays";
        } else {
            ExpectSuccessAndExit(NextBox());
            ExpectInstalled(dest, SmallPayload());
            EXPECT_FALSE(Exists("c:\\ovra.tmp")) << "the temporary file stays";
        }
        RemoveDirectoryA("c:\\ovra.tmp");
        if (HasFailure())
            break;
    }
}

// ---- A destination outside ASCII -----------------------------------------------------

TEST_F(FaultTest, DestinationOutsideAsciiInstallsGroupsAndRollsBack)
{
    if (GetACP() != 1252)
        GTEST_SKIP() << "the system code page is " << GetACP() << ", not 1252";
    const std::string where = work + "\\\xFC"
                                     "bung";  // übung
    {
        StandInServer server;
        ASSERT_TRUE(server.Start(""));
        Start(SmallInstaller());
        SetDestination(where);
        Click(dialog, IDC_INSTALL);
        ExpectSuccessAndExit(NextBox());
        ExpectInstalled(where, SmallPayload());
        ServerLog log = server.Stop();
        std::vector<std::string> commands = ExpectedShellCommands(where, false);
        ASSERT_EQ(commands.size(), log.executes.size());
        for (size_t i = 0; i < commands.size(); i++)
            EXPECT_EQ(commands[i] + '\0', log.executes[i]) << "command " << i + 1;
    }
    // A confirmed abort takes the files and the directory away again.
    RemoveTree(where);
    BuildReport report;
    StartInto(where, Pack(LongRunPayload(), report));
    Click(dialog, IDC_INSTALL);
    ASSERT_NO_FATAL_FAILURE(ConfirmAbortDuringTheLastItem(where));
    ExpectIdle(true, false);
    ExpectNothingInstalled(where);
    EXPECT_FALSE(Exists(where));
}

// ---- Drives the wrapper script mounts: d: a small full-able disk, r: a read-only one ----

// A large, well compressible changes.txt: its expansion fills a 300 KB disk half-way
// through the item, after five files are in place.
const std::vector<Bytes> &LargeMiddleItemPayload()
{
    static std::vector<Bytes> inputs;
    if (inputs.empty()) {
        inputs = SmallPayload();
        Bytes &item = inputs[5];
        for (int line = 0; item.size() < 400000; line++) {
            std::string text = "change " + std::to_string(line) + ": fixed what the last one broke\n";
            item.insert(item.end(), text.begin(), text.end());
        }
    }
    return inputs;
}

class MountedDriveTest : public FaultTest {
protected:
    void SetUp() override
    {
        FaultTest::SetUp();
        ASSERT_EQ(DRIVE_FIXED, GetDriveTypeA("d:\\")) << "d: is not mounted (run through fault_drives.sh)";
        ASSERT_NE(DRIVE_NO_ROOT_DIR, GetDriveTypeA("r:\\")) << "r: is not mounted (run through fault_drives.sh)";
    }
};

TEST_F(MountedDriveTest, DiskFullInTheMiddleOfAnItemRollsBackAndKeepsTheUsersFiles)
{
    BuildReport report;
    const Bytes installer = Pack(LargeMiddleItemPayload(), report);
    for (bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "over an earlier installation" : "fresh destination");
        const std::string where = existing ? "d:\\old" : "d:\\fresh";
        if (existing)
            MakeExistingInstallation(where);
        else
            RemoveTree(where);
        StartInto(where, installer);
        Click(dialog, IDC_INSTALL);
        ExpectError(5, kCopyProblem);
        ExpectQuietExit();
        EXPECT_FALSE(Exists(TempDirectory() + "ovra.tmp"));
        if (existing) {
            for (int i = 0; i < kPayloadItemCount; i++)
                EXPECT_NE(LargeMiddleItemPayload()[i], ReadWholeFile(where + "\\" + PayloadItemName(i)))
                    << PayloadItemName(i) << " of the failed run is left";
            ExpectUsersFilesKept(where);
            EXPECT_EQ(OldContent(5), ReadWholeFile(where + "\\backup\\changes.txt"));
        } else {
            EXPECT_FALSE(Exists(where)) << "the destination this run made stays";
        }
        RemoveTree(where);
        if (HasFailure())
            break;
    }
}

// The temporary file on a full drive: it is made, but its bytes cannot be written.
// The run ends at that write with the extraction error, not later with a damaged item.
TEST_F(MountedDriveTest, FullTemporaryDriveIsError11AndLeavesNothing)
{
    const std::string filler = "d:\\filler.bin";
    struct RemovedAtTheEnd {
        std::string path;
        ~RemovedAtTheEnd() { DeleteFileA(path.c_str()); }
    } fillerRemoved{filler};
    HANDLE file = CreateFileA(filler.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    std::vector<char> block(4096, 'f');
    DWORD put = 0;
    for (int i = 0; i < 1000 && WriteFile(file, block.data(), DWORD(block.size()), &put, NULL) && put > 0; i++) {
    }
    for (DWORD one = 1; WriteFile(file, "f", 1, &one, NULL) && one == 1;) {
    }
    CloseHandle(file);
    {
        ScopedEnvironment tmp("TMP", "d:\\"), tempVariable("TEMP", "d:\\");
        StartInto(dest);
    }
    Click(dialog, IDC_INSTALL);
    ExpectError(11, kExtractProblem);
    ExpectQuietExit();
    ExpectNothingInstalled(dest);
    EXPECT_FALSE(Exists(dest)) << "the destination this run made stays";
    EXPECT_FALSE(Exists("d:\\ovra.tmp")) << "the temporary file stays";
}

TEST_F(MountedDriveTest, ReadOnlyDestination)
{
    // r:\fresh is an empty directory, r:\old an earlier installation (the wrapper made
    // them before mounting r: read-only).
    struct Case {
        const char *name;
        const char *where;
        bool backups;
        int error;
        const char *text;
        bool idle;
    } cases[] = {
        {"empty directory: the first file cannot be created", "r:\\fresh", true, 4, kCopyProblem, false},
        {"earlier installation, backups on: no backup directory", "r:\\old", true, 6, kBackupDirProblem, true},
        {"earlier installation, backups off: no file can be replaced", "r:\\old", false, 4, kCopyProblem, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        StartInto(c.where);
        InstallExpectingError(c.backups, c.error, c.text, c.idle);
        StopProgram(program);
        EXPECT_TRUE(Exists(c.where)) << "a destination the user had is never removed";
        if (strcmp(c.where, "r:\\old") == 0) {
            for (int i = 0; i < kPayloadItemCount; i++)
                EXPECT_EQ(OldContent(i), ReadWholeFile(std::string(c.where) + "\\" + PayloadItemName(i)))
                    << PayloadItemName(i);
        } else {
            ExpectNothingInstalled(c.where);
        }
        if (HasFailure())
            break;
    }
}

}  // namespace
