// Writing an installer: the layout of stub, items and tail with their alignment
// bytes, the payload checksum, and the build through a sink, scanned back at the end.
#include "packer/installer_writer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "format/payload.h"
#include "packer/checksum_slot.h"
#include "packer/progress.h"
#include "packer/scan_replay.h"
#include "packer/szdd_memory.h"

namespace {

// The installer as it is written: head, then each item's bytes as they pass
// (checked against the marker rule and summed into the payload checksum on
// their way to the sink), then the tail. Nothing here holds an item. In `scan`
// the matcher runs over the open item from its fifth byte, and stepBytes stays
// 0: the layout has no scan steps.
struct LayoutState {
    InstallerSink *sink;
    ScanState scan;
    uint64_t written;       // installer bytes so far
    uint64_t payloadBytes;  // from the first item's marker on
    size_t item;
    uint64_t itemBytes;
    bool writeFailed;
    std::string refusal;
    std::vector<size_t> itemOffsets;
};

void BeginLayout(LayoutState &s, InstallerSink &sink)
{
    s = LayoutState{};
    s.sink = &sink;
    BeginScanState(s.scan);
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
    if (s.scan.itemOpen && s.scan.matchLength != 0) {
        SumPayload(&kAlignmentByte, 1, s.payloadBytes, s.scan.checksum, s.scan.checksumWeight);
        if (!SinkWrite(s, &kAlignmentByte, 1))
            return false;
    }
    s.itemOffsets.push_back(size_t(s.written));
    s.scan.itemOpen = true;
    s.item = index;
    s.itemBytes = 0;
    s.scan.matchLength = 0;
    return true;
}

// The writer the item's encoder writes through (and the tail after the last item).
long PassItemBytes(void *ctx, const uint8_t *buf, long n)
{
    LayoutState &s = *static_cast<LayoutState *>(ctx);
    for (long k = 0; k < n; ++k, ++s.itemBytes) {
        if (s.itemBytes < 4) {
            if (buf[k] != uint8_t(s.scan.marker[s.itemBytes])) {
                s.refusal = ItemLabel(s.item) + " does not start with the item marker";
                return -1;
            }
            continue;
        }
        int held = 0;
        if (MatchMarkerByte(s.scan.marker, s.scan.matchLength, buf[k], held) == MARKER_COMPLETE) {
            s.refusal = ItemLabel(s.item) + " holds a second marker, which the installer would take for a new item";
            return -1;
        }
    }
    SumPayload(buf, size_t(n), s.payloadBytes, s.scan.checksum, s.scan.checksumWeight);
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
    if (!s.scan.itemOpen)
        return SinkWrite(s, tail, size);
    return WriteAllTo(PassItemBytes, &s, tail, size);
}

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
    ScanResult scan;
    if (!ScanReadBack(sink.readAt, sink.ctx, s.written, scan)) {
        error = "cannot read back '" + sink.name + "' for its final check";
        return false;
    }
    bool sound = scan.items.size() == s.itemOffsets.size() && scan.checksum == checksum;
    for (size_t i = 0; sound && i < s.itemOffsets.size(); ++i)
        sound = scan.items[i].offset == s.itemOffsets[i];
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
        if (!onlyCounting)
            ReportItemStarted(i, bytes->size());
        StoredItem item;
        bool ok = StartItem(s, i) && WriteStoredItem(*bytes, name, PassItemBytes, &s, item, error) && EndItem(s);
        if (!ok) {
            if (s.writeFailed)
                error = WriteFailure(sink);
            else if (!s.refusal.empty())
                error = s.refusal;
            return false;
        }
        if (!onlyCounting)
            ReportItemDone(i, item);
        report.items.push_back(std::move(item));
    }
    std::vector<uint8_t> head = stub;
    for (int adjust = 0; adjust < 256; ++adjust) {
        uint8_t tail[kTailSize];
        std::memcpy(tail, kTailText, kTailSize - 1);
        tail[kTailSize - 1] = uint8_t(adjust);
        int matchLength = s.scan.matchLength;
        if (ContinueMatcher(matchLength, tail, kTailSize).complete) {
            error = ItemLabel(s.item) + " holds a second marker, which the installer would take for a new item";
            return false;
        }
        uint64_t payloadBytes = s.payloadBytes;
        uint32_t checksum = s.scan.checksum;
        uint32_t weight = s.scan.checksumWeight;
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
        if (s.scan.checksum != checksum) {
            error = "internal error: the tail summed to another checksum than foreseen";
            return false;
        }
        if (!ScansAsBuilt(sink, s, checksum, error))
            return false;
        report.headSize = stub.size() + (align ? 1 : 0);
        report.checksum = checksum;
        report.itemOffsets = s.itemOffsets;
        report.installerSize = s.written;
        return true;
    }
    error = "stub: every checksum of this payload spells the item marker next to the checksum slot";
    return false;
}

}  // namespace

bool LayOutInstaller(const std::vector<uint8_t> &head, const std::vector<std::vector<uint8_t>> &items,
                     const std::vector<uint8_t> &tail, std::vector<uint8_t> &out, std::vector<size_t> &itemOffsets,
                     std::string &error)
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

InstallerSink MemorySink(std::vector<uint8_t> &installer)
{
    return InstallerSink{SzddWriteToVector, MemoryWriteAt, MemoryReadAt, &installer, "the installer"};
}

InstallerSink FileSink(OutputFile &out) { return InstallerSink{FileWrite, FileWriteAt, FileReadAt, &out, out.path}; }

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
                    const std::vector<std::string> &inputNames, std::vector<uint8_t> &installer, BuildReport &report,
                    std::string &error)
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
