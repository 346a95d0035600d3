// The Install session record, its reset before each run, the payload target
// path, the size of an open stream and the split of a path into the session.
#include "engine/session.h"

#include <cstring>

#include "engine/pathsplit.h"
#include "runtime/text.h"

InstallSession session;

void ResetSession()
{
    session.matchLength = 0;
    session.lastByte = 0;
    session.progressPixels = 0;
    session.stepBytes = 0;
    session.checksum = 0;
    session.installerSize = 0;
    session.settingsDecision = 0;
    session.placedCount = 0;
    session.expandSource = 0;
    session.expandTarget = 0;
    session.expandResult = 0;
    session.checksumWeight = 1;
    // The caller has closed both streams already; a reset only forgets them.
    session.installerFile = nullptr;
    session.tempFile = nullptr;
    session.createdDestination = false;
    session.abortRequested = false;
    session.backupDir[0] = '\0';
    session.tempPath[0] = '\0';
    session.targetPath[0] = '\0';
    memset(session.keptTarget, 0, sizeof session.keptTarget);
    BuildMarker(session.marker);
}

void PayloadTargetPath(char *buffer, int index)
{
    buffer[0] = '\0';
    const char *name = PayloadItemName(index);
    if (name == nullptr)
        return;
    // A path that does not fit stays empty: a cut one would name some other file.
    int written = FormatText(buffer, kPathCapacity, "%s\\%s", session.destinationDir, name);
    if (written < 0 || written >= kPathCapacity)
        buffer[0] = '\0';
}

long InstallerFileSize(ByteStream *stream) { return StreamSize(stream); }

void SplitSessionPath(const char *path)
{
    SplitPath(path, session.pathDrive, session.pathDir, session.pathName, session.pathExt);
}

bool CloseStream(ByteStream *&stream)
{
    if (stream == nullptr)
        return true;
    bool written = StreamClose(stream);
    stream = nullptr;
    return written;
}
