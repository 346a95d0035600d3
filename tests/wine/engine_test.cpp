// The Install session, the destination and Rollback, on real files in the prefix.
#include <vector>

#include "engine_fixture.h"
#include "expected_texts.h"

namespace {

// ---- The session record -------------------------------------------------------

TEST(Session, ResetStartsAFreshRunAndKeepsTheUsersChoices)
{
    memset(&session, 0x5A, sizeof session);
    strcpy(session.destinationDir, "c:\\ovra");
    session.makeBackups = true;
    session.addIcons = false;
    session.newShell = true;
    ResetSession();
    EXPECT_EQ(0, memcmp(session.marker, "SZDD", 4));
    EXPECT_EQ(1u, session.checksumWeight);
    EXPECT_EQ(0, session.matchLength);
    EXPECT_EQ(0, session.lastByte);
    EXPECT_EQ(0, session.stepBytes);
    EXPECT_EQ(0u, session.checksum);
    EXPECT_EQ(0, session.installerSize);
    EXPECT_EQ(0, session.progressPixels);
    EXPECT_EQ(0, session.settingsDecision);
    EXPECT_EQ(0, session.placedCount);
    EXPECT_EQ(0, session.expandSource);
    EXPECT_EQ(0, session.expandTarget);
    EXPECT_EQ(0, session.expandResult);
    EXPECT_EQ(nullptr, session.installerFile);
    EXPECT_EQ(nullptr, session.tempFile);
    EXPECT_FALSE(session.createdDestination);
    EXPECT_FALSE(session.abortRequested);
    EXPECT_STREQ("", session.backupDir);
    EXPECT_STREQ("", session.tempPath);
    EXPECT_STREQ("", session.targetPath);
    for (int i = 0; i < kPayloadItemCount; ++i)
        EXPECT_FALSE(session.keptTarget[i]) << i;
    EXPECT_STREQ("c:\\ovra", session.destinationDir);
    EXPECT_TRUE(session.makeBackups);
    EXPECT_FALSE(session.addIcons);
    EXPECT_TRUE(session.newShell);
}

TEST(Session, PayloadTargetPathNamesOnlyTableItemsThatFit)
{
    struct Case {
        const char *name;
        std::string dir;
        int index;
        std::string expected;
    };
    // 299 characters fit a buffer of 300; 300 never do.
    std::string fits = "c:\\" + std::string(299 - 3 - 1 - 9, 'd');     // + "\guide.txt" = 299
    std::string tooLong = "c:\\" + std::string(300 - 3 - 1 - 9, 'd');  // + "\guide.txt" = 300
    std::string longest = "c:\\" + std::string(299 - 3, 'd');          // the longest destination
    const Case cases[] = {
        {"settings file", "c:\\ovra", 6, "c:\\ovra\\ovra.ini"},
        {"first item", "c:\\ovra", 0, "c:\\ovra\\ovra32.exe"},
        {"last item", "c:\\ovra", 10, "c:\\ovra\\links.ini"},
        {"index 11", "c:\\ovra", 11, ""},
        {"large index", "c:\\ovra", 1000, ""},
        {"negative index", "c:\\ovra", -1, ""},
        {"trailing backslash doubled", "c:\\", 4, "c:\\\\guide.txt"},
        {"299 characters", fits, 4, fits + "\\guide.txt"},
        {"300 characters", tooLong, 4, ""},
        {"longest destination", longest, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_LT(c.dir.size(), sizeof session.destinationDir);
        strcpy(session.destinationDir, c.dir.c_str());
        char buffer[kPathCapacity + 8];
        memset(buffer, '#', sizeof buffer);
        PayloadTargetPath(buffer, c.index);
        EXPECT_EQ(c.expected, buffer);
        for (int i = kPathCapacity; i < kPathCapacity + 8; ++i)
            EXPECT_EQ('#', buffer[i]) << "written past the buffer at " << i;
    }
}

TEST(Session, InstallerFileSizeLeavesTheStreamWhereItWas)
{
    std::string path = TempDirectory() + "engine_size.bin";
    std::string content;
    for (int i = 0; i < 10000; ++i)
        content += char(i * 7);
    WriteAll(path, content);
    ByteStream *stream = StreamOpen(path.c_str(), STREAM_READ);
    ASSERT_NE(nullptr, stream);
    for (int i = 0; i < 1234; ++i)
        ASSERT_NE(kStreamEnd, StreamGetByte(stream));
    EXPECT_EQ(10000, InstallerFileSize(stream));
    EXPECT_EQ(content[1234], char(StreamGetByte(stream)));
    StreamClose(stream);
    DeleteFileA(path.c_str());
}

TEST(Session, SplitSessionPathFillsTheSessionParts)
{
    SplitSessionPath("  c:\\games\\ovra\\ovra.ini");
    EXPECT_STREQ("c:", session.pathDrive);
    EXPECT_STREQ("\\games\\ovra\\", session.pathDir);
    EXPECT_STREQ("ovra", session.pathName);
    EXPECT_STREQ(".ini", session.pathExt);
}

// ---- The destination -----------------------------------------------------------

using Destination = EngineTest;

TEST_F(Destination, ExistingDirectoryIsUsedAsItIs)
{
    EXPECT_EQ(STEP_DONE, CreateDestination());
    EXPECT_FALSE(session.createdDestination);
    EXPECT_TRUE(answerer->boxes.empty());
}

TEST_F(Destination, ExistingFileOfThatNameCountsAsExisting)
{
    std::string file = base + "\\plainfile";
    WriteAll(file, "x");
    strcpy(session.destinationDir, file.c_str());
    EXPECT_EQ(STEP_DONE, CreateDestination());
    EXPECT_FALSE(session.createdDestination);
    EXPECT_FALSE(IsDirectory(file));
}

TEST_F(Destination, MissingDirectoryIsCreated)
{
    std::string fresh = base + "\\fresh";
    strcpy(session.destinationDir, fresh.c_str());
    EXPECT_EQ(STEP_DONE, CreateDestination());
    EXPECT_TRUE(session.createdDestination);
    EXPECT_TRUE(IsDirectory(fresh));
    EXPECT_TRUE(answerer->boxes.empty());
}

TEST_F(Destination, MissingParentIsError1AndCreatesNothing)
{
    std::string orphan = base + "\\missing\\ovra";
    strcpy(session.destinationDir, orphan.c_str());
    answerer->Push(IDOK);
    EXPECT_EQ(STEP_SOFT_FAILURE, CreateDestination());
    EXPECT_FALSE(session.createdDestination);
    EXPECT_FALSE(Exists(base + "\\missing"));
    ASSERT_EQ(1u, answerer->boxes.size());
    ExpectErrorBox(answerer->boxes[0], 1, kDirectoryProblem, owner);
}

// ---- The numbered error boxes --------------------------------------------------

// Every failure site's number and text; the sites themselves are driven in the
// destination, placement and scan tests. 14 belongs to the Install dialog.
struct ErrorCase {
    InstallError error;
    int number;
    const char *text;
};

const ErrorCase kErrorCases[] = {
    {INSTALL_ERROR_CREATE_DESTINATION, 1, kDirectoryProblem},
    {INSTALL_ERROR_OPEN_ITEM, 3, kReadProblem},
    {INSTALL_ERROR_CREATE_TARGET, 4, kCopyProblem},
    {INSTALL_ERROR_EXPAND_ITEM, 5, kCopyProblem},
    {INSTALL_ERROR_BACKUP_DIRECTORY, 6, kBackupDirProblem},
    {INSTALL_ERROR_BACKUP_FILE, 7, kBackupProblem},
    {INSTALL_ERROR_BACKUP_SETTINGS, 8, kBackupProblem},
    {INSTALL_ERROR_READ_INSTALLER, 9, kReadProblem},
    {INSTALL_ERROR_CREATE_TEMP, 11, kExtractProblem},
    {INSTALL_ERROR_BAD_CHECKSUM, 13, kCorrupt},
    {INSTALL_ERROR_NOTHING_PLACED, 14, kCorrupt},
};

using ErrorBoxes = EngineTest;

TEST_F(ErrorBoxes, EachFailureSiteShowsItsNumberAndText)
{
    for (const ErrorCase &c : kErrorCases) {
        SCOPED_TRACE("error " + std::to_string(c.number));
        size_t before = answerer->boxes.size();
        answerer->Push(IDOK);
        ShowInstallError(c.error);
        ASSERT_EQ(before + 1, answerer->boxes.size());
        ExpectErrorBox(answerer->boxes.back(), c.number, c.text, owner);
    }
}

// ---- Rollback ------------------------------------------------------------------

using RollbackTest = EngineTest;

// Watches a directory for removals, in the order the file system reports them.
struct RemovalWatch {
    HANDLE directory = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped = {};
    alignas(DWORD) char buffer[8192];

    bool Start(const std::string &path)
    {
        directory =
            CreateFileA(path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return directory != INVALID_HANDLE_VALUE && Arm();
    }
    bool Arm()
    {
        ResetEvent(overlapped.hEvent);
        return ReadDirectoryChangesW(directory, buffer, sizeof buffer, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, nullptr,
                                     &overlapped, nullptr);
    }
    // Collects removals until `expected` names are seen or nothing comes for a while.
    std::vector<std::string> Removed(size_t expected)
    {
        std::vector<std::string> names;
        while (names.size() < expected && WaitForSingleObject(overlapped.hEvent, 2000) == WAIT_OBJECT_0) {
            DWORD got = 0;
            if (!GetOverlappedResult(directory, &overlapped, &got, FALSE) || got == 0)
                break;
            for (DWORD offset = 0;;) {
                auto *info = reinterpret_cast<FILE_NOTIFY_INFORMATION *>(buffer + offset);
                if (info->Action == FILE_ACTION_REMOVED) {
                    char name[MAX_PATH];
                    int n = WideCharToMultiByte(CP_ACP, 0, info->FileName, info->FileNameLength / 2, name, sizeof name,
                                                nullptr, nullptr);
                    names.emplace_back(name, n);
                }
                if (info->NextEntryOffset == 0)
                    break;
                offset += info->NextEntryOffset;
            }
            if (!Arm())
                break;
        }
        return names;
    }
    ~RemovalWatch()
    {
        if (directory != INVALID_HANDLE_VALUE) {
            CancelIo(directory);
            CloseHandle(directory);
        }
        if (overlapped.hEvent != nullptr)
            CloseHandle(overlapped.hEvent);
    }
};

TEST_F(RollbackTest, RemovesPlacedTargetsLastFirstAndTheTemporaryFile)
{
    ASSERT_EQ(STEP_DONE, PlaceRange(0, 2));
    WriteAll(Target(3), "not placed by this run");
    WriteAll(dest + "\\notes.txt", "the user's own file");
    session.tempFile = StreamOpen(session.tempPath, STREAM_WRITE);
    ASSERT_NE(nullptr, session.tempFile);

    RemovalWatch watch;
    ASSERT_TRUE(watch.Start(dest));
    Rollback();
    std::vector<std::string> removed = watch.Removed(3);
    EXPECT_EQ((std::vector<std::string>{"ovra.hlp", "ovaux32.exe", "ovra32.exe"}), removed);

    EXPECT_EQ(0, session.placedCount);
    EXPECT_EQ(nullptr, session.tempFile);
    EXPECT_FALSE(Exists(session.tempPath));
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(Exists(Target(i))) << i;
    EXPECT_EQ("not placed by this run", TextOrMissing(Target(3)));
    EXPECT_EQ("the user's own file", TextOrMissing(dest + "\\notes.txt"));
    EXPECT_TRUE(IsDirectory(dest));
    EXPECT_TRUE(answerer->boxes.empty());
}

TEST_F(RollbackTest, RunsAnyNumberOfTimes)
{
    ASSERT_EQ(STEP_DONE, PlaceRange(0, 1));
    session.installerFile = StreamOpen(session.tempPath, STREAM_READ);
    ASSERT_NE(nullptr, session.installerFile);
    Rollback();
    EXPECT_EQ(nullptr, session.installerFile);
    // Files of the same names made after the first call belong to no placed item.
    WriteAll(Target(0), "later");
    for (int call = 0; call < 3; ++call) {
        Rollback();
        EXPECT_EQ(0, session.placedCount);
        EXPECT_EQ("later", TextOrMissing(Target(0)));
        EXPECT_TRUE(IsDirectory(dest));
    }
}

TEST_F(RollbackTest, RemovesTheDestinationOnlyWhenThisRunCreatedIt)
{
    struct Case {
        const char *name;
        bool existedBefore;
        bool leaveUserFile;
        bool remains;
    };
    const Case cases[] = {
        {"created and left empty", false, false, false},
        {"created, user's file inside", false, true, true},
        {"existed, left empty", true, false, true},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string where = base + "\\where" + std::to_string(++n);
        if (c.existedBefore)
            ASSERT_TRUE(CreateDirectoryA(where.c_str(), nullptr));
        dest = where;
        NewRun();
        ASSERT_EQ(STEP_DONE, CreateDestination());
        ASSERT_EQ(STEP_DONE, PlaceRange(0, 2));
        if (c.leaveUserFile)
            WriteAll(where + "\\mine.txt", "mine");
        Rollback();
        EXPECT_EQ(c.remains, IsDirectory(where));
        EXPECT_FALSE(session.createdDestination);
        EXPECT_FALSE(Exists(Target(0)));
        Rollback();  // a second call never removes what the first one kept
        EXPECT_EQ(c.remains, IsDirectory(where));
    }
}

TEST_F(RollbackTest, KeepsASettingsFileTheUserKept)
{
    WriteAll(Target(6), "my settings");
    answerer->Push(IDYES);
    ASSERT_EQ(STEP_DONE, PlaceRange(0, 7));
    EXPECT_EQ("my settings", TextOrMissing(Target(6)));
    Rollback();
    EXPECT_EQ("my settings", TextOrMissing(Target(6)));
    for (int i : {0, 1, 2, 3, 4, 5, 7})
        EXPECT_FALSE(Exists(Target(i))) << i;
    EXPECT_EQ(1u, answerer->boxes.size());
}

TEST_F(RollbackTest, KeepsTheOnlyCopyOfSettingsMigratedFromTheWindowsDirectory)
{
    WriteAll(oldSettings, "settings from the old installation");
    answerer->Push(IDYES);
    ASSERT_EQ(STEP_DONE, PlaceRange(5, 6));
    EXPECT_FALSE(Exists(oldSettings));
    Rollback();
    EXPECT_EQ("settings from the old installation", TextOrMissing(Target(6)));
    EXPECT_FALSE(Exists(Target(5)));
}

// ---- A scan step after the run has ended ---------------------------------------

using LateStep = EngineTest;

// A step timer that fires after an abort or a soft failure must not read a closed
// stream: the step does nothing, shows nothing and places nothing.
TEST_F(LateStep, WithoutAnInstallerFileReadsNothingAndShowsNothing)
{
    ASSERT_EQ(STEP_DONE, Place(0));
    ASSERT_EQ(nullptr, session.installerFile);
    session.stepBytes = 17;
    EXPECT_EQ(STEP_FAILED, ScanStep());
    EXPECT_EQ(1, session.placedCount);
    EXPECT_EQ(17, session.stepBytes);
    EXPECT_EQ(nullptr, session.tempFile);
    EXPECT_TRUE(Exists(Target(0))) << "a late step must not roll anything back";
    EXPECT_TRUE(answerer->boxes.empty());
}

}  // namespace
