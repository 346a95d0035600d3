// The packer's replay of the installer's scan: where the installer will find each
// item and what checksum it will compute, and the marker matcher over loose bytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format/payload.h"

// One item as the installer's scan sees it: the bytes that go into its
// temporary file (marker, data, alignment, and for the last item the tail).
struct ScanItem {
    size_t offset;
    size_t size;
    size_t step;  // 0-based scan step in which its marker completed
};

struct ScanResult {
    std::vector<ScanItem> items;
    uint32_t checksum;
    size_t steps;  // ScanStep calls up to and including the one that meets the end of file
};

// Replays the installer's scan over a whole file.
void SimulateScan(const uint8_t *data, size_t size, ScanResult &result);

// The same scan fed piece by piece, for files read in chunks.
struct ScanProgress {
    ScanResult result;  // checksum and steps are set by EndScan
    ScanState state;
    size_t step;
    size_t consumed;
};
void BeginScan(ScanProgress &scan);
void ScanBytes(ScanProgress &scan, const uint8_t *data, size_t size);
void EndScan(ScanProgress &scan);

// Pieces in which installers are read back and scanned.
constexpr size_t kScanChunk = 65536;

// Reads `size` bytes at `offset` of an installer being read back.
typedef bool (*ReadAtFn)(void *ctx, uint64_t offset, uint8_t *data, size_t size);

// The scan over the first `size` bytes of an installer read back in pieces;
// false when a read fails.
bool ScanReadBack(ReadAtFn readAt, void *ctx, uint64_t size, ScanResult &result);

// The marker matcher run from a fresh state over some bytes.
struct MarkerRun {
    bool complete;        // a full marker was recognised
    size_t markerOffset;  // offset of its first byte
    int endMatch;         // matchLength left after the last byte (when no marker)
};
MarkerRun RunMarkerMatcher(const uint8_t *data, size_t size);

// The matcher continued from matchLength over some bytes.
MarkerRun ContinueMatcher(int &matchLength, const uint8_t *data, size_t size);

// True when the four marker bytes occur anywhere, matcher rule or not.
bool ContainsMarkerBytes(const uint8_t *data, size_t size);

// An item as messages name it: its place in scan order and its table name.
std::string ItemLabel(size_t index);
