// The payload scan: reads the installer's own file in steps of 7001 bytes, copies
// each embedded item into the temporary file, has it placed, and checks the checksum.
#include <cstring>

#include "engine/session.h"
#include "runtime/text.h"

static const char kTempFileName[] = "ovra.tmp";
static const char kFallbackTempPath[] = "c:\\ovra.tmp";
static const char kScanning[] = STATUS_SCANNING;

void ShowFileStatus()
{
    PayloadTargetPath(session.scratch, session.placedCount);
    // The split stays in the session: the item's placement names it from these parts.
    SplitSessionPath(session.scratch);
    // The text follows the bar, not the item count: an item found before the bar has
    // moved by a pixel (in the first step, say) is announced as scanning.
    if (session.progressPixels <= 0) {
        ShowStatus(kScanning);
        return;
    }
    // Only shown, never used as a path: a cut status text is harmless.
    FormatText(session.scratch, kPathCapacity, "Extracting file: %s%s", session.pathName, session.pathExt);
    ShowStatus(session.scratch);
}

void ShowScanProgress()
{
    // Measured once per run, at the first report after the reset.
    if (session.installerSize == 0)
        session.installerSize = int32_t(InstallerFileSize(session.installerFile));
    ShowProgress(StreamTell(session.installerFile), session.installerSize);
}

OpenResult OpenInstallerFile()
{
    DWORD length = GetModuleFileNameA(NULL, session.installerPath, kInstallerPathCapacity);
    // A path cut at the buffer's end would name some other file.
    if (length == 0 || length >= DWORD(kInstallerPathCapacity)) {
        session.installerPath[0] = '\0';
        ShowInstallError(INSTALL_ERROR_READ_INSTALLER);
        return OPEN_FAILED;
    }
    SplitSessionPath(session.installerPath);
    session.installerFile = StreamOpen(session.installerPath, STREAM_READ);
    if (!session.installerFile) {
        ShowInstallError(INSTALL_ERROR_READ_INSTALLER);
        return OPEN_FAILED;
    }
    ShowStatus(kScanning);
    ShowScanProgress();
    return OPEN_DONE;
}

// Bytes of a partial marker are held back until the next byte decides whether
// they begin an item or are ordinary data. False when a write failed.
static bool WriteHeldBack(int count)
{
    for (int i = 0; i < count; i++)
        if (!StreamPutByte(session.tempFile, uint8_t(session.marker[i])))
            return false;
    return true;
}

// A byte the temporary file did not take (a full disk, say) would leave the item
// short or placed incomplete: the run ends where it happens, as when the file
// cannot be created. The dialog's rollback then removes the file and what was placed.
static StepResult TempWriteFailed()
{
    CloseStream(session.installerFile);
    ShowInstallError(INSTALL_ERROR_CREATE_TEMP);
    return STEP_FAILED;
}

// The temporary directory's answer ends in a backslash; without a usable one
// (none, or one too long for the buffer) the root of c: takes the file.
static void ChooseTempPath()
{
    DWORD length = GetTempPathA(kPathCapacity, session.tempPath);
    if (length == 0 || length + sizeof(kTempFileName) > DWORD(kPathCapacity)) {
        memcpy(session.tempPath, kFallbackTempPath, sizeof(kFallbackTempPath));
        return;
    }
    memcpy(session.tempPath + length, kTempFileName, sizeof(kTempFileName));
}

// Closes the finished item's temporary file and has it placed.
static StepResult FinishItem()
{
    if (!CloseStream(session.tempFile))
        return TempWriteFailed();
    StepResult placed = PlaceExtractedFile();
    DeleteFileTwice(session.tempPath);
    return placed;
}

static StepResult BeginItem()
{
    ShowFileStatus();
    ChooseTempPath();
    session.tempFile = StreamOpen(session.tempPath, STREAM_WRITE);
    if (!session.tempFile)
        return TempWriteFailed();
    if (!StreamWrite(session.tempFile, session.marker, 4))
        return TempWriteFailed();
    return STEP_DONE;
}

static StepResult EndOfFile()
{
    ShowScanProgress();
    CloseStream(session.installerFile);
    if (session.tempFile) {
        if (!WriteHeldBack(session.matchLength))
            return TempWriteFailed();
        StepResult placed = FinishItem();
        if (placed != STEP_DONE)
            return placed;
    }
    if (session.checksum == expectedChecksumSlot.value)
        return STEP_DONE;
    Rollback();
    ShowInstallError(INSTALL_ERROR_BAD_CHECKSUM);
    return STEP_FAILED;
}

StepResult ScanStep()
{
    // A step that arrives after the run has closed the file (a late timer after an
    // abort or a soft failure) has nothing to read; it must not touch a closed stream.
    if (session.installerFile == NULL)
        return STEP_FAILED;
    for (;;) {
        int c = StreamGetByte(session.installerFile);
        session.lastByte = uint8_t(c);
        if (c == kStreamEnd) {
            if (StreamAtEnd(session.installerFile))
                return EndOfFile();
            // A read error never reaches the end of the file; going on would copy
            // the error value as data for ever.
            Rollback();
            ShowInstallError(INSTALL_ERROR_READ_INSTALLER);
            return STEP_FAILED;
        }
        uint8_t byte = session.lastByte;
        int held = 0;
        int matched = session.matchLength;
        MarkerEvent event = ScanByte(session.marker, session.tempFile != NULL, session.checksum, session.checksumWeight,
                                     matched, byte, held);
        session.matchLength = matched;
        if (event == MARKER_COMPLETE) {
            if (session.tempFile) {
                StepResult placed = FinishItem();
                if (placed != STEP_DONE) {
                    CloseStream(session.installerFile);
                    return placed;
                }
            }
            if (BeginItem() != STEP_DONE)
                return STEP_FAILED;
            session.matchLength = 0;
        } else if (event == MARKER_MISMATCH && session.tempFile) {
            if (!WriteHeldBack(held) || !StreamPutByte(session.tempFile, byte))
                return TempWriteFailed();
        }

        session.stepBytes += 1;
        if (session.stepBytes > kScanStepBytes - 1)
            break;
    }
    ShowScanProgress();
    session.stepBytes = 0;
    return STEP_MORE;
}
