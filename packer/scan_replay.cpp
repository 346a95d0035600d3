// The packer's replay of the installer's scan, byte for byte by the shared rule
// in format/payload.h, and the marker matcher over loose bytes.
#include "packer/scan_replay.h"

#include <algorithm>

void BeginScan(ScanProgress &scan)
{
    scan = ScanProgress{};
    BeginScanState(scan.state);
}

void ScanBytes(ScanProgress &scan, const uint8_t *data, size_t size)
{
    ScanState &s = scan.state;
    std::vector<ScanItem> &items = scan.result.items;
    for (size_t k = 0; k < size; ++k) {
        size_t pos = scan.consumed + k;
        int held = 0;
        if (ScanByte(s.marker, s.itemOpen, s.checksum, s.checksumWeight, s.matchLength, data[k], held) ==
            MARKER_COMPLETE) {
            size_t start = pos + 1 - 4;
            if (s.itemOpen)
                items.back().size = start - items.back().offset;
            items.push_back(ScanItem{start, 0, scan.step});
            s.itemOpen = true;
        }
        if (++s.stepBytes == kScanStepBytes) {
            ++scan.step;
            s.stepBytes = 0;
        }
    }
    scan.consumed += size;
}

void EndScan(ScanProgress &scan)
{
    if (scan.state.itemOpen)
        scan.result.items.back().size = scan.consumed - scan.result.items.back().offset;
    scan.result.checksum = scan.state.checksum;
    scan.result.steps = scan.step + 1;
}

void SimulateScan(const uint8_t *data, size_t size, ScanResult &result)
{
    ScanProgress scan;
    BeginScan(scan);
    ScanBytes(scan, data, size);
    EndScan(scan);
    result = scan.result;
}

bool ScanReadBack(ReadAtFn readAt, void *ctx, uint64_t size, ScanResult &result)
{
    ScanProgress scan;
    BeginScan(scan);
    std::vector<uint8_t> buf(kScanChunk);
    for (uint64_t at = 0; at < size; at += kScanChunk) {
        size_t n = size_t(std::min<uint64_t>(kScanChunk, size - at));
        if (!readAt(ctx, at, buf.data(), n))
            return false;
        ScanBytes(scan, buf.data(), n);
    }
    EndScan(scan);
    result = scan.result;
    return true;
}

MarkerRun ContinueMatcher(int &matchLength, const uint8_t *data, size_t size)
{
    char marker[4];
    BuildMarker(marker);
    for (size_t i = 0; i < size; ++i) {
        int held = 0;
        if (MatchMarkerByte(marker, matchLength, data[i], held) == MARKER_COMPLETE)
            return MarkerRun{true, i + 1 - 4, 0};
    }
    return MarkerRun{false, 0, matchLength};
}

MarkerRun RunMarkerMatcher(const uint8_t *data, size_t size)
{
    int matchLength = 0;
    return ContinueMatcher(matchLength, data, size);
}

bool ContainsMarkerBytes(const uint8_t *data, size_t size)
{
    char marker[4];
    BuildMarker(marker);
    const uint8_t *end = data + size;
    return size >= 4 &&
           std::search(data, end, marker, marker + 4, [](uint8_t a, char b) { return a == uint8_t(b); }) != end;
}

std::string ItemLabel(size_t index)
{
    const char *name = PayloadItemName(int(index));
    return "item " + std::to_string(index) + " (" + (name ? name : "no table name") + ")";
}
