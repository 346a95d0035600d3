// The packer's replay of the installer's scan over arbitrary installer files: the
// items it finds tile the file from the first marker on, each starts with the marker,
// the step count is the installer's, and the checksum is the weighted sum that an
// independent loop computes over the same bytes.
#include <cstdint>
#include <vector>

#include "format/payload.h"
#include "tests/fuzz/fuzz_check.h"
#include "packer/scan_replay.h"

// The installer reads its file 7001 bytes a step.
static const size_t kStepBytes = 7001;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ScanResult scan;
    SimulateScan(data, size, scan);
    FUZZ_CHECK(scan.steps == size / kStepBytes + 1, "%zu steps for %zu bytes", scan.steps, size);

    char marker[4];
    BuildMarker(marker);
    if (scan.items.empty()) {
        FUZZ_CHECK(scan.checksum == 0, "checksum %08x without an item", unsigned(scan.checksum));
        FUZZ_CHECK(!RunMarkerMatcher(data, size).complete, "the matcher sees a marker the scan missed");
        return 0;
    }
    MarkerRun first = RunMarkerMatcher(data, size);
    FUZZ_CHECK(first.complete && first.markerOffset == scan.items[0].offset, "first item at %zu, matcher says %zu",
               scan.items[0].offset, first.markerOffset);

    size_t expectedOffset = scan.items[0].offset;
    for (const ScanItem &item : scan.items) {
        FUZZ_CHECK(item.offset == expectedOffset, "item at %zu, previous ended at %zu", item.offset, expectedOffset);
        FUZZ_CHECK(item.size >= 4 && item.offset + item.size <= size, "item %zu+%zu of %zu", item.offset, item.size,
                   size);
        for (int i = 0; i < 4; i++)
            FUZZ_CHECK(data[item.offset + i] == uint8_t(marker[i]), "item at %zu does not start with the marker",
                       item.offset);
        FUZZ_CHECK(item.step == (item.offset + 3) / kStepBytes, "marker ending at %zu completed in step %zu",
                   item.offset + 3, item.step);
        expectedOffset = item.offset + item.size;
    }
    FUZZ_CHECK(expectedOffset == size, "items end at %zu of %zu", expectedOffset, size);

    // Weights 1, 2, 3 add and 4 subtracts, over every byte after the first marker.
    uint32_t checksum = 0;
    unsigned weight = 1;
    for (size_t i = scan.items[0].offset + 4; i < size; i++) {
        if (weight == 4)
            checksum -= 4u * data[i];
        else
            checksum += weight * data[i];
        weight = weight % 4 + 1;
    }
    FUZZ_CHECK(checksum == scan.checksum, "replay %08x, independent %08x", unsigned(scan.checksum), unsigned(checksum));
    return 0;
}
