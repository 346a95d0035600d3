// File placement: one extracted item into the destination, with the settings
// question, the migration of an old settings file, backups of replaced files, and
// the expansion through our LZ layer.
#include "engine/lzexpand.h"
#include "engine/session.h"
#include "runtime/text.h"

namespace {

bool Exists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

// Bounded formatting of a path: false when it would not fit, and then the buffer
// holds the empty text, never a cut path that would name another file.
bool FormatPath(char *out, const char *format, const char *a, const char *b, const char *c)
{
    int written = FormatText(out, kPathCapacity, format, a, b, c);
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
    size_t parts = TextLength(session.pathDrive) + TextLength(session.pathDir) + TextLength(session.pathName) +
                   TextLength(session.pathExt);
    return parts == TextLength(path);
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

bool CopyPath(char *out, const char *path) { return FormatPath(out, "%s%s%s", path, "", ""); }

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
            ShowInstallError(INSTALL_ERROR_BACKUP_FILE);
            return false;
        }
        DeleteFileA(session.savedSettingsPath);  // a single attempt, unlike every other clean-up
        MoveFileA(target, session.savedSettingsPath);
    }
    if (!Exists(target)) {
        if (ExpandFile(oldSettings, target) != STEP_DONE)
            return false;
        DeleteFileTwice(oldSettings);
    }
    return true;
}

// What the settings question leaves for an existing settings file.
enum SettingsOutcome {
    SETTINGS_REPLACE,         // the new file replaces it (backed up when asked)
    SETTINGS_KEEP,            // it stays, and nothing else happens
    SETTINGS_KEEP_SET_ASIDE,  // it stays; the file set aside for it goes into backup
};

// Asked once per run, at the first existing settings file; the answer holds for
// every later one.
SettingsOutcome DecideSettings(const char *target)
{
    if (session.settingsDecision == 2 || TextFind(target, ".ini") == nullptr)
        return SETTINGS_REPLACE;
    if (session.settingsDecision == 1)
        return SETTINGS_KEEP;
    if (AskKeepSettings() != IDYES) {
        session.settingsDecision = 2;
        return SETTINGS_REPLACE;
    }
    session.settingsDecision = 1;
    return session.savedSettingsPath[0] == '\0' ? SETTINGS_KEEP : SETTINGS_KEEP_SET_ASIDE;
}

// The run's backup directory, made at its first use; backupDir ends in a backslash.
bool EnsureBackupDirectory()
{
    if (session.backupDir[0] != '\0')
        return true;
    // Room for the trailing backslash too, or the directory cannot be used.
    bool named = FormatPath(session.backupDir, "%s%s%s", session.destinationDir, "\\backup", "") &&
                 TextLength(session.backupDir) + 1 < size_t(kPathCapacity);
    if (!named || (!Exists(session.backupDir) && !CreateDirectoryA(session.backupDir, nullptr))) {
        session.backupDir[0] = '\0';
        ShowInstallError(INSTALL_ERROR_BACKUP_DIRECTORY);
        return false;
    }
    size_t length = TextLength(session.backupDir);
    session.backupDir[length] = '\\';
    session.backupDir[length + 1] = '\0';
    return true;
}

// Moves a file into the backup directory under its own name.
bool MoveIntoBackup(const char *path)
{
    char backup[kPathCapacity];
    if (!SplitWhole(path) || !FormatPath(backup, "%s%s%s", session.backupDir, session.pathName, session.pathExt)) {
        ShowInstallError(INSTALL_ERROR_BACKUP_FILE);
        return false;
    }
    // An older backup of the same name gives way to this one.
    SetFileAttributesA(backup, FILE_ATTRIBUTE_NORMAL);
    DeleteFileTwice(backup);
    if (!MoveFileA(path, backup)) {
        ShowInstallError(INSTALL_ERROR_BACKUP_FILE);
        return false;
    }
    return true;
}

