// The publisher's packer as a library: the installer file layout, a scan that
// mirrors the installer's own byte for byte, and building, listing and unpacking
// installers. The command-line tool (packer/mksetup.cpp) only parses arguments.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "packer/compressor.h"
#include "packer/files.h"

// What the packer writes: the stub, one alignment byte when the stub ends inside
// a partial marker, then the eleven items back to back (each followed by one
// alignment byte only when its last bytes would hide the next item's marker),
// then the tail: the seven letters "OvraEnd" and one adjust byte. The adjust byte
// is 0 unless the checksum written into the stub would itself spell (or expose)
// a marker there; the packer then picks the first value that avoids it.
constexpr uint8_t kAlignmentByte = 0x00;
constexpr char kTailText[] = "OvraEnd";
constexpr size_t kTailSize = 8;

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
    ScanResult result;
    char marker[4];
    uint32_t weight;
    int matchLength;
    bool itemOpen;
    size_t step;
    size_t stepBytes;
    size_t consumed;
};
void BeginScan(ScanProgress &scan);
void ScanBytes(ScanProgress &scan, const uint8_t *data, size_t size);
void EndScan(ScanProgress &scan);

// The marker matcher run from a fresh state over some bytes.
struct MarkerRun {
    bool complete;        // a full marker was recognised
    size_t markerOffset;  // offset of its first byte
    int endMatch;         // matchLength left after the last byte (when no marker)
};
MarkerRun RunMarkerMatcher(const uint8_t *data, size_t size);

// True when the four marker bytes occur anywhere, matcher rule or not.
bool ContainsMarkerBytes(const uint8_t *data, size_t size);

// Lays out head, items and tail, adding an alignment byte wherever the matcher
// would otherwise still hold a partial marker when the next item starts.
// Fails (naming the item) if an item does not start with the marker or holds a
// second one, or the head holds one.
bool LayOutInstaller(const std::vector<uint8_t> &head, const std::vector<std::vector<uint8_t>> &items,
                     const std::vector<uint8_t> &tail, std::vector<uint8_t> &out,
                     std::vector<size_t> &itemOffsets, std::string &error);

// Compresses so that the output holds no marker after its own: bans the token
// behind an unlucky byte (or shifts a flag byte) and compresses again, keeping
// the smallest result. optimalSize gets the unconstrained size.
bool CompressWithoutMarker(const uint8_t *in, size_t size, std::vector<uint8_t> &out,
                           size_t &optimalSize, size_t &bansUsed, std::string &error);

struct StoredItem {
    std::vector<uint8_t> bytes;  // filled by PrepareItem and BuildInstaller; a build to a file keeps only sizes
    size_t storedSize;
    bool embeddedAsIs;   // the input already was an SZDD file and is kept as it is
    size_t optimalSize;  // size without the marker constraint
    size_t bansUsed;
    size_t expandedSize;
};

// True when the input is exactly one complete SZDD stream in mode 'A': its data
// expands to the header's length and nothing follows it. expanded gets the content.
bool IsOneSoundSzddStream(const std::vector<uint8_t> &input, std::vector<uint8_t> &expanded);
// Why the input is not one sound stream, in words; empty when it is.
std::string SzddStreamProblem(const std::vector<uint8_t> &input, std::vector<uint8_t> &expanded);

// Writes one input file's stored item (see PrepareItem) to a writer, keeping
// nothing of it: item.bytes stays empty.
bool WriteStoredItem(const std::vector<uint8_t> &input, const std::string &name, SzddWriteFn write, void *ctx,
                     StoredItem &item, std::string &error);

// Turns one input file into its stored item: a sound SZDD stream is kept as it
// is (or its content encoded again when its bytes hold a second marker); any
// other file is compressed as data. A file that starts like a compressed file
// but is not one sound stream (streams back to back, cut short) is refused with
// the reason: as data its first bytes spell the marker, which nothing avoids.
// `name` is used in error messages.
bool PrepareItem(const std::vector<uint8_t> &input, const std::string &name, StoredItem &item,
                 std::string &error);

// The expected-checksum slot of an installer program: offset of its value.
bool FindChecksumSlot(const uint8_t *file, size_t size, size_t &valueOffset, std::string &error);

// Writes value into the slot; false when the new bytes, next to their
// neighbours, spell the item marker (the build then moves the checksum).
bool PatchChecksumSlot(std::vector<uint8_t> &program, size_t valueOffset, uint32_t value);

struct BuildReport {
    std::vector<StoredItem> items;
    std::vector<size_t> itemOffsets;
    size_t headSize;  // stub plus its alignment byte, if any
    uint32_t checksum;
    uint8_t tailAdjust;
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
    bool (*readAt)(void *ctx, uint64_t offset, uint8_t *data, size_t size);
    void *ctx;
    std::string name;
};
InstallerSink MemorySink(std::vector<uint8_t> &installer);
InstallerSink FileSink(OutputFile &out);

// Hands the build input `index`; `bytes` stays valid until the next call. The
// build asks for the inputs in order, so only one need be held at a time (twice
// over when the checksum decides the program's alignment byte: see slotPass).
typedef bool (*BuildInputFn)(void *ctx, size_t index, const std::vector<uint8_t> *&bytes, std::string &error);

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
                    const std::vector<std::string> &inputNames, std::vector<uint8_t> &installer,
                    BuildReport &report, std::string &error);

struct ListedItem {
    size_t offset;
    size_t size;        // bytes the installer copies for it (alignment and tail included)
    size_t storedSize;  // the SZDD file itself: header and compressed data; 0 when damaged
    uint32_t expandedSize;
    bool expands;
};

struct InstallerInfo {
    ScanResult scan;
    std::vector<ListedItem> items;
    bool haveSlot;
    uint32_t expectedChecksum;
    size_t programEnd;
    bool markerInHead;
};

// Fills info as far as the file allows; returns true only for a sound installer
// (eleven items that expand, no marker in the head, checksum matching the
// program's constant). Otherwise `problem` says what is wrong.
bool InspectInstaller(const uint8_t *file, size_t size, InstallerInfo &info, std::string &problem);

// An installer to inspect: in memory (data) or read from an open file as needed,
// so that listing and unpacking need memory independent of its size.
// list and extract read a program's headers from at most its first 16 MiB; a
// real one is far smaller.
constexpr size_t kLargestProgram = size_t(16) << 20;

struct InstallerSource {
    const uint8_t *data;  // used when file is null
    std::FILE *file;
    uint64_t size;
};
bool ReadInstallerAt(const InstallerSource &src, uint64_t offset, uint8_t *buf, size_t n);
bool InspectInstallerSource(const InstallerSource &src, InstallerInfo &info, std::string &problem);
// Expands one listed item into the writer; returns the SzddExpand result.
long ExpandInstallerItem(const InstallerSource &src, const ListedItem &item, SzddWriteFn write, void *ctx);

// The eleven expanded files of a sound installer, in table order.
bool ExtractInstaller(const uint8_t *file, size_t size, std::vector<std::vector<uint8_t>> &files,
                      std::string &error);

// What an SzddError means, in words for a message.
std::string SzddErrorText(long code);

// The build's SOURCE arguments: one folder holding the table's names, or
// eleven files in table order. ListInputs only names them; CheckInputs opens
// each (regular file, size within the format) without reading it, so that both
// come before any work. The build then reads them one at a time.
bool ListInputs(const std::vector<std::string> &sources, std::vector<std::string> &paths, std::string &error);
bool CheckInputs(const std::vector<std::string> &paths, std::string &error);
