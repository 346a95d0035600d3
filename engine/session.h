// The Install session: the one process-wide record of an installation run, and
// the engine operations that work on it, grouped by the file that owns them.
#pragma once
#include <windows.h>
#include <cstdint>

#include "engine/display.h"
#include "format/payload.h"
#include "runtime/stream.h"

constexpr int kPathCapacity = 300;  // terminator included: at most 299 characters
constexpr int kInstallerPathCapacity = 899;
constexpr int kPathPartCapacity = 256;  // directory, name and extension parts

// Small integer results of engine operations; every failure is reported where it
// happens, so callers only decide whether to roll back, return to idle or end.
enum StepResult {
    STEP_FAILED = 0,  // failed and reported; the run ends
    STEP_DONE = 1,
    STEP_SOFT_FAILURE = 2,  // failed softly and reported; the dialog returns to idle
    STEP_MORE = 3,          // ScanStep: more to do
};

// OpenInstallerFile: a failure ends the run without a rollback.
enum OpenResult {
    OPEN_FAILED = 0,  // reported
    OPEN_DONE = 1,
};

// PrepareTarget: what placing an item over its target may go on with.
enum PrepareResult {
    PREPARE_FAILED = 0,
    PREPARE_READY = 1,         // the target may be (re)written
    PREPARE_SOFT_FAILURE = 2,  // reported; the dialog returns to idle
    PREPARE_KEPT = 3,          // the existing target stays (the user's settings)
};

// Flat on purpose: every part of the installer names the same fields, and
// ResetSession says in one place what a new run starts from.
struct InstallSession {
    // What the user chose and where the run reports: set by the Install dialog and
    // the shell; a reset leaves them alone.
    char destinationDir[kPathCapacity];  // also the Directory chooser's work buffer
    bool makeBackups;
    bool addIcons;
    bool newShell;      // shell generation, decided once at start-up
    HWND dialogWindow;  // owns every engine message box; the display draws on it

    // Work buffers: nothing in them is relied on from one operation to the next,
    // apart from the path parts of an item, split when it begins and named when it is placed.
    char scratch[kPathCapacity];
    char pathDrive[3];
    char pathDir[kPathPartCapacity];
    char pathName[kPathPartCapacity];
    char pathExt[kPathPartCapacity];

    // The files of the run.
    char installerPath[kInstallerPathCapacity];
    char tempPath[kPathCapacity];
    char targetPath[kPathCapacity];
    char backupDir[kPathCapacity];          // ends in a backslash; empty until the first backup
    char savedSettingsPath[kPathCapacity];  // the settings file set aside by this placement

    // What the run has done so far, and so what Rollback undoes.
    int32_t placedCount;       // items placed; also the index of the next one
    int32_t settingsDecision;  // 0 not asked, 1 keep settings, 2 replace them
    bool createdDestination;
    bool abortRequested;  // no scan step runs while it is set
    // Items whose existing target was kept rather than expanded: the user's own
    // files, which Rollback must never delete.
    bool keptTarget[11];

    // The scan: both streams, the marker match and the payload checksum.
    ByteStream *installerFile;
    ByteStream *tempFile;
    char marker[4];
    int32_t matchLength;
    uint8_t lastByte;
    int32_t stepBytes;
    uint32_t checksum;
    uint32_t checksumWeight;

    // The Progress bar: the size the scan measures once per run, and the filled
    // width that only the display computes (ShowProgress).
    int32_t installerSize;
    int32_t progressPixels;

    // One expansion into a target (0 when idle).
    // These and lastByte matter only within one call, yet stay here: a run's whole state in one record.
    INT expandSource;
    INT expandTarget;
    int32_t expandResult;
};

extern InstallSession session;

// engine/checksum_slot.cpp: the expected payload checksum, rewritten by the packer.
extern volatile ChecksumSlot expectedChecksumSlot;

// engine/session.cpp
void ResetSession();
void PayloadTargetPath(char *buffer, int index);  // buffer of kPathCapacity
long InstallerFileSize(ByteStream *stream);
// Splits a path into the session's pathDrive/pathDir/pathName/pathExt.
void SplitSessionPath(const char *path);

// Closes a stream if it is open and forgets it; false when bytes still waiting in
// it could not be written.
bool CloseStream(ByteStream *&stream);

// engine/destination.cpp
StepResult CreateDestination();  // STEP_DONE or STEP_SOFT_FAILURE
void Rollback();
// Clean-up deletions are tried once more and never reported.
void DeleteFileTwice(const char *path);

// engine/placement.cpp
StepResult PlaceExtractedFile();  // STEP_DONE, STEP_FAILED or STEP_SOFT_FAILURE
PrepareResult PrepareTarget(const char *target);
StepResult ExpandFile(const char *source, const char *target);  // STEP_DONE or STEP_FAILED

// engine/scanner.cpp
OpenResult OpenInstallerFile();
StepResult ScanStep();
// The status line for item placedCount, composed here: "Extracting file: " and its
// name once the Progress bar has moved, "Scanning files..." before.
void ShowFileStatus();
// Moves the Progress bar to installerFile's read position; the file's size is
// measured at the first call after a reset.
void ShowScanProgress();
