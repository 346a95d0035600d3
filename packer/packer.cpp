// The packer's library: installer layout, the replayed scan, marker avoidance
// in compressed items, the checksum slot, and build/list/extract.
#include "packer/packer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "format/byte_order.h"
#include "format/payload.h"
#include "packer/compressor.h"
#include "packer/files.h"
#include "packer/pe_section.h"

namespace fs = std::filesystem;

namespace {

std::string Hex32(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(v));
    return text;
}

std::string ItemLabel(size_t index)
{
    const char *name = PayloadItemName(int(index));
    return "item " + std::to_string(index) + " (" + (name ? name : "no table name") + ")";
}

// Continues the matcher from matchLength over some bytes.
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

// Pieces in which installers are read back and scanned.
constexpr size_t kChunk = 65536;

// Writers take a long; whole items go in pieces that fit one on any platform.
constexpr size_t kWritePiece = size_t(1) << 20;

bool WriteAllTo(SzddWriteFn write, void *ctx, const uint8_t *data, size_t size)
{
    while (size > 0) {
        long n = long(std::min(size, kWritePiece));
        if (write(ctx, data, n) != n)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

long CountOnly(void *ctx, const uint8_t *, long n)
{
    *static_cast<uint64_t *>(ctx) += uint64_t(n);
    return n;
}

// Why the bytes are not one sound stream; empty when they are. The expansion
// goes into `expanded` when given, otherwise it is only counted: checking a
// large compressed input then costs no copy of its content.
std::string StreamProblem(const uint8_t *in, size_t size, std::vector<uint8_t> *expanded, uint64_t &expandedSize)
{
    expandedSize = 0;
    if (!SzddHasMagic(in, size))
        return "it is no compressed file";
    SzddMemorySource reader{in, size, 0};
    unsigned long long consumed = 0;
    long result = expanded != nullptr ? SzddExpandCounted(SzddReadMemory, &reader, SzddWriteToVector, expanded, consumed)
                                      : SzddExpandCounted(SzddReadMemory, &reader, CountOnly, &expandedSize, consumed);
    if (expanded != nullptr)
        expandedSize = expanded->size();
    if (result < 0)
        return "it starts like a compressed file, but " + SzddErrorText(result);
    if (consumed < size)
        return "it holds a compressed file of " + std::to_string(consumed) + " bytes followed by " +
               std::to_string(size - consumed) + " more bytes (compressed files back to back?)";
    return "";
}

std::string MarkerFreeProblem(SzddMarkerFreeStatus status, const SzddMarkerFreeReport &report)
{
    std::string at = "offset " + std::to_string(report.markerInput);
    switch (status) {
    case SZDD_MARKER_FREE:
        return "";
    case SZDD_MARKER_TOO_LARGE:
        return "too large for the compressed-file format (at most 4294967295 bytes)";
    case SZDD_MARKER_SEARCH_LIMIT:
        return "its compressed form spells the item marker near " + at +
               ", and the only encodings without it differ over more than " +
               std::to_string(kSzddLargestRepairSpan) + " bytes, more than mksetup searches";
    case SZDD_MARKER_WRITE_FAILED:
        return "write failed (disk full?)";
    case SZDD_MARKER_UNAVOIDABLE:
        break;
    }
    return "no compressed form of this file avoids the item marker letters (near " + at +
           "): the installer ends an item wherever its bytes spell them, and the data around them "
           "leaves no other choice of tokens or flag bytes (uncompressible bytes, or the letters at the very "
           "start). Change the file near that offset, or pack it inside an archive of its own";
}

// The installer as it is written: head, then each item's bytes as they pass
// (checked against the marker rule and summed into the payload checksum on
// their way to the sink), then the tail. Nothing here holds an item.
struct LayoutState {
    InstallerSink *sink;
    char marker[4];
    uint64_t written;       // installer bytes so far
    uint64_t payloadBytes;  // from the first item's marker on
    uint32_t checksum;
    uint32_t weight;
    bool itemOpen;
    size_t item;
    uint64_t itemBytes;
    int matchLength;  // the matcher over the open item from its fifth byte
    bool writeFailed;
    std::string refusal;
    std::vector<size_t> itemOffsets;
};

void BeginLayout(LayoutState &s, InstallerSink &sink)
{
    s.sink = &sink;
    BuildMarker(s.marker);
    s.written = 0;
    s.payloadBytes = 0;
    s.checksum = 0;
    s.weight = 1;
    s.itemOpen = false;
    s.item = 0;
    s.itemBytes = 0;
    s.matchLength = 0;
    s.writeFailed = false;
    s.refusal.clear();
    s.itemOffsets.clear();
}

bool SinkWrite(LayoutState &s, const uint8_t *data, size_t size)
{
    if (!WriteAllTo(s.sink->write, s.sink->ctx, data, size)) {
        s.writeFailed = true;
        return false;
    }
    s.written += size;
    return true;
}

// The checksum counts every byte after the first item's marker.
void SumPayload(const uint8_t *data, size_t size, uint64_t &payloadBytes, uint32_t &checksum, uint32_t &weight)
{
    size_t k = payloadBytes < 4 ? size_t(std::min<uint64_t>(4 - payloadBytes, size)) : 0;
    for (; k < size; ++k)
        ChecksumAddByte(checksum, weight, data[k]);
    payloadBytes += size;
}

bool WriteHead(LayoutState &s, const uint8_t *head, size_t size, bool align)
{
    return SinkWrite(s, head, size) && (!align || SinkWrite(s, &kAlignmentByte, 1));
}

// An item whose last bytes leave the matcher inside a partial marker would
// swallow the next item's marker: one alignment byte breaks it.
bool StartItem(LayoutState &s, size_t index)
{
    if (s.itemOpen && s.matchLength != 0) {
        SumPayload(&kAlignmentByte, 1, s.payloadBytes, s.checksum, s.weight);
        if (!SinkWrite(s, &kAlignmentByte, 1))
            return false;
    }
    s.itemOffsets.push_back(size_t(s.written));
    s.itemOpen = true;
    s.item = index;
    s.itemBytes = 0;
    s.matchLength = 0;
    return true;
}

// The writer the item's encoder writes through (and the tail after the last item).
long PassItemBytes(void *ctx, const uint8_t *buf, long n)
{
    LayoutState &s = *static_cast<LayoutState *>(ctx);
    for (long k = 0; k < n; ++k, ++s.itemBytes) {
        if (s.itemBytes < 4) {
            if (buf[k] != uint8_t(s.marker[s.itemBytes])) {
                s.refusal = ItemLabel(s.item) + " does not start with the item marker";
                return -1;
            }
            continue;
        }
        int held = 0;
        if (MatchMarkerByte(s.marker, s.matchLength, buf[k], held) == MARKER_COMPLETE) {
            s.refusal = ItemLabel(s.item) + " holds a second marker, which the installer would take for a new item";
            return -1;
        }
    }
    SumPayload(buf, size_t(n), s.payloadBytes, s.checksum, s.weight);
    return SinkWrite(s, buf, size_t(n)) ? n : -1;
}

bool EndItem(LayoutState &s)
{
    if (s.itemBytes < 4) {
        s.refusal = ItemLabel(s.item) + " does not start with the item marker";
        return false;
    }
    return true;
}

// The tail continues the last item for the matcher: it must not complete a marker there either.
bool WriteTail(LayoutState &s, const uint8_t *tail, size_t size)
{
    if (!s.itemOpen)
        return SinkWrite(s, tail, size);
    return WriteAllTo(PassItemBytes, &s, tail, size);
}

}  // namespace

std::string SzddErrorText(long code)
{
    switch (code) {
    case SZDD_ERR_READ: return "the file could not be read";
    case SZDD_ERR_WRITE: return "the output could not be written";
    case SZDD_ERR_SHORT_HEADER: return "its header is cut short";
    case SZDD_ERR_BAD_MODE: return "its compression mode is not 'A'";
    case SZDD_ERR_TRUNCATED: return "its compressed data ends before the length its header states";
    case SZDD_ERR_BAD_ARGUMENT: return "bad argument";
    case SZDD_ERR_TOO_LARGE: return "its stated length is too large";
    default: return "unknown error " + std::to_string(code);
    }
}

void BeginScan(ScanProgress &scan)
{
    BuildMarker(scan.marker);
    scan.result.items.clear();
    scan.result.checksum = 0;
    scan.result.steps = 0;
    scan.weight = 1;
    scan.matchLength = 0;
    scan.itemOpen = false;
    scan.step = 0;
    scan.stepBytes = 0;
    scan.consumed = 0;
}

void ScanBytes(ScanProgress &scan, const uint8_t *data, size_t size)
{
    ScanResult &result = scan.result;
    for (size_t k = 0; k < size; ++k) {
        size_t pos = scan.consumed + k;
        int held = 0;
        if (ScanByte(scan.marker, scan.itemOpen, result.checksum, scan.weight, scan.matchLength, data[k], held) ==
            MARKER_COMPLETE) {
            size_t start = pos + 1 - 4;
            if (scan.itemOpen)
                result.items.back().size = start - result.items.back().offset;
            result.items.push_back(ScanItem{start, 0, scan.step});
            scan.itemOpen = true;
        }
        if (++scan.stepBytes == size_t(kScanStepBytes)) {
            ++scan.step;
            scan.stepBytes = 0;
        }
    }
    scan.consumed += size;
}

void EndScan(ScanProgress &scan)
{
    if (scan.itemOpen)
        scan.result.items.back().size = scan.consumed - scan.result.items.back().offset;
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
    return size >= 4 && std::search(data, end, marker, marker + 4,
                                    [](uint8_t a, char b) { return a == uint8_t(b); }) != end;
}

bool LayOutInstaller(const std::vector<uint8_t> &head, const std::vector<std::vector<uint8_t>> &items,
                     const std::vector<uint8_t> &tail, std::vector<uint8_t> &out,
                     std::vector<size_t> &itemOffsets, std::string &error)
{
    out.clear();
    itemOffsets.clear();
    MarkerRun headRun = RunMarkerMatcher(head.data(), head.size());
    if (headRun.complete) {
        error = "the program holds the item marker at offset " + std::to_string(headRun.markerOffset);
        return false;
    }
    InstallerSink sink = MemorySink(out);
    LayoutState s;
    BeginLayout(s, sink);
    // A head ending in S, SZ or SZD would swallow the first item's marker.
    WriteHead(s, head.data(), head.size(), headRun.endMatch != 0 && !items.empty());
    for (size_t i = 0; i < items.size(); ++i) {
        StartItem(s, i);
        if (!WriteAllTo(PassItemBytes, &s, items[i].data(), items[i].size()) || !EndItem(s)) {
            error = s.refusal;
            return false;
        }
    }
    if (!WriteTail(s, tail.data(), tail.size())) {
        error = s.refusal;
        return false;
    }
    itemOffsets = s.itemOffsets;
    return true;
}

bool CompressWithoutMarker(const uint8_t *in, size_t size, std::vector<uint8_t> &out, size_t &optimalSize,
                           size_t &bansUsed, std::string &error)
{
    SzddMarkerFreeReport report;
    SzddMarkerFreeStatus status = SzddCompressMarkerFree(in, size, out, report);
    optimalSize = report.optimalSize;
    bansUsed = report.repairs;
    error = MarkerFreeProblem(status, report);
    return status == SZDD_MARKER_FREE;
}

bool IsOneSoundSzddStream(const std::vector<uint8_t> &input, std::vector<uint8_t> &expanded)
{
    return SzddStreamProblem(input, expanded).empty();
}

std::string SzddStreamProblem(const std::vector<uint8_t> &input, std::vector<uint8_t> &expanded)
{
    expanded.clear();
    uint64_t expandedSize = 0;
    return StreamProblem(input.data(), input.size(), &expanded, expandedSize);
}

bool WriteStoredItem(const std::vector<uint8_t> &input, const std::string &name, SzddWriteFn write, void *ctx,
                     StoredItem &item, std::string &error)
{
    item = StoredItem{};
    const uint8_t *source = input.data();
    size_t sourceSize = input.size();
    std::vector<uint8_t> expanded;
    // Only a file that is one whole compressed stream and nothing else stands for
    // its expansion. Anything more (streams back to back, bytes after the data) or
    // less (cut short, another mode) would lose or change bytes if taken as one,
    // so such a file is compressed as it is, like any other data.
    uint64_t expandedSize = 0;
    std::string problem = StreamProblem(input.data(), input.size(), nullptr, expandedSize);
    if (problem.empty()) {
        item.expandedSize = size_t(expandedSize);
        if (!RunMarkerMatcher(input.data() + 4, input.size() - 4).complete) {
            item.embeddedAsIs = true;
            item.optimalSize = input.size();
            item.storedSize = input.size();
            if (!WriteAllTo(write, ctx, input.data(), input.size())) {
                error = name + ": " + MarkerFreeProblem(SZDD_MARKER_WRITE_FAILED, SzddMarkerFreeReport{});
                return false;
            }
            return true;
        }
        // Its own encoding spells a second marker: encode its content again
        // (only now is the content held, and only for this item).
        SzddExpandBuffer(input.data(), input.size(), expanded);
        source = expanded.data();
        sourceSize = expanded.size();
    }
    item.expandedSize = sourceSize;
    SzddMarkerFreeReport report{};
    SzddMarkerFreeStatus status = SzddCompressMarkerFreeTo(source, sourceSize, write, ctx, report);
    item.optimalSize = report.optimalSize;
    item.bansUsed = report.repairs;
    if (status != SZDD_MARKER_FREE) {
        // A file that starts like a compressed one starts with the marker letters,
        // which as plain data no encoding can keep out of its first bytes.
        if (status != SZDD_MARKER_WRITE_FAILED && SzddHasMagic(input.data(), input.size()) && !problem.empty())
            error = name + ": " + problem + "; as plain data its first bytes would spell the item marker, "
                    "which no encoding avoids: give the compressed files one by one, or the expanded file";
        else
            error = name + ": " + MarkerFreeProblem(status, report);
        return false;
    }
    item.storedSize = size_t(report.storedSize);
    return true;
}

bool PrepareItem(const std::vector<uint8_t> &input, const std::string &name, StoredItem &item,
                 std::string &error)
{
    std::vector<uint8_t> bytes;
    if (!WriteStoredItem(input, name, SzddWriteToVector, &bytes, item, error))
        return false;
    item.bytes = std::move(bytes);
    return true;
}

bool FindChecksumSlot(const uint8_t *file, size_t size, size_t &valueOffset, std::string &error)
{
    PeSection section;
    if (!FindPeSection(file, size, kChecksumSectionName, section, error))
        return false;
    size_t span = section.rawSize;
    if (section.virtualSize != 0 && section.virtualSize < span)
        span = section.virtualSize;
    const uint8_t *base = file + section.rawOffset;
    size_t found = 0;
    size_t count = 0;
    for (size_t off = 0; off + sizeof(ChecksumSlot) <= span; ++off) {
        if (std::memcmp(base + off, kChecksumSlotTag, sizeof kChecksumSlotTag) == 0) {
            found = off;
            ++count;
        }
    }
    if (count == 0) {
        error = std::string("the ") + kChecksumSectionName + " section holds no checksum slot";
        return false;
    }
    if (count > 1) {
        error = std::string("the ") + kChecksumSectionName + " section holds more than one checksum slot";
        return false;
    }
    valueOffset = section.rawOffset + found + sizeof kChecksumSlotTag;
    return true;
}

bool PatchChecksumSlot(std::vector<uint8_t> &program, size_t valueOffset, uint32_t value)
{
    WriteLe32(program.data() + valueOffset, value);
    return !ContainsMarkerBytes(program.data(), program.size());
}

namespace {

bool MemoryWriteAt(void *ctx, uint64_t offset, const uint8_t *data, size_t size)
{
    std::vector<uint8_t> &v = *static_cast<std::vector<uint8_t> *>(ctx);
    if (offset > v.size() || size > v.size() - offset)
        return false;
    std::memcpy(v.data() + offset, data, size);
    return true;
}

bool MemoryReadAt(void *ctx, uint64_t offset, uint8_t *data, size_t size)
{
    const std::vector<uint8_t> &v = *static_cast<std::vector<uint8_t> *>(ctx);
    if (offset > v.size() || size > v.size() - offset)
        return false;
    std::memcpy(data, v.data() + offset, size);
    return true;
}

long FileWrite(void *ctx, const uint8_t *buf, long n)
{
    std::string ignored;
    return WriteOutput(*static_cast<OutputFile *>(ctx), buf, size_t(n), ignored) ? n : -1;
}

bool FileWriteAt(void *ctx, uint64_t offset, const uint8_t *data, size_t size)
{
    return WriteOutputAt(*static_cast<OutputFile *>(ctx), offset, data, size);
}

bool FileReadAt(void *ctx, uint64_t offset, uint8_t *data, size_t size)
{
    return ReadOutputAt(*static_cast<OutputFile *>(ctx), offset, data, size);
}

// Only counts: for the pass that learns the checksum before anything is written.
bool NowhereAt(void *, uint64_t, const uint8_t *, size_t) { return true; }
long Nowhere(void *, const uint8_t *, long n) { return n; }

std::string WriteFailure(const InstallerSink &sink)
{
    return "cannot write '" + sink.name + "': write failed (disk full?)";
}

// The head's alignment byte follows from the matcher's state at the stub's end.
// The slot's value sets the state after the slot; when every state there leads
// to the same state at the end (any byte other than S, Z or D after the slot
// sees to that), the byte is known before the checksum is. States that complete
// a marker on the way belong to values the build refuses anyway.
bool HeadAlignmentBeforeChecksum(const std::vector<uint8_t> &stub, size_t slot, bool &align)
{
    int endState = -1;
    for (int entry = 0; entry < 4; ++entry) {
        int matchLength = entry;
        MarkerRun run = ContinueMatcher(matchLength, stub.data() + slot + 4, stub.size() - slot - 4);
        if (run.complete)
            continue;
        if (endState >= 0 && run.endMatch != endState)
            return false;
        endState = run.endMatch;
    }
    align = endState > 0;
    return true;
}

struct BuildJob {
    const std::vector<uint8_t> *stub;
    size_t slot;
    size_t inputCount;
    BuildInputFn input;
    void *inputCtx;
    const std::vector<std::string> *inputNames;
};

// The installer's own scan over what was written must find exactly these items and this checksum.
bool ScansAsBuilt(const InstallerSink &sink, const LayoutState &s, uint32_t checksum, std::string &error)
{
    ScanProgress scan;
    BeginScan(scan);
    std::vector<uint8_t> buf(kChunk);
    for (uint64_t at = 0; at < s.written; at += kChunk) {
        size_t n = size_t(std::min<uint64_t>(kChunk, s.written - at));
        if (!sink.readAt(sink.ctx, at, buf.data(), n)) {
            error = "cannot read back '" + sink.name + "' for its final check";
            return false;
        }
        ScanBytes(scan, buf.data(), n);
    }
    EndScan(scan);
    bool sound = scan.result.items.size() == s.itemOffsets.size() && scan.result.checksum == checksum;
    for (size_t i = 0; sound && i < s.itemOffsets.size(); ++i)
        sound = scan.result.items[i].offset == s.itemOffsets[i];
    if (!sound)
        error = "internal error: the laid-out installer does not scan as built";
    return sound;
}

// One pass: head (with the alignment byte `align` says), the items one at a
// time, the tail whose adjust byte keeps the checksum clear of the marker, the
// slot patched, the result scanned back. headAligned gets the alignment the
// chosen checksum calls for; a pass whose guess was wrong fails unless it only counts.
bool StreamBuild(const BuildJob &job, bool align, bool onlyCounting, InstallerSink &sink, BuildReport &report,
                 bool &headAligned, std::string &error)
{
    const std::vector<uint8_t> &stub = *job.stub;
    report = BuildReport{};
    LayoutState s;
    BeginLayout(s, sink);
    if (!WriteHead(s, stub.data(), stub.size(), align)) {
        error = WriteFailure(sink);
        return false;
    }
    for (size_t i = 0; i < job.inputCount; ++i) {
        const std::vector<uint8_t> *bytes = nullptr;
        if (!job.input(job.inputCtx, i, bytes, error))
            return false;
        std::string name = i < job.inputNames->size() ? (*job.inputNames)[i] : PayloadItemName(int(i));
        StoredItem item;
        bool ok = StartItem(s, i) && WriteStoredItem(*bytes, name, PassItemBytes, &s, item, error) && EndItem(s);
        if (!ok) {
            if (s.writeFailed)
                error = WriteFailure(sink);
            else if (!s.refusal.empty())
                error = s.refusal;
            return false;
        }
        report.items.push_back(std::move(item));
    }
    std::vector<uint8_t> head = stub;
    for (int adjust = 0; adjust < 256; ++adjust) {
        uint8_t tail[kTailSize];
        std::memcpy(tail, kTailText, kTailSize - 1);
        tail[kTailSize - 1] = uint8_t(adjust);
        int matchLength = s.matchLength;
        if (ContinueMatcher(matchLength, tail, kTailSize).complete) {
            error = ItemLabel(s.item) + " holds a second marker, which the installer would take for a new item";
            return false;
        }
        uint64_t payloadBytes = s.payloadBytes;
        uint32_t checksum = s.checksum;
        uint32_t weight = s.weight;
        SumPayload(tail, kTailSize, payloadBytes, checksum, weight);
        if (!PatchChecksumSlot(head, job.slot, checksum))
            continue;
        headAligned = RunMarkerMatcher(head.data(), head.size()).endMatch != 0;
        if (onlyCounting)
            return true;
        if (headAligned != align) {
            error = "internal error: the checksum changed the program's alignment byte";
            return false;
        }
        if (!WriteTail(s, tail, kTailSize) || !sink.writeAt(sink.ctx, job.slot, head.data() + job.slot, 4)) {
            error = s.writeFailed || s.refusal.empty() ? WriteFailure(sink) : s.refusal;
            return false;
        }
        if (s.checksum != checksum) {
            error = "internal error: the tail summed to another checksum than foreseen";
            return false;
        }
        if (!ScansAsBuilt(sink, s, checksum, error))
            return false;
        report.headSize = stub.size() + (align ? 1 : 0);
        report.checksum = checksum;
        report.tailAdjust = uint8_t(adjust);
        report.itemOffsets = s.itemOffsets;
        report.installerSize = s.written;
        return true;
    }
    error = "stub: every checksum of this payload spells the item marker next to the checksum slot";
    return false;
}

struct MemoryInputs {
    const std::vector<std::vector<uint8_t>> *inputs;
};

bool MemoryInput(void *ctx, size_t index, const std::vector<uint8_t> *&bytes, std::string &)
{
    bytes = &(*static_cast<MemoryInputs *>(ctx)->inputs)[index];
    return true;
}

struct FileInputs {
    const std::vector<std::string> *paths;
    std::vector<uint8_t> bytes;
    size_t index;  // the input being read or encoded
};

// The previous input is let go of before the next is read.
bool FileInput(void *ctx, size_t index, const std::vector<uint8_t> *&bytes, std::string &error)
{
    FileInputs &files = *static_cast<FileInputs *>(ctx);
    files.index = index;
    std::vector<uint8_t>().swap(files.bytes);
    if (!ReadFileBytes((*files.paths)[index], files.bytes, kLargestSzddInput, error))
        return false;
    bytes = &files.bytes;
    return true;
}

}  // namespace

InstallerSink MemorySink(std::vector<uint8_t> &installer)
{
    return InstallerSink{SzddWriteToVector, MemoryWriteAt, MemoryReadAt, &installer, "the installer"};
}

InstallerSink FileSink(OutputFile &out)
{
    return InstallerSink{FileWrite, FileWriteAt, FileReadAt, &out, out.path};
}

bool WriteInstaller(const std::vector<uint8_t> &stub, size_t inputCount, BuildInputFn input, void *inputCtx,
                    const std::vector<std::string> &inputNames, InstallerSink &sink, BuildReport &report,
                    std::string &error)
{
    if (inputCount != size_t(kPayloadItemCount)) {
        error = "expected " + std::to_string(kPayloadItemCount) + " files, got " + std::to_string(inputCount);
        return false;
    }
    size_t slot = 0;
    std::string reason;
    if (!FindChecksumSlot(stub.data(), stub.size(), slot, reason)) {
        error = "stub: " + reason;
        return false;
    }
    if (ContainsMarkerBytes(stub.data(), stub.size())) {
        error = "stub: the program holds the item marker bytes; it must assemble the marker at run time";
        return false;
    }
    BuildJob job{&stub, slot, inputCount, input, inputCtx, &inputNames};
    bool align = false;
    bool slotPass = !HeadAlignmentBeforeChecksum(stub, slot, align);
    if (slotPass) {
        // Nothing but S, Z and D follows the slot: its value decides the alignment
        // byte, which comes before the items. A first pass that writes nowhere
        // learns the checksum; the same inputs then give the same items again.
        InstallerSink nowhere{Nowhere, NowhereAt, nullptr, nullptr, sink.name};
        if (!StreamBuild(job, false, true, nowhere, report, align, error))
            return false;
    }
    bool headAligned = false;
    if (!StreamBuild(job, align, false, sink, report, headAligned, error))
        return false;
    report.slotPass = slotPass;
    return true;
}

bool BuildInstaller(const std::vector<uint8_t> &stub, const std::vector<std::vector<uint8_t>> &inputs,
                    const std::vector<std::string> &inputNames, std::vector<uint8_t> &installer,
                    BuildReport &report, std::string &error)
{
    std::vector<uint8_t> built;
    InstallerSink sink = MemorySink(built);
    MemoryInputs memory{&inputs};
    if (!WriteInstaller(stub, inputs.size(), MemoryInput, &memory, inputNames, sink, report, error))
        return false;
    for (size_t i = 0; i < report.items.size(); ++i) {
        const uint8_t *at = built.data() + report.itemOffsets[i];
        report.items[i].bytes.assign(at, at + report.items[i].storedSize);
    }
    installer = std::move(built);
    return true;
}

bool BuildInstallerFile(const std::vector<uint8_t> &stub, const std::vector<std::string> &inputPaths,
                        const std::string &outPath, BuildReport &report, std::string &error)
{
    OutputFile out;
    if (!CreateOutput(outPath, out, error))
        return false;
    FileInputs files{&inputPaths, {}, 0};
    InstallerSink sink = FileSink(out);
    bool ok = false;
    try {
        ok = WriteInstaller(stub, inputPaths.size(), FileInput, &files, inputPaths, sink, report, error);
    } catch (const std::bad_alloc &) {
        // Encoding an input takes several times its size; a machine without it
        // gets the input named and no temporary file left.
        std::vector<uint8_t>().swap(files.bytes);
        DiscardOutput(out);
        uint64_t size = 0;
        std::FILE *f = nullptr;
        std::string ignored;
        if (files.index < inputPaths.size() && OpenInputFile(inputPaths[files.index], f, size, ignored))
            std::fclose(f);
        error = files.index < inputPaths.size()
                    ? "not enough memory to encode '" + inputPaths[files.index] + "': its " + std::to_string(size) +
                          " bytes need about " + std::to_string(SzddMemoryNeeded(size) >> 20) + " MB"
                    : "not enough memory for the build";
        return false;
    }
    std::vector<uint8_t>().swap(files.bytes);
    if (!ok) {
        DiscardOutput(out);
        return false;
    }
    return CommitOutput(out, error);
}

bool ReadInstallerAt(const InstallerSource &src, uint64_t offset, uint8_t *buf, size_t n)
{
    if (offset > src.size || n > src.size - offset)
        return false;
    if (src.file == nullptr) {
        if (n > 0)
            std::memcpy(buf, src.data + offset, n);
        return true;
    }
    return SeekInput(src.file, offset) && std::fread(buf, 1, n, src.file) == n;
}

namespace {

// One item's bytes as an expander source, from the installer file.
struct ItemReader {
    const InstallerSource *src;
    uint64_t at;
    uint64_t end;
};

long ReadItem(void *ctx, uint8_t *buf, long n)
{
    ItemReader *r = static_cast<ItemReader *>(ctx);
    uint64_t take = std::min<uint64_t>(uint64_t(n), r->end - r->at);
    if (take > 0 && !ReadInstallerAt(*r->src, r->at, buf, size_t(take)))
        return -1;
    r->at += take;
    return long(take);
}

bool MarkerBytesBefore(const InstallerSource &src, uint64_t end)
{
    std::vector<uint8_t> buf(kChunk + 3);
    for (uint64_t at = 0; at < end; at += kChunk) {
        size_t n = size_t(std::min<uint64_t>(kChunk + 3, end - at));
        if (!ReadInstallerAt(src, at, buf.data(), n) || ContainsMarkerBytes(buf.data(), n))
            return true;
    }
    return false;
}

}  // namespace

long ExpandInstallerItem(const InstallerSource &src, const ListedItem &item, SzddWriteFn write, void *ctx)
{
    ItemReader reader{&src, item.offset, uint64_t(item.offset) + item.size};
    return SzddExpand(ReadItem, &reader, write, ctx);
}

bool InspectInstallerSource(const InstallerSource &src, InstallerInfo &info, std::string &problem)
{
    info = InstallerInfo{};
    ScanProgress scan;
    BeginScan(scan);
    std::vector<uint8_t> buf(kChunk);
    for (uint64_t at = 0; at < src.size; at += kChunk) {
        size_t n = size_t(std::min<uint64_t>(kChunk, src.size - at));
        if (!ReadInstallerAt(src, at, buf.data(), n)) {
            problem = "read error";
            return false;
        }
        ScanBytes(scan, buf.data(), n);
    }
    EndScan(scan);
    info.scan = scan.result;
    // The program's headers, from its first bytes (all of them in memory).
    size_t headEnd = info.scan.items.empty() ? size_t(src.size) : info.scan.items[0].offset;
    size_t programBytes = size_t(std::min<uint64_t>(src.size, std::min(kLargestProgram, std::max(headEnd, kChunk))));
    std::vector<uint8_t> program(programBytes);
    if (!ReadInstallerAt(src, 0, program.data(), programBytes)) {
        problem = "read error";
        return false;
    }
    std::string reason;
    bool programOk = PeImageEnd(program.data(), program.size(), info.programEnd, reason);
    if (!programOk) {
        problem = reason;
    } else {
        size_t valueOffset = 0;
        info.haveSlot = FindChecksumSlot(program.data(), program.size(), valueOffset, reason);
        if (info.haveSlot)
            info.expectedChecksum = ReadLe32(program.data() + valueOffset);
        else
            problem = reason;
    }
    info.markerInHead = programOk && (headEnd < info.programEnd || MarkerBytesBefore(src, headEnd));
    bool allExpand = true;
    for (size_t i = 0; i < info.scan.items.size(); ++i) {
        const ScanItem &s = info.scan.items[i];
        ListedItem item{s.offset, s.size, 0, 0, false};
        uint8_t header[kSzddHeaderSize];
        // Only a compressed file (mode 'A') counts; a plain one would be copied unchanged.
        if (s.size >= kSzddHeaderSize && ReadInstallerAt(src, s.offset, header, kSzddHeaderSize) &&
            SzddHasMagic(header, kSzddHeaderSize) && header[8] == kSzddModeA) {
            item.expandedSize = ReadLe32(header + kSzddLengthOffset);
            ItemReader reader{&src, s.offset, uint64_t(s.offset) + s.size};
            uint64_t written = 0;
            unsigned long long consumed = 0;
            item.expands = SzddExpandCounted(ReadItem, &reader, CountOnly, &written, consumed) >= 0 &&
                           written == item.expandedSize;
            if (item.expands)
                item.storedSize = size_t(consumed);
        }
        if (!item.expands && allExpand && problem.empty())
            problem = ItemLabel(i) + " is not a complete compressed file";
        allExpand = allExpand && item.expands;
        info.items.push_back(item);
    }
    if (!problem.empty())
        return false;
    if (info.scan.items.size() != size_t(kPayloadItemCount)) {
        problem = "found " + std::to_string(info.scan.items.size()) + " items, expected " +
                  std::to_string(kPayloadItemCount);
        return false;
    }
    if (info.markerInHead) {
        problem = "the program part holds the item marker";
        return false;
    }
    if (info.scan.checksum != info.expectedChecksum) {
        problem = "checksum " + Hex32(info.scan.checksum) + " differs from the program's " +
                  Hex32(info.expectedChecksum);
        return false;
    }
    return true;
}

bool InspectInstaller(const uint8_t *file, size_t size, InstallerInfo &info, std::string &problem)
{
    InstallerSource src{file, nullptr, size};
    return InspectInstallerSource(src, info, problem);
}

bool ExtractInstaller(const uint8_t *file, size_t size, std::vector<std::vector<uint8_t>> &files,
                      std::string &error)
{
    InstallerSource src{file, nullptr, size};
    InstallerInfo info;
    if (!InspectInstallerSource(src, info, error))
        return false;
    files.assign(info.items.size(), {});
    for (size_t i = 0; i < info.items.size(); ++i) {
        long result = ExpandInstallerItem(src, info.items[i], SzddWriteToVector, &files[i]);
        if (result < 0) {
            error = ItemLabel(i) + ": " + SzddErrorText(result);
            return false;
        }
    }
    return true;
}

bool CheckInputs(const std::vector<std::string> &paths, std::string &error)
{
    for (const std::string &path : paths)
        if (!CheckInputFile(path, kLargestSzddInput, error))
            return false;
    return true;
}

bool ListInputs(const std::vector<std::string> &sources, std::vector<std::string> &paths, std::string &error)
{
    paths.clear();
    std::error_code ec;
    if (sources.size() == 1) {
        fs::file_status status = fs::status(sources[0], ec);
        if (!fs::exists(status)) {
            error = "the payload folder '" + sources[0] + "' does not exist";
            return false;
        }
        if (fs::is_directory(status)) {
            for (int i = 0; i < kPayloadItemCount; ++i)
                paths.push_back((fs::path(sources[0]) / PayloadItemName(i)).string());
            return true;
        }
    }
    if (sources.size() != size_t(kPayloadItemCount)) {
        error = "expected a folder or " + std::to_string(kPayloadItemCount) + " files in table order, got " +
                std::to_string(sources.size()) + (sources.size() == 1 ? " file" : " files");
        return false;
    }
    paths = sources;
    return true;
}