// The settings file set aside during the migration, now in the backup directory,
// takes its final backup name.
bool FinishSetAsideSettings()
{
    char setAside[kPathCapacity];
    char finalName[kPathCapacity];
    if (!SiblingPath(finalName, session.backupDir, "ovra2.ini") ||
        !SiblingPath(setAside, session.backupDir, "ovra.$$$")) {
        ShowInstallError(INSTALL_ERROR_BACKUP_SETTINGS);
        return false;
    }
    DeleteFileTwice(finalName);
    if (!MoveFileA(setAside, finalName)) {
        ShowInstallError(INSTALL_ERROR_BACKUP_SETTINGS);
        return false;
    }
    return true;
}

}  // namespace

StepResult PlaceExtractedFile()
{
    StreamFlushAll();
    // Only shown, never used as a path: a cut status text is harmless.
    FormatText(session.scratch, kPathCapacity, "Validating file: %s%s", session.pathName, session.pathExt);
    ShowStatus(session.scratch);

    PayloadTargetPath(session.targetPath, session.placedCount);
    int index = session.placedCount;
    bool indexed = index >= 0 && index < kPayloadItemCount;
    switch (PrepareTarget(session.targetPath)) {
    case PREPARE_KEPT:
        if (indexed)
            session.keptTarget[index] = true;
        session.placedCount += 1;
        return STEP_DONE;
    case PREPARE_READY: break;
    case PREPARE_SOFT_FAILURE: return STEP_SOFT_FAILURE;
    case PREPARE_FAILED: return STEP_FAILED;
    }
    if (ExpandFile(session.tempPath, session.targetPath) != STEP_DONE)
        return STEP_FAILED;
    if (indexed)
        session.keptTarget[index] = false;
    session.placedCount += 1;
    return STEP_DONE;
}

PrepareResult PrepareTarget(const char *targetArgument)
{
    session.savedSettingsPath[0] = '\0';
    char target[kPathCapacity];
    if (!CopyPath(target, targetArgument))
        return PREPARE_READY;  // names no file we can reach; the expansion reports it

    if (TextFind(target, "ovra.ini") != nullptr && !MigrateOldSettings(target))
        return PREPARE_SOFT_FAILURE;
    if (!Exists(target))
        return PREPARE_READY;
    SetFileAttributesA(target, FILE_ATTRIBUTE_NORMAL);

    SettingsOutcome settings = DecideSettings(target);
    if (settings == SETTINGS_KEEP)
        return PREPARE_KEPT;
    if (settings == SETTINGS_REPLACE && !session.makeBackups)
        return PREPARE_READY;

    if (!EnsureBackupDirectory())
        return PREPARE_SOFT_FAILURE;
    // Kept settings stay where they are; only the file set aside for them moves.
    if (settings == SETTINGS_REPLACE && !MoveIntoBackup(target))
        return PREPARE_SOFT_FAILURE;
    if (session.savedSettingsPath[0] != '\0') {
        if (!MoveIntoBackup(session.savedSettingsPath) || !FinishSetAsideSettings())
            return PREPARE_SOFT_FAILURE;
    }
    return settings == SETTINGS_REPLACE ? PREPARE_READY : PREPARE_KEPT;
}

StepResult ExpandFile(const char *source, const char *target)
{
    OFSTRUCT sourceRecord = {};
    sourceRecord.cBytes = sizeof(OFSTRUCT);
    session.expandSource = OvraLZOpenFile(source, &sourceRecord, OF_READ);
    if (session.expandSource < 0) {
        session.expandSource = 0;
        Rollback();
        ShowInstallError(INSTALL_ERROR_OPEN_ITEM);
        return STEP_FAILED;
    }
    OFSTRUCT targetRecord = {};
    targetRecord.cBytes = sizeof(OFSTRUCT);
    session.expandTarget = OvraLZOpenFile(target, &targetRecord, OF_CREATE);
    if (session.expandTarget < 0) {
        OvraLZClose(session.expandSource);
        session.expandSource = 0;
        session.expandTarget = 0;
        Rollback();
        ShowInstallError(INSTALL_ERROR_CREATE_TARGET);
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
        ShowInstallError(INSTALL_ERROR_EXPAND_ITEM);
        return STEP_FAILED;
    }
    return STEP_DONE;
}
