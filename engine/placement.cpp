// File placement: one extracted item into the destination, with the settings
// question, the migration of an old settings file, backups of replaced files, and
// the expansion through our LZ layer.
#include <cstring>

#include "engine/lzexpand.h"
#include "engine/session.h"
#include "resources/resource.h"
#include "ui/messages.h"

namespace {

const char kCopyProblem[] =
    "There seems to be a problem copying files to their destination.\n\n"
    "Please try running the installation program again!";
const char kBackupProblem[] =
    "There seems to be a problem backing up your original files.\n\n"
    "Please try installing to a different directory!";

bool Exists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// Bounded formatting of a path: false when it would not fit, and then the buffer
// holds the empty text, never a cut path that would name another file.
bool FormatPath(char *out, const char *format, const char *a, const char *b, const char *c)
{
    int written = snprintf(out, kPathCapacity, format, a, b, c);
    if (written < 0 || written >= kPathCapacity) {
        out[0] = '\0';
        return false;
    }
    return true;
}

// Splits path into the session's parts; false when the split had to cut a part,
// so that recombining the parts would not give the path back.
bool SplitWhole(const char *path)
{
    SplitSessionPath(path);
    while (*path == ' ')
        ++path;
    size_t parts = strlen(session.pathDrive) + strlen(session.pathDir) + strlen(session.pathName) +
                   strlen(session.pathExt);
    return parts == strlen(path);
}

// The drive and directory of path followed by leaf; false when it cannot be named exactly.
bool SiblingPath(char *out, const char *path, const char *leaf)
{
    if (!SplitWhole(path)) {
        out[0] = '\0';
        return false;
    }
    return FormatPath(out, "%s%s%s", session.pathDrive, session.pathDir, leaf);
}

bool CopyPath(char *out, const char *path)
{
    return FormatPath(out, "%s%s%s", path, "", "");
}

// The old settings file of an earlier installation is moved into the destination
// (the current one set aside first). False when it could not be copied: reported,
// rolled back.
bool MigrateOldSettings(char *target)
{
    char windowsDir[kPathCapacity];
    UINT length = GetWindowsDirectoryA(windowsDir, kPathCapacity);
    if (length == 0 || length >= UINT(kPathCapacity))
        return true;  // no Windows directory we could name: nothing to migrate
    char oldSettings[kPathCapacity];
    if (!FormatPath(oldSettings, "%s%s%s", windowsDir, "\\ovra.ini", ""))
        return true;  // cannot exist under a name we are able to form
    if (!Exists(oldSettings))
        return true;

    if (Exists(target)) {
        if (!SiblingPath(session.savedSettingsPath, target, "ovra.$$$")) {
            ShowInstallError(7, kBackupProblem);
            return false;
        }
        DeleteFileA(session.savedSettingsPath);  // a single attempt, unlike every other clean-up
        MoveFileA(target, session.savedSettingsPath);
    }
    if (!Exists(target)) {
        if (!ExpandFile(oldSettings, target))
            return false;
        DeleteFileTwice(oldSettings);
    }
    return true;
}

}  // namespace

int PlaceExtractedFile()
{
    fflush(nullptr);
    // Only shown, never used as a path: a cut status text is harmless.
    snprintf(session.scratch, kPathCapacity, "Validating file: %s%s", session.pathName, session.pathExt);
    SetDlgItemTextA(session.dialogWindow, IDC_STATUS_LINE, session.scratch);

    PayloadTargetPath(session.targetPath, session.placedCount);
    int index = session.placedCount;
    bool indexed = index >= 0 && index < kPayloadItemCount;
    int result = PrepareTarget(session.targetPath);
    if (result == STEP_MORE) {
        if (indexed)
            session.keptTarget[index] = true;
        session.placedCount += 1;
        return STEP_DONE;
    }
    if (result != STEP_DONE)
        return result;
    if (!ExpandFile(session.tempPath, session.targetPath))
        return STEP_FAILED;
    if (indexed)
        session.keptTarget[index] = false;
    session.placedCount += 1;
    return STEP_DONE;
}

