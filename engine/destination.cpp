// The destination directory of a run: created when missing, and Rollback, the one
// undo of a run that does not finish.
#include "engine/session.h"

void DeleteFileTwice(const char *path)
{
    if (!DeleteFileA(path))
        DeleteFileA(path);
}

StepResult CreateDestination()
{
    if (GetFileAttributesA(session.destinationDir) != INVALID_FILE_ATTRIBUTES)
        return STEP_DONE;
    // Only the last component is created: a missing parent is the user's mistake.
    if (!CreateDirectoryA(session.destinationDir, nullptr)) {
        ShowInstallError(INSTALL_ERROR_CREATE_DESTINATION);
        return STEP_SOFT_FAILURE;
    }
    session.createdDestination = true;
    return STEP_DONE;
}

// Called by some failure sites before their message (a failed expansion, a read
// error, a bad checksum) and then again by the dialog's step handler, which rolls
// back on every failed step. The second call finds nothing left to do: the first
// closed both streams and set them to none, brought placedCount to 0 and cleared
// createdDestination, so nothing is deleted or removed twice; only the deletion of
// the temporary file is tried again, and it fails quietly.
void Rollback()
{
    CloseStream(session.tempFile);
    CloseStream(session.installerFile);
    DeleteFileTwice(session.tempPath);
    while (session.placedCount > 0) {
        session.placedCount -= 1;
        int index = session.placedCount;
        // A kept target is the user's own settings file (or the only copy of the
        // one migrated from the Windows directory): deleting it would lose it for good.
        bool kept = index < kPayloadItemCount && session.keptTarget[index];
        if (index < kPayloadItemCount)
            session.keptTarget[index] = false;
        if (kept)
            continue;
        PayloadTargetPath(session.scratch, index);
        DeleteFileTwice(session.scratch);
    }
    if (session.createdDestination) {
        if (!RemoveDirectoryA(session.destinationDir))
            RemoveDirectoryA(session.destinationDir);
        session.createdDestination = false;
    }
}
