// Writing an installer: stub, items and tail laid out with their alignment bytes,
// the payload checksum patched into the stub, streamed one item at a time into a
// file or into memory and scanned back before it counts as built.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "packer/files.h"
#include "packer/inputs.h"
#include "packer/scan_replay.h"
#include "packer/stored_item.h"

// What the packer writes: the stub, one alignment byte when the stub ends inside
// a partial marker, then the eleven items back to back (each followed by one
// alignment byte only when its last bytes would hide the next item's marker),
// then the tail: the seven letters "OvraEnd" and one adjust byte. The adjust byte
// is 0 unless the checksum written into the stub would itself spell (or expose)
// a marker there; the packer then picks the first value that avoids it.
constexpr uint8_t kAlignmentByte = 0x00;
constexpr char kTailText[] = "OvraEnd";
constexpr size_t kTailSize = 8;

// Lays out head, items and tail, adding an alignment byte wherever the matcher
// would otherwise still hold a partial marker when the next item starts.
// Fails (naming the item) if an item does not start with the marker or holds a
// second one, or the head holds one.
bool LayOutInstaller(const std::vector<uint8_t> &head, const std::vector<std::vector<uint8_t>> &items,
                     const std::vector<uint8_t> &tail, std::vector<uint8_t> &out, std::vector<size_t> &itemOffsets,
                     std::string &error);

struct BuildReport {
    std::vector<StoredItem> items;
    std::vector<size_t> itemOffsets;
    size_t headSize;  // stub plus its alignment byte, if any
    uint32_t checksum;
    uint64_t installerSize;
    // Nothing but S, Z and D follows the checksum slot in the stub, so the checksum
    // decides the alignment byte before the items: a first pass that writes
    // nowhere learned it, and the payload was encoded twice.
    bool slotPass;
};

// Where a build puts the installer: its bytes in order, a rewrite of four bytes
// already written (the checksum slot, known only after the payload), and reading
// back for the final check. `name` names the output in a write error.
struct InstallerSink {
    SzddWriteFn write;
    bool (*writeAt)(void *ctx, uint64_t offset, const uint8_t *data, size_t size);
    ReadAtFn readAt;
    void *ctx;
    std::string name;
};
InstallerSink MemorySink(std::vector<uint8_t> &installer);
InstallerSink FileSink(OutputFile &out);

// The build one item at a time: each input is read, encoded and written through
// the sink before the next is read; the checksum slot is patched at the end and
// the written installer scanned back. Memory follows the largest input, not the
// payload. A failed sink gives "cannot write 'NAME': write failed (disk full?)".
bool WriteInstaller(const std::vector<uint8_t> &stub, size_t inputCount, BuildInputFn input, void *inputCtx,
                    const std::vector<std::string> &inputNames, InstallerSink &sink, BuildReport &report,
                    std::string &error);

// The build from files to a file: inputs read one at a time, the installer
// written to a temporary file beside outPath and renamed over it only when
// sound; on any failure nothing is left behind.
bool BuildInstallerFile(const std::vector<uint8_t> &stub, const std::vector<std::string> &inputPaths,
                        const std::string &outPath, BuildReport &report, std::string &error);

// Stub plus eleven input files (table order, raw or SZDD) to a sound installer,
// all in memory (WriteInstaller into a MemorySink); report.items[i].bytes are filled.
bool BuildInstaller(const std::vector<uint8_t> &stub, const std::vector<std::vector<uint8_t>> &inputs,
                    const std::vector<std::string> &inputNames, std::vector<uint8_t> &installer, BuildReport &report,
                    std::string &error);