int PrepareTarget(const char *targetArgument)
{
    int result = STEP_DONE;
    session.savedSettingsPath[0] = '\0';
    char target[kPathCapacity];
    if (!CopyPath(target, targetArgument))
        return STEP_DONE;  // names no file we can reach; the expansion reports it

    if (strstr(target, "ovra.ini") != nullptr && !MigrateOldSettings(target))
        return STEP_SOFT_FAILURE;

    if (!Exists(target))
        return result;
    SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);

    bool backUp = session.makeBackups;
    if (session.settingsDecision != 2 && strstr(target, ".ini") != nullptr) {
        if (session.settingsDecision == 1)
            return STEP_MORE;
        int answer = AskInstallQuestion(
            "The Ovra installation comes with prefab INI files but if I install them you will "
            "lose your current Ovra settings.\n\nWould you like to KEEP your current Ovra settings?");
        if (answer == IDYES) {
            session.settingsDecision = 1;
            if (session.savedSettingsPath[0] == '\0')
                return STEP_MORE;
            // The kept file stays; the one set aside goes to the backup directory.
            CopyPath(target, session.savedSettingsPath);
            result = STEP_MORE;
            backUp = true;
        } else {
            session.settingsDecision = 2;
        }
    }
    if (!backUp)
        return result;

    if (session.backupDir[0] == '\0') {
        // Room for the trailing backslash too, or the directory cannot be used.
        bool named = FormatPath(session.backupDir, "%s%s%s", session.destinationDir, "\\backup", "") &&
                     strlen(session.backupDir) + 1 < size_t(kPathCapacity);
        if (!named || (!Exists(session.backupDir) && !CreateDirectoryA(session.backupDir, nullptr))) {
            session.backupDir[0] = '\0';
            ShowInstallError(6,
                             "There seems to be a problem creating the backup directory.\n\n"
                             "Please try installing to a different directory!");
            return STEP_SOFT_FAILURE;
        }
        strcat(session.backupDir, "\\");
    }

    for (;;) {
        char backup[kPathCapacity];
        if (!SplitWhole(target) ||
            !FormatPath(backup, "%s%s%s", session.backupDir, session.pathName, session.pathExt)) {
            ShowInstallError(7, kBackupProblem);
            return STEP_SOFT_FAILURE;
        }
        // An older backup of the same name gives way to this one.
        SetFileAttributesA(backup, FILE_ATTRIBUTE_NORMAL);
        DeleteFileTwice(backup);
        if (!MoveFileA(target, backup)) {
            ShowInstallError(7, kBackupProblem);
            return STEP_SOFT_FAILURE;
        }
        if (session.savedSettingsPath[0] == '\0')
            return result;
        if (_stricmp(target, session.savedSettingsPath) == 0)
            break;
        // The set-aside settings file follows the current file into the backup directory.
        CopyPath(target, session.savedSettingsPath);
    }

    char setAside[kPathCapacity];
    char finalName[kPathCapacity];
    if (!SiblingPath(finalName, session.backupDir, "ovra2.ini") ||
        !FormatPath(setAside, "%s%s%s", session.pathDrive, session.pathDir, "ovra.$$$")) {
        ShowInstallError(8, kBackupProblem);
        return STEP_SOFT_FAILURE;
    }
    DeleteFileTwice(finalName);
    if (!MoveFileA(setAside, finalName)) {
        ShowInstallError(8, kBackupProblem);
        return STEP_SOFT_FAILURE;
    }
    return result;
}

int ExpandFile(const char *source, const char *target)
{
    OFSTRUCT sourceRecord = {};
    sourceRecord.cBytes = 136;
    session.expandSource = OvraLZOpenFile(source, &sourceRecord, 0);
    if (session.expandSource < 0) {
        session.expandSource = 0;
        Rollback();
        ShowInstallError(3,
                         "There seems to be a problem reading the installation file.\n\n"
                         "Please try running the installation program again!");
        return STEP_FAILED;
    }
    OFSTRUCT targetRecord = {};
    targetRecord.cBytes = 136;
    session.expandTarget = OvraLZOpenFile(target, &targetRecord, 0x1000);
    if (session.expandTarget < 0) {
        OvraLZClose(session.expandSource);
        session.expandSource = 0;
        session.expandTarget = 0;
        Rollback();
        ShowInstallError(4, kCopyProblem);
        return STEP_FAILED;
    }
    session.expandResult = OvraLZCopy(session.expandSource, session.expandTarget);
    OvraLZClose(session.expandSource);
    OvraLZClose(session.expandTarget);
    session.expandSource = 0;
    session.expandTarget = 0;
    if (session.expandResult < 0) {
        // What was written is a damaged file under the final name: never leave it.
        DeleteFileTwice(target);
        Rollback();
        ShowInstallError(5, kCopyProblem);
        return STEP_FAILED;
    }
    return STEP_DONE;
}
