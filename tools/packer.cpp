// The packer's library: installer layout, the replayed scan, marker avoidance
// in compressed items, the checksum slot, and build/list/extract.
#include "tools/packer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "engine/byte_order.h"
#include "engine/payload.h"
#include "engine/szdd.h"
#include "tools/files.h"
#include "tools/pe_section.h"

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

uint32_t PayloadChecksum(const std::vector<uint8_t> &payload)
{
    uint32_t checksum = 0;
    uint32_t weight = 1;
    for (size_t i = 4; i < payload.size(); ++i)
        ChecksumAddByte(checksum, weight, payload[i]);
    return checksum;
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
    char marker[4];
    BuildMarker(marker);
    out = head;
    itemOffsets.clear();
    MarkerRun headRun = RunMarkerMatcher(head.data(), head.size());
    if (headRun.complete) {
        error = "the program holds the item marker at offset " + std::to_string(headRun.markerOffset);
        return false;
    }
    // A head ending in S, SZ or SZD would swallow the first item's marker.
    if (headRun.endMatch != 0 && !items.empty())
        out.push_back(kAlignmentByte);
    for (size_t i = 0; i < items.size(); ++i) {
        const std::vector<uint8_t> &item = items[i];
        if (item.size() < 4 || std::memcmp(item.data(), marker, 4) != 0) {
            error = ItemLabel(i) + " does not start with the item marker";
            return false;
        }
        bool last = i + 1 == items.size();
        int matchLength = 0;
        MarkerRun run = ContinueMatcher(matchLength, item.data() + 4, item.size() - 4);
        if (!run.complete && last)
            run = ContinueMatcher(matchLength, tail.data(), tail.size());
        if (run.complete) {
            error = ItemLabel(i) + " holds a second marker, which the installer would take for a new item";
            return false;
        }
        itemOffsets.push_back(out.size());
        out.insert(out.end(), item.begin(), item.end());
        if (!last && run.endMatch != 0)
            out.push_back(kAlignmentByte);
    }
    out.insert(out.end(), tail.begin(), tail.end());
    return true;
}

bool CompressWithoutMarker(const uint8_t *in, size_t size, std::vector<uint8_t> &out, size_t &optimalSize,
                           size_t &bansUsed, std::string &error)
{
    SzddMarkerFreeReport report;
    SzddMarkerFreeStatus status = SzddCompressMarkerFree(in, size, out, report);
    optimalSize = report.optimalSize;
    bansUsed = report.repairs;
    std::string at = "offset " + std::to_string(report.markerInput);
    switch (status) {
    case SZDD_MARKER_FREE:
        return true;
    case SZDD_MARKER_TOO_LARGE:
        error = "too large for the compressed-file format (at most 4294967295 bytes)";
        return false;
    case SZDD_MARKER_SEARCH_LIMIT:
        error = "its compressed form spells the item marker near " + at +
                ", and the only encodings without it differ over more than " +
                std::to_string(kSzddLargestRepairSpan) + " bytes, more than mksetup searches";
        return false;
    case SZDD_MARKER_WRITE_FAILED:
        error = "write failed (disk full?)";
        return false;
    case SZDD_MARKER_UNAVOIDABLE:
        break;
    }
    error = "no compressed form of this file avoids the item marker letters (near " + at +
            "): the installer ends an item wherever its bytes spell them, and the data around them "
            "leaves no other choice of tokens or flag bytes (uncompressible bytes, or the letters at the very "
            "start). Change the file near that offset, or pack it inside an archive of its own";
    return false;
}

bool IsOneSoundSzddStream(const std::vector<uint8_t> &input, std::vector<uint8_t> &expanded)
{
    return SzddStreamProblem(input, expanded).empty();
}

std::string SzddStreamProblem(const std::vector<uint8_t> &input, std::vector<uint8_t> &expanded)
{
    expanded.clear();
    if (!SzddHasMagic(input.data(), input.size()))
        return "it is no compressed file";
    size_t consumed = 0;
    long result = SzddExpandBuffer(input.data(), input.size(), expanded, &consumed);
    if (result < 0)
        return "it starts like a compressed file, but " + SzddErrorText(result);
    if (consumed < input.size())
        return "it holds a compressed file of " + std::to_string(consumed) + " bytes followed by " +
               std::to_string(input.size() - consumed) + " more bytes (compressed files back to back?)";
    return "";
}

