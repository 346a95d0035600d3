// Reading an installer without running it: the scan replayed over the file read
// in pieces, the program's checksum slot, and each item checked and expanded.
#include "packer/installer_reader.h"

#include <algorithm>
#include <cstring>

#include "format/byte_order.h"
#include "format/payload.h"
#include "packer/checksum_slot.h"
#include "packer/files.h"
#include "packer/pe_image.h"
#include "packer/stored_item.h"
#include "packer/szdd_memory.h"

namespace {

std::string Hex32(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(v));
    return text;
}

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
    std::vector<uint8_t> buf(kScanChunk + 3);
    for (uint64_t at = 0; at < end; at += kScanChunk) {
        size_t n = size_t(std::min<uint64_t>(kScanChunk + 3, end - at));
        if (!ReadInstallerAt(src, at, buf.data(), n) || ContainsMarkerBytes(buf.data(), n))
            return true;
    }
    return false;
}

// ReadInstallerAt as the scan's reader (ctx: InstallerSource).
bool ReadSourceAt(void *ctx, uint64_t offset, uint8_t *data, size_t size)
{
    return ReadInstallerAt(*static_cast<InstallerSource *>(ctx), offset, data, size);
}

// A file's first bytes decide whether it is a Windows program at all, so a large
// file that is not one is refused before the scan reads the rest of it.
bool HasProgramHeaders(const InstallerSource &src, std::string &problem)
{
    uint8_t head[kDosHeaderSize];
    bool read = src.size >= sizeof head && ReadInstallerAt(src, 0, head, sizeof head);
    uint32_t pe = 0;
    if (!LocatePeHeader(head, read ? sizeof head : 0, src.size, pe, problem))
        return false;
    uint8_t signature[4];
    if (!ReadInstallerAt(src, pe, signature, sizeof signature)) {
        problem = "not a Windows program (PE header outside the file)";
        return false;
    }
    return CheckPeSignature(signature, problem);
}

}  // namespace

bool OpenInstaller(const std::string &path, InstallerSource &src, std::string &error)
{
    src = InstallerSource{nullptr, nullptr, 0};
    return OpenInputFile(path, src.file, src.size, error);
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

long ExpandInstallerItem(const InstallerSource &src, const ListedItem &item, SzddWriteFn write, void *ctx)
{
    ItemReader reader{&src, item.offset, uint64_t(item.offset) + item.size};
    return SzddExpand(ReadItem, &reader, write, ctx);
}

bool InspectInstallerSource(const InstallerSource &src, InstallerInfo &info, std::string &problem)
{
    info = InstallerInfo{};
    if (!HasProgramHeaders(src, problem))
        return false;
    InstallerSource reading = src;
    if (!ScanReadBack(ReadSourceAt, &reading, src.size, info.scan)) {
        problem = "read error";
        return false;
    }
    // The program's headers and sections, from its first bytes (all of them in
    // memory), also where a marker inside it made the scan start an item early.
    size_t headEnd = info.scan.items.empty() ? size_t(src.size) : info.scan.items[0].offset;
    size_t programBytes = size_t(std::min<uint64_t>(src.size, kLargestProgram));
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
        // Past the table's eleven, the count is the fault to name.
        if (!item.expands && allExpand && problem.empty() && i < size_t(kPayloadItemCount))
            problem = ItemLabel(i) + " is not a complete compressed file";
        allExpand = allExpand && item.expands;
        info.items.push_back(item);
    }
    // Every item after a marker inside the program is misread, so that marker is
    // the cause to name first.
    if (info.markerInHead && headEnd < info.programEnd) {
        problem = "the program part (its first " + std::to_string(info.programEnd) +
                  " bytes) holds the item marker at offset " + std::to_string(headEnd);
        if (!info.items.empty() && !info.items[0].expands)
            problem +=
                " (so " + ItemLabel(0) + " is not a complete compressed file where the installer would start it)";
    }
    if (!problem.empty())
        return false;
    if (info.scan.items.size() != size_t(kPayloadItemCount)) {
        problem =
            "found " + std::to_string(info.scan.items.size()) + " items, expected " + std::to_string(kPayloadItemCount);
        return false;
    }
    if (info.markerInHead) {
        problem = "the program part holds the item marker";
        return false;
    }
    if (info.scan.checksum != info.expectedChecksum) {
        problem =
            "checksum " + Hex32(info.scan.checksum) + " differs from the program's " + Hex32(info.expectedChecksum);
        return false;
    }
    return true;
}

bool InspectInstaller(const uint8_t *file, size_t size, InstallerInfo &info, std::string &problem)
{
    InstallerSource src{file, nullptr, size};
    return InspectInstallerSource(src, info, problem);
}

bool ExtractInstaller(const uint8_t *file, size_t size, std::vector<std::vector<uint8_t>> &files, std::string &error)
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
