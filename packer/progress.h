// The build's progress as it goes: which item is being packed, how far the
// encoding of a large one has come, and what it became. A process-wide record:
// the writer and the compressor report into it, and whoever shows progress
// (mksetup) sets the listener; left empty, nothing is reported.
#pragma once
#include <cstddef>
#include <cstdint>

struct StoredItem;

// The passes over one input, in the order they run. Each has a fixed share of
// the item's percentage, measured on text-like data (matches and parse take
// nearly all of the time).
enum WorkStage {
    WORK_MATCHES,        // the longest match at every position
    WORK_PARSE_FORWARD,  // the shortest path over the token costs
    WORK_PARSE_BACK,     // walking the choices back
    WORK_SOURCES,        // the match sources found again
    WORK_WRITE,          // the tokens written out
};

struct ProgressListener {
    void (*itemStarted)(size_t index, uint64_t bytesIn);
    // How far the open item's encoding has come, in thousandths; called only
    // when the value has changed.
    void (*itemWork)(unsigned permille);
    void (*itemDone)(size_t index, const StoredItem &item);
};
extern ProgressListener progressListener;

// For the passes: `done` of the stage's `total` positions have been passed.
// Cheap when nothing listens; callers still call it only every kProgressStep positions.
constexpr size_t kProgressStep = 65536;
void ReportWork(WorkStage stage, uint64_t done, uint64_t total);
// The writer, around each item it writes (not during a pass that only counts).
void ReportItemStarted(size_t index, uint64_t bytesIn);
void ReportItemDone(size_t index, const StoredItem &item);