bool PrepareItem(const std::vector<uint8_t> &input, const std::string &name, StoredItem &item,
                 std::string &error)
{
    item = StoredItem{};
    const std::vector<uint8_t> *source = &input;
    std::vector<uint8_t> expanded;
    // Only a file that is one whole compressed stream and nothing else stands for
    // its expansion. Anything more (streams back to back, bytes after the data) or
    // less (cut short, another mode) would lose or change bytes if taken as one,
    // so such a file is compressed as it is, like any other data.
    std::string problem = SzddStreamProblem(input, expanded);
    if (problem.empty()) {
        item.expandedSize = expanded.size();
        if (!RunMarkerMatcher(input.data() + 4, input.size() - 4).complete) {
            item.bytes = input;
            item.embeddedAsIs = true;
            item.optimalSize = input.size();
            return true;
        }
        // Its own encoding spells a second marker: encode its content again.
        source = &expanded;
    }
    item.expandedSize = source->size();
    std::string reason;
    if (!CompressWithoutMarker(source->data(), source->size(), item.bytes, item.optimalSize, item.bansUsed,
                               reason)) {
        // A file that starts like a compressed one starts with the marker letters,
        // which as plain data no encoding can keep out of its first bytes.
        if (SzddHasMagic(input.data(), input.size()) && !problem.empty())
            error = name + ": " + problem + "; as plain data its first bytes would spell the item marker, "
                    "which no encoding avoids: give the compressed files one by one, or the expanded file";
        else
            error = name + ": " + reason;
        return false;
    }
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

bool BuildInstaller(const std::vector<uint8_t> &stub, const std::vector<std::vector<uint8_t>> &inputs,
                    const std::vector<std::string> &inputNames, std::vector<uint8_t> &installer,
                    BuildReport &report, std::string &error)
{
    if (inputs.size() != size_t(kPayloadItemCount)) {
        error = "expected " + std::to_string(kPayloadItemCount) + " files, got " + std::to_string(inputs.size());
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
    report = BuildReport{};
    std::vector<std::vector<uint8_t>> stored;
    for (size_t i = 0; i < inputs.size(); ++i) {
        StoredItem item;
        std::string name = i < inputNames.size() ? inputNames[i] : PayloadItemName(int(i));
        if (!PrepareItem(inputs[i], name, item, error))
            return false;
        stored.push_back(item.bytes);
        report.items.push_back(std::move(item));
    }
    for (int adjust = 0; adjust < 256; ++adjust) {
        std::vector<uint8_t> tail(kTailText, kTailText + kTailSize - 1);
        tail.push_back(uint8_t(adjust));
        std::vector<uint8_t> payload;
        std::vector<size_t> offsets;
        if (!LayOutInstaller({}, stored, tail, payload, offsets, reason)) {
            error = reason;
            return false;
        }
        uint32_t checksum = PayloadChecksum(payload);
        std::vector<uint8_t> head = stub;
        if (!PatchChecksumSlot(head, slot, checksum))
            continue;
        if (RunMarkerMatcher(head.data(), head.size()).endMatch != 0)
            head.push_back(kAlignmentByte);
        installer = head;
        installer.insert(installer.end(), payload.begin(), payload.end());

        // The installer's own scan must find exactly these items and this checksum.
        ScanResult scan;
        SimulateScan(installer.data(), installer.size(), scan);
        bool sound = scan.items.size() == stored.size() && scan.checksum == checksum;
        for (size_t i = 0; sound && i < offsets.size(); ++i)
            sound = scan.items[i].offset == head.size() + offsets[i];
        if (!sound) {
            error = "internal error: the laid-out installer does not scan as built";
            return false;
        }
        report.headSize = head.size();
        report.checksum = checksum;
        report.tailAdjust = uint8_t(adjust);
        report.itemOffsets.clear();
        for (size_t off : offsets)
            report.itemOffsets.push_back(head.size() + off);
        return true;
    }
    error = "stub: every checksum of this payload spells the item marker next to the checksum slot";
    return false;
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

constexpr size_t kChunk = 65536;
// The program part is read whole for its headers; a real one is far smaller.
constexpr size_t kLargestProgram = size_t(16) << 20;

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

long CountOnly(void *ctx, const uint8_t *, long n)
{
    *static_cast<uint64_t *>(ctx) += uint64_t(n);
    return n;
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

long WriteVector(void *ctx, const uint8_t *buf, long n)
{
    std::vector<uint8_t> *v = static_cast<std::vector<uint8_t> *>(ctx);
    v->insert(v->end(), buf, buf + n);
    return n;
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
        long result = ExpandInstallerItem(src, info.items[i], WriteVector, &files[i]);
        if (result < 0) {
            error = ItemLabel(i) + ": " + SzddErrorText(result);
            return false;
        }
    }
    return true;
}

bool CollectInputs(const std::vector<std::string> &sources, std::vector<std::vector<uint8_t>> &inputs,
                   std::vector<std::string> &paths, std::string &error)
{
    if (!ListInputs(sources, paths, error))
        return false;
    inputs.assign(paths.size(), {});
    for (size_t i = 0; i < paths.size(); ++i)
        if (!ReadFileBytes(paths[i], inputs[i], kLargestSzddInput, error))
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
