// File placement on real files: what happens to an existing file, the settings
// question, the old settings file in the Windows directory, backups, and every
// numbered error with the state of the disk afterwards.
#include "engine_fixture.h"
#include "expected_texts.h"

namespace {

const char kMissing[] = "<missing>";
const char kOld[] = "the user's settings";
const char kWindows[] = "settings left in the windows directory";

using Placement = EngineTest;

void ExpectQuestion(const SeenBox &box, HWND owner)
{
    EXPECT_EQ(kWarningCaption, box.caption);
    EXPECT_EQ(kSettingsQuestion, box.text);
    EXPECT_EQ(UINT(MB_YESNO), box.buttons);
    EXPECT_EQ(UINT(MB_ICONQUESTION), box.icon);
    EXPECT_EQ(owner, box.owner);
}

void ExpectError(const BoxAnswerer &answerer, int code, const char *text, HWND owner)
{
    ASSERT_EQ(1u, answerer.boxes.size());
    ExpectErrorBox(answerer.boxes[0], code, text, owner);
}

// One row of what happens to a settings file, by the state found and the answer given.
struct SettingsCase {
    const char *name;
    bool windowsOld;    // ovra.ini waits in the Windows directory
    bool targetExists;  // the destination already has the file
    int answer;         // 0: no question expected
    bool backups;
    const char *target;    // content afterwards: "new" for the item, or a literal
    const char *backedUp;  // backup\<name>, or kMissing
    const char *ovra2;     // backup\ovra2.ini
    const char *setAside;  // <dest>\ovra.$$$
    bool kept;
};

void RunSettingsCase(Placement &t, int index, const SettingsCase &c)
{
    SCOPED_TRACE(c.name);
    // Every row runs in a destination of its own.
    static int row = 0;
    t.dest = t.base + "\\row" + std::to_string(++row);
    ASSERT_TRUE(CreateDirectoryA(t.dest.c_str(), nullptr));
    t.NewRun();
    session.makeBackups = c.backups;
    t.answerer->boxes.clear();
    if (c.windowsOld)
        WriteAll(t.oldSettings, kWindows);
    if (c.targetExists)
        WriteAll(t.Target(index), kOld);
    if (c.answer != 0)
        t.answerer->Push(c.answer);

    EXPECT_EQ(STEP_DONE, t.Place(index));

    std::string name = PayloadItemName(index);
    EXPECT_EQ(index + 1, session.placedCount);
    EXPECT_EQ(c.kept, session.keptTarget[index]);
    std::string expected = strcmp(c.target, "new") == 0 ? ItemContent(index, 1) : c.target;
    EXPECT_EQ(expected, TextOrMissing(t.Target(index)));
    EXPECT_EQ(c.backedUp, TextOrMissing(t.Backup(name.c_str())));
    EXPECT_EQ(c.ovra2, TextOrMissing(t.Backup("ovra2.ini")));
    EXPECT_EQ(c.setAside, TextOrMissing(t.dest + "\\ovra.$$$"));
    EXPECT_FALSE(Exists(t.Backup("ovra.$$$")));
    bool backupUsed = strcmp(c.backedUp, kMissing) != 0 || strcmp(c.ovra2, kMissing) != 0;
    EXPECT_EQ(backupUsed, IsDirectory(t.dest + "\\backup"));
    if (index == 6)
        EXPECT_FALSE(Exists(t.oldSettings)) << "the old settings file stays in the Windows directory";
    if (c.answer == 0) {
        EXPECT_TRUE(t.answerer->boxes.empty());
    } else {
        ASSERT_EQ(1u, t.answerer->boxes.size());
        ExpectQuestion(t.answerer->boxes[0], t.owner);
    }
    DeleteFileA(t.oldSettings.c_str());
}

TEST_F(Placement, MainSettingsFileByWhatIsFoundAndTheAnswer)
{
    const SettingsCase cases[] = {
        {"nothing there", false, false, 0, true, "new", kMissing, kMissing, kMissing, false},
        {"exists, keep", false, true, IDYES, true, kOld, kMissing, kMissing, kMissing, true},
        {"exists, replace, no backups", false, true, IDNO, false, "new", kMissing, kMissing, kMissing, false},
        {"exists, replace, backups", false, true, IDNO, true, "new", kOld, kMissing, kMissing, false},
        {"old one in windows, keep", true, false, IDYES, true, kWindows, kMissing, kMissing, kMissing, true},
        {"old one in windows, replace, backups", true, false, IDNO, true, "new", kWindows, kMissing, kMissing, false},
        {"old one in windows, replace, no backups", true, false, IDNO, false, "new", kMissing, kMissing, kMissing,
         false},
        // The set-aside file goes to the backup directory even without backups.
        {"both, keep", true, true, IDYES, false, kWindows, kMissing, kOld, kMissing, true},
        {"both, replace, backups", true, true, IDNO, true, "new", kWindows, kOld, kMissing, false},
        {"both, replace, no backups", true, true, IDNO, false, "new", kMissing, kMissing, kOld, false},
    };
    for (const SettingsCase &c : cases)
        RunSettingsCase(*this, 6, c);
}

TEST_F(Placement, OtherSettingsFileByWhatIsFoundAndTheAnswer)
{
    // The old file in the Windows directory is the main settings file's alone.
    const SettingsCase cases[] = {
        {"nothing there", true, false, 0, true, "new", kMissing, kMissing, kMissing, false},
        {"exists, keep", false, true, IDYES, true, kOld, kMissing, kMissing, kMissing, true},
        {"exists, replace, no backups", false, true, IDNO, false, "new", kMissing, kMissing, kMissing, false},
        {"exists, replace, backups", true, true, IDNO, true, "new", kOld, kMissing, kMissing, false},
    };
    for (const SettingsCase &c : cases)
        RunSettingsCase(*this, 7, c);
}

TEST_F(Placement, OtherSettingsFileLeavesTheWindowsDirectoryAlone)
{
    WriteAll(oldSettings, kWindows);
    EXPECT_EQ(STEP_DONE, Place(8));
    EXPECT_EQ(kWindows, TextOrMissing(oldSettings));
    EXPECT_EQ(ItemContent(8, 1), TextOrMissing(Target(8)));
}

TEST_F(Placement, QuestionIsAskedOnceAndItsAnswerHoldsForTheRun)
{
    for (int answer : {IDYES, IDNO}) {
        SCOPED_TRACE(answer == IDYES ? "keep" : "replace");
        RemoveTree(dest);
        ASSERT_TRUE(CreateDirectoryA(dest.c_str(), nullptr));
        NewRun();
        answerer->boxes.clear();
        for (int index : {7, 8, 10})
            WriteAll(Target(index), kOld);
        answerer->Push(answer);
        ASSERT_EQ(STEP_DONE, PlaceRange(0, 10));
        EXPECT_EQ(11, session.placedCount);
        ASSERT_EQ(1u, answerer->boxes.size());
        ExpectQuestion(answerer->boxes[0], owner);
        for (int index = 0; index <= 10; ++index) {
            bool existed = index == 7 || index == 8 || index == 10;
            std::string expected = existed && answer == IDYES ? kOld : ItemContent(index, 1);
            EXPECT_EQ(expected, TextOrMissing(Target(index))) << index;  // missing ones installed either way
        }
    }
}

TEST_F(Placement, FreshDestinationGetsEveryItemWithoutQuestionOrBackup)
{
    session.makeBackups = true;
    for (int index = 0; index <= 10; ++index) {
        ASSERT_EQ(STEP_DONE, Place(index)) << index;
        EXPECT_EQ("Validating file: " + std::string(PayloadItemName(index)), StatusLine());
    }
    EXPECT_EQ(11, session.placedCount);
    for (int index = 0; index <= 10; ++index)
        EXPECT_EQ(ItemContent(index, 1), TextOrMissing(Target(index))) << index;
    EXPECT_TRUE(answerer->boxes.empty());
    EXPECT_FALSE(Exists(dest + "\\backup"));
    EXPECT_STREQ("", session.backupDir);
}

TEST_F(Placement, BackupsHoldTheReplacedFilesAndASecondRunReplacesThem)
{
    for (int index = 0; index <= 10; ++index)
        WriteAll(Target(index), ItemContent(index, 0));
    for (int generation = 1; generation <= 2; ++generation) {
        SCOPED_TRACE(generation);
        NewRun();
        session.makeBackups = true;
        answerer->boxes.clear();
        answerer->Push(IDNO);
        if (generation == 2)  // an old backup that is read-only gives way all the same
            SetFileAttributesA(Backup("guide.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        ASSERT_EQ(STEP_DONE, PlaceRange(0, 10, generation));
        EXPECT_EQ(1u, answerer->boxes.size());
        EXPECT_EQ(dest + "\\backup\\", session.backupDir);
        for (int index = 0; index <= 10; ++index) {
            EXPECT_EQ(ItemContent(index, generation), TextOrMissing(Target(index))) << index;
            EXPECT_EQ(ItemContent(index, generation - 1), TextOrMissing(Backup(PayloadItemName(index)))) << index;
        }
    }
}

TEST_F(Placement, ReadOnlyTargetsLoseTheirAttributes)
{
    WriteAll(Target(0), "old program");
    WriteAll(Target(9), kOld);
    const DWORD stubborn = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    SetFileAttributesA(Target(0).c_str(), stubborn);
    SetFileAttributesA(Target(9).c_str(), stubborn);
    answerer->Push(IDYES);
    EXPECT_EQ(STEP_DONE, Place(0));
    EXPECT_EQ(ItemContent(0, 1), TextOrMissing(Target(0)));
    EXPECT_EQ(STEP_DONE, Place(9));
    EXPECT_EQ(kOld, TextOrMissing(Target(9)));
    // The clearing comes before the question, so a kept file has lost them too.
    EXPECT_EQ(0u, GetFileAttributesA(Target(9).c_str()) & stubborn);
}

TEST_F(Placement, DestinationNamedLikeASettingsFileMakesEveryFileOne)
{
    dest = base + "\\old.ini.d";
    ASSERT_TRUE(CreateDirectoryA(dest.c_str(), nullptr));
    strcpy(session.destinationDir, dest.c_str());
    WriteAll(Target(0), "old program");
    WriteAll(Target(4), "old guide");
    answerer->Push(IDYES);
    ASSERT_EQ(STEP_DONE, PlaceRange(0, 4));
    EXPECT_EQ(1u, answerer->boxes.size());
    EXPECT_EQ("old program", TextOrMissing(Target(0)));
    EXPECT_EQ("old guide", TextOrMissing(Target(4)));
    EXPECT_EQ(ItemContent(1, 1), TextOrMissing(Target(1)));
    EXPECT_TRUE(session.keptTarget[0]);
    EXPECT_FALSE(session.keptTarget[1]);
}

// ---- Numbered errors ---------------------------------------------------------

TEST_F(Placement, UnreadableItemIsError3AndRollsBack)
{
    ASSERT_EQ(STEP_DONE, PlaceRange(0, 1));
    DeleteFileA(session.tempPath);
    session.placedCount = 2;
    EXPECT_EQ(STEP_FAILED, PlaceExtractedFile());
    ExpectError(*answerer, 3, kReadProblem, owner);
    EXPECT_EQ(0, session.placedCount);
    for (int index = 0; index <= 2; ++index)
        EXPECT_FALSE(Exists(Target(index))) << index;
}

TEST_F(Placement, TargetHeldOpenIsError4AndRollsBack)
{
    ASSERT_EQ(STEP_DONE, PlaceRange(0, 1));
    WriteAll(Target(2), "in use");
    HANDLE held = CreateFileA(Target(2).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    WriteAll(session.tempPath, SzddItem(ItemContent(2, 1)));
    EXPECT_EQ(STEP_FAILED, PlaceExtractedFile());
    CloseHandle(held);
    ExpectError(*answerer, 4, kCopyProblem, owner);
    EXPECT_EQ(0, session.placedCount);
    EXPECT_FALSE(Exists(Target(0)));
    EXPECT_FALSE(Exists(Target(1)));
    EXPECT_EQ("in use", TextOrMissing(Target(2)));
    EXPECT_FALSE(Exists(session.tempPath));
}

TEST_F(Placement, DamagedItemIsError5AndLeavesNoPartialFile)
{
    ASSERT_EQ(STEP_DONE, Place(0));
    std::string whole = SzddItem(ItemContent(1, 1));
    struct Case {
        const char *name;
        std::string item;
    };
    std::string badMode = whole;
    badMode[8] = 'B';
    const Case cases[] = {
        {"cut in the middle", whole.substr(0, whole.size() / 2)},
        {"cut inside the header", whole.substr(0, 11)},
        {"unknown compression mode", badMode},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        NewRun();
        answerer->boxes.clear();
        ASSERT_EQ(STEP_DONE, Place(0));
        WriteAll(session.tempPath, c.item);
        EXPECT_EQ(STEP_FAILED, PlaceExtractedFile());
        ExpectError(*answerer, 5, kCopyProblem, owner);
        EXPECT_EQ(0, session.placedCount);
        EXPECT_FALSE(Exists(Target(0)));
        EXPECT_FALSE(Exists(Target(1))) << "a damaged file was left under the final name";
        EXPECT_FALSE(Exists(session.tempPath));
    }
}

TEST_F(Placement, UncreatableBackupDirectoryIsError6)
{
    // A link named backup that leads nowhere: no directory of that name is there, yet
    // the name is taken, so none can be made.
    const std::string link = dest + "\\backup";
    ASSERT_TRUE(RunUnixCommand("ln -s /nonexistent-backup-target '" + UnixPath(link) + "'", 5000));
    ASSERT_FALSE(Exists(link));

    WriteAll(Target(0), "old program");
    session.makeBackups = true;
    answerer->Push(IDOK);
    EXPECT_EQ(STEP_SOFT_FAILURE, PrepareTarget(Target(0).c_str()));
    ExpectError(*answerer, 6, kBackupDirProblem, owner);
    EXPECT_FALSE(Exists(link));
    EXPECT_EQ("old program", TextOrMissing(Target(0)));
    EXPECT_STREQ("", session.backupDir);
    EXPECT_TRUE(RunUnixCommand("rm '" + UnixPath(link) + "'", 5000));
}

TEST_F(Placement, BackupMoveFailureIsError7AndLeavesTheTarget)
{
    WriteAll(dest + "\\backup", "a file where the backup directory should be");
    WriteAll(Target(0), "old program");
    session.makeBackups = true;
    EXPECT_EQ(STEP_SOFT_FAILURE, Place(0));
    ExpectError(*answerer, 7, kBackupProblem, owner);
    EXPECT_EQ("old program", TextOrMissing(Target(0)));
    EXPECT_EQ(0, session.placedCount);
    EXPECT_FALSE(IsDirectory(dest + "\\backup"));
}

TEST_F(Placement, BlockedOvra2IsError8AndKeepsTheSetAsideFile)
{
    ASSERT_TRUE(CreateDirectoryA((dest + "\\backup").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(Backup("ovra2.ini").c_str(), nullptr));
    WriteAll(oldSettings, kWindows);
    WriteAll(Target(6), kOld);
    session.makeBackups = true;
    answerer->Push(IDNO);
    answerer->Push(IDOK);
    EXPECT_EQ(STEP_SOFT_FAILURE, Place(6));
    ASSERT_EQ(2u, answerer->boxes.size());
    ExpectErrorBox(answerer->boxes[1], 8, kBackupProblem, owner);
    // The user's settings are not lost: they wait in the backup directory.
    EXPECT_EQ(kOld, TextOrMissing(Backup("ovra.$$$")));
    EXPECT_EQ(kWindows, TextOrMissing(Backup("ovra.ini")));
    EXPECT_TRUE(IsDirectory(Backup("ovra2.ini")));
}

TEST_F(Placement, TargetPathIsUsedWholeOrNotAtAll)
{
    struct Case {
        const char *name;
        size_t targetLength;  // of destination + "\\ovra32.exe"
        const char *expectedTarget;
    };
    // Neither can be created through the system's 8-bit file calls (they stop short of
    // 260 characters), so both fail with [4]; what matters is that the engine never
    // works on a path cut to fit, which would name a different file.
    const Case cases[] = {
        {"299 characters fit and are used whole", 299, "whole"},
        {"300 characters do not fit and are not used", 300, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string deep = dest + "\\" + std::string(c.targetLength - dest.size() - 1 - 10 - 1, 'd');
        dest = deep;
        NewRun();
        answerer->boxes.clear();
        std::string whole = deep + "\\ovra32.exe";
        ASSERT_EQ(c.targetLength, whole.size());
        EXPECT_EQ(STEP_FAILED, Place(0));
        ExpectError(*answerer, 4, kCopyProblem, owner);
        EXPECT_EQ(strcmp(c.expectedTarget, "whole") == 0 ? whole : "", session.targetPath);
        EXPECT_EQ(0, session.placedCount);
        dest = base + "\\dest";
    }
}

}  // namespace
