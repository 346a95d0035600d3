// The PE reader: bounds-checked walks over a program file's headers, section table
// and data directory, and its image checksum.
#include "packer/pe_image.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "format/byte_order.h"

namespace {

constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kMaxSections = 96;  // the loader's own limit
constexpr size_t kChecksumField = 64;  // in the optional header, PE32 and PE32+ alike

}  // namespace

bool LocatePeHeader(const uint8_t *head, size_t headSize, uint64_t fileSize, uint32_t &peOffset, std::string &error)
{
    if (headSize < kDosHeaderSize || fileSize < kDosHeaderSize || head[0] != 'M' || head[1] != 'Z') {
        error = "not a Windows program (no MZ header)";
        return false;
    }
    peOffset = ReadLe32(head + kPeHeaderOffsetField);
    if (peOffset > fileSize || fileSize - peOffset < 4 + kFileHeaderSize) {
        error = "not a Windows program (PE header outside the file)";
        return false;
    }
    return true;
}

bool CheckPeSignature(const uint8_t *signature, std::string &error)
{
    if (std::memcmp(signature, "PE\0\0", 4) == 0)
        return true;
    error = "not a Windows program (no PE signature)";
    return false;
}

bool ReadPeHeaders(const uint8_t *file, size_t size, PeHeaders &headers, std::string &error)
{
    uint32_t pe = 0;
    if (!LocatePeHeader(file, size, size, pe, error) || !CheckPeSignature(file + pe, error))
        return false;
    const uint8_t *fileHeader = file + pe + 4;
    headers.peOffset = pe;
    headers.machine = ReadLe16(fileHeader);
    headers.sectionCount = ReadLe16(fileHeader + 2);
    headers.optionalSize = ReadLe16(fileHeader + 16);
    headers.characteristics = ReadLe16(fileHeader + 18);
    headers.optionalOffset = size_t(pe) + 4 + kFileHeaderSize;
    headers.magic = size - headers.optionalOffset >= 2 ? ReadLe16(file + headers.optionalOffset) : 0;
    return true;
}

bool PeDataDirectoryEntry(const uint8_t *file, size_t size, const PeHeaders &headers, uint32_t index,
                          size_t &entryOffset)
{
    size_t optional = headers.optionalOffset;
    size_t countAt, directory;
    if (headers.magic == kPe32Magic) {
        countAt = optional + 92;
        directory = optional + 96;
    } else if (headers.magic == kPe32PlusMagic) {
        countAt = optional + 108;
        directory = optional + 112;
    } else {
        return false;
    }
    size_t entry = directory + size_t(index) * 8;
    if (entry + 8 > optional + headers.optionalSize || entry + 8 > size || ReadLe32(file + countAt) <= index)
        return false;
    entryOffset = entry;
    return true;
}

namespace {

// A section as messages name it: by its name, or by its place when the name is
// empty or holds bytes a message should not carry.
std::string SectionLabel(const char *name, uint16_t index)
{
    bool printable = name[0] != '\0';
    for (const char *c = name; *c != '\0'; ++c)
        printable = printable && *c > 0x20 && *c < 0x7F;
    if (printable)
        return name;
    return "number " + std::to_string(index + 1) + (name[0] == '\0' ? " (no name)" : " (a name that is not text)");
}

// Calls visit for each section header; stops early when visit returns false.
bool WalkSections(const uint8_t *file, size_t size, size_t &headersEnd,
                  const std::function<bool(const PeSection &)> &visit, std::string &error)
{
    PeHeaders h;
    if (!ReadPeHeaders(file, size, h, error))
        return false;
    uint16_t sectionCount = h.sectionCount;
    if (sectionCount > kMaxSections) {
        error = "damaged Windows program (too many sections)";
        return false;
    }
    size_t table = h.optionalOffset + h.optionalSize;
    size_t tableBytes = size_t(sectionCount) * kSectionHeaderSize;
    if (table > size || size - table < tableBytes) {
        error = "damaged Windows program (section table outside the file)";
        return false;
    }
    headersEnd = table + tableBytes;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t *header = file + table + size_t(i) * kSectionHeaderSize;
        PeSection s;
        std::memcpy(s.name, header, 8);
        s.name[8] = '\0';
        s.virtualSize = ReadLe32(header + 8);
        s.virtualAddress = ReadLe32(header + 12);
        s.rawSize = ReadLe32(header + 16);
        s.rawOffset = ReadLe32(header + 20);
        if (s.rawSize != 0 && (s.rawOffset > size || size - s.rawOffset < s.rawSize)) {
            error = "damaged Windows program (section " + SectionLabel(s.name, i) + " outside the file)";
            return false;
        }
        if (!visit(s))
            break;
    }
    return true;
}

}  // namespace

bool FindPeSection(const uint8_t *file, size_t size, const char *name, PeSection &section, std::string &error)
{
    bool found = false;
    size_t headersEnd = 0;
    bool ok = WalkSections(
        file, size, headersEnd,
        [&](const PeSection &s) {
            if (std::strncmp(s.name, name, 8) != 0)
                return true;
            section = s;
            found = true;
            return false;
        },
        error);
    if (!ok)
        return false;
    if (!found) {
        error = std::string("the program has no ") + name + " section";
        return false;
    }
    return true;
}

bool ReadPeSections(const uint8_t *file, size_t size, std::vector<PeSection> &sections, std::string &error)
{
    sections.clear();
    size_t headersEnd = 0;
    return WalkSections(
        file, size, headersEnd,
        [&](const PeSection &s) {
            sections.push_back(s);
            return true;
        },
        error);
}

bool PeImageEnd(const uint8_t *file, size_t size, size_t &end, std::string &error)
{
    size_t headersEnd = 0;
    size_t last = 0;
    bool ok = WalkSections(
        file, size, headersEnd,
        [&](const PeSection &s) {
            if (s.rawSize != 0 && size_t(s.rawOffset) + s.rawSize > last)
                last = size_t(s.rawOffset) + s.rawSize;
            return true;
        },
        error);
    if (!ok)
        return false;
    end = last > headersEnd ? last : headersEnd;
    return true;
}

bool ReadPeSignatureFields(const uint8_t *head, size_t size, PeSignatureFields &fields, std::string &error)
{
    PeHeaders h;
    if (!ReadPeHeaders(head, size, h, error) || (h.magic != kPe32Magic && h.magic != kPe32PlusMagic)) {
        error = "not a Windows program";
        return false;
    }
    size_t entry = 0;
    if (!PeDataDirectoryEntry(head, size, h, kCertificateDirectory, entry)) {
        error = "damaged Windows program (no certificate table entry)";
        return false;
    }
    fields.checksumOffset = h.optionalOffset + kChecksumField;
    fields.directoryOffset = entry;
    fields.tableOffset = ReadLe32(head + entry);
    fields.tableSize = ReadLe32(head + entry + 4);
    error.clear();
    return true;
}

// The folded 16-bit sum of the words at [from, to) (from even), leaving out the
// checksum field's two words.
uint64_t PeChecksumAdd(uint64_t sum, const uint8_t *piece, size_t from, size_t to, size_t checksumOffset)
{
    for (size_t i = from; i < to; i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2)
            continue;
        uint32_t word = piece[i - from] | (i + 1 < to ? uint32_t(piece[i - from + 1]) << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum;
}

uint32_t PeChecksumFinish(uint64_t sum, size_t size)
{
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + size);
}
