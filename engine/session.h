// The Install session: the one process-wide record of an installation run, and
// the engine operations that work on it, grouped by the file that owns them.
#pragma once
#include <windows.h>
#include <cstdint>
#include <cstdio>

#include "engine/display.h"
#include "format/payload.h"

constexpr int kPathCapacity = 300;       // terminator included: at most 299 characters
constexpr int kInstallerPathCapacity = 899;
constexpr int kPathPartCapacity = 256;   // directory, name and extension parts

// Small integer results of engine operations; every failure is reported where it
// happens, so callers only decide whether to roll back, return to idle or end.
enum StepResult {
    STEP_FAILED = 0,        // failed and reported; the run ends
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

struct InstallSession {
    char destinationDir[kPathCapacity];
    char scratch[kPathCapacity];
    char installerPath[kInstallerPathCapacity];
    char pathDrive[3];
    char pathDir[kPathPartCapacity];
    char pathName[kPathPartCapacity];
    char pathExt[kPathPartCapacity];
    char tempPath[kPathCapacity];
    char targetPath[kPathCapacity];
    char backupDir[kPathCapacity];
    char savedSettingsPath[kPathCapacity];
    int32_t placedCount;
    int32_t settingsDecision;  // 0 not asked, 1 keep settings, 2 replace them
    bool makeBackups;
    bool addIcons;
    bool createdDestination;
    bool abortRequested;
    bool newShell;
    HWND dialogWindow;
    FILE *installerFile;
    FILE *tempFile;
    char marker[4];
    int32_t matchLength;
    uint8_t lastByte;
    int32_t stepBytes;
    uint32_t checksum;
    uint32_t checksumWeight;
    int32_t installerSize;
    int32_t progressPixels;
    INT expandSource;
    INT expandTarget;
    int32_t expandResult;
    // Items whose existing target was kept rather than expanded: the user's own
    // files, which Rollback must never delete.
    bool keptTarget[11];
};

extern InstallSession session;

// engine/checksum_slot.cpp: the expected payload checksum, rewritten by the packer.
extern volatile ChecksumSlot expectedChecksumSlot;

// engine/session.cpp
void ResetSession();
void PayloadTargetPath(char *buffer, int index);  // buffer of kPathCapacity
long InstallerFileSize(FILE *stream);
// Splits a path into the session's pathDrive/pathDir/pathName/pathExt.
void SplitSessionPath(const char *path);

// Closes a stream if it is open and forgets it.
void CloseStream(FILE *&stream);

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
