// The payload scan: reads the installer's own file in steps of 7001 bytes, copies
// each embedded item into the temporary file, has it placed, and checks the checksum.
#include <cstring>

#include "engine/session.h"
#include "resources/resource.h"
#include "ui/messages.h"

static const char kReadProblem[] =
    "There seems to be a problem reading the installation file.\n\n"
    "Please try running the installation program again!";
static const char kExtractProblem[] =
    "There seems to be a problem extracting files from the installation file.\n\n"
    "Please try running the installation program again!";
static const char kCorruptInstaller[] =
    "The installation file seems to be corrupt!\n\n"
    "Please try running the installation program again or download a new version!";
static const char kTempFileName[] = "ovra.tmp";
static const char kFallbackTempPath[] = "c:\\ovra.tmp";

int OpenInstallerFile()
{
    DWORD length = GetModuleFileNameA(NULL, session.installerPath, kInstallerPathCapacity);
    // A path cut at the buffer's end would name some other file.
    if (length == 0 || length >= DWORD(kInstallerPathCapacity)) {
        session.installerPath[0] = '\0';
        ShowInstallError(9, kReadProblem);
        return 0;
    }
    SplitSessionPath(session.installerPath);
    session.installerFile = fopen(session.installerPath, "rb");
    if (!session.installerFile) {
        ShowInstallError(9, kReadProblem);
        return 0;
    }
    SetDlgItemTextA(session.dialogWindow, IDC_STATUS_LINE, "Scanning files...");
    PaintProgress(NULL, session.installerFile);
    return 1;
}

// Bytes of a partial marker are held back until the next byte decides whether
// they begin an item or are ordinary data.
static void WriteHeldBack(int count)
{
    for (int i = 0; i < count; i++)
        fputc(session.marker[i], session.tempFile);
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

static void CloseInstallerFile()
{
    if (session.installerFile) {
        fclose(session.installerFile);
        session.installerFile = NULL;
    }
}

// Closes the finished item's temporary file and has it placed.
static int FinishItem()
{
    fclose(session.tempFile);
    session.tempFile = NULL;
    int placed = PlaceExtractedFile();
    DeleteFileTwice(session.tempPath);
    return placed;
}

static int BeginItem()
{
    ShowFileStatus();
    ChooseTempPath();
    session.tempFile = fopen(session.tempPath, "wb");
    if (!session.tempFile) {
        CloseInstallerFile();
        ShowInstallError(11, kExtractProblem);
        return STEP_FAILED;
    }
    fwrite(session.marker, 1, 4, session.tempFile);
    return STEP_DONE;
}

static int EndOfFile()
{
    PaintProgress(NULL, session.installerFile);
    CloseInstallerFile();
    if (session.tempFile) {
        WriteHeldBack(session.matchLength);
        int placed = FinishItem();
        if (placed != STEP_DONE)
            return placed;
    }
    if (session.checksum == expectedChecksumSlot.value)
        return STEP_DONE;
    Rollback();
    ShowInstallError(13, kCorruptInstaller);
    return STEP_FAILED;
}

int ScanStep()
{
    // A step that arrives after the run has closed the file (a late timer after an
    // abort or a soft failure) has nothing to read; it must not touch a closed stream.
    if (session.installerFile == NULL)
        return STEP_FAILED;
    for (;;) {
        int c = fgetc(session.installerFile);
        session.lastByte = uint8_t(c);
        if (c == EOF) {
            if (feof(session.installerFile))
                return EndOfFile();
            // A read error never reaches the end of the file; going on would copy
            // the error value as data for ever.
            Rollback();
            ShowInstallError(9, kReadProblem);
            return STEP_FAILED;
        }
        uint8_t byte = session.lastByte;
        if (session.tempFile)
            ChecksumAddByte(session.checksum, session.checksumWeight, byte);

        int held = 0;
        int matched = session.matchLength;
        MarkerEvent event = MatchMarkerByte(session.marker, matched, byte, held);
        session.matchLength = matched;
        if (event == MARKER_COMPLETE) {
            if (session.tempFile) {
                int placed = FinishItem();
                if (placed != STEP_DONE) {
                    CloseInstallerFile();
                    return placed;
                }
            }
            if (BeginItem() != STEP_DONE)
                return STEP_FAILED;
            session.matchLength = 0;
        } else if (event == MARKER_MISMATCH && session.tempFile) {
            WriteHeldBack(held);
            fputc(byte, session.tempFile);
        }

        session.stepBytes += 1;
        if (session.stepBytes > kScanStepBytes - 1)
            break;
    }
    PaintProgress(NULL, session.installerFile);
    session.stepBytes = 0;
    return STEP_MORE;
}
