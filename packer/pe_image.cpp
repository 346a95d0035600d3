// Bounds-checked walk over a PE file's headers and section table.
#include "packer/pe_image.h"

#include <cstring>
#include <functional>
#include <string>

#include "format/byte_order.h"

namespace {

constexpr size_t kDosLfanewOffset = 0x3C;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kMaxSections = 96;  // the loader's own limit

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
    if (size < kDosLfanewOffset + 4 || file[0] != 'M' || file[1] != 'Z') {
        error = "not a Windows program (no MZ header)";
        return false;
    }
    uint32_t peOffset = ReadLe32(file + kDosLfanewOffset);
    if (peOffset > size || size - peOffset < 4 + kFileHeaderSize) {
        error = "not a Windows program (PE header outside the file)";
        return false;
    }
    if (std::memcmp(file + peOffset, "PE\0\0", 4) != 0) {
        error = "not a Windows program (no PE signature)";
        return false;
    }
    const uint8_t *fileHeader = file + peOffset + 4;
    uint16_t sectionCount = ReadLe16(fileHeader + 2);
    uint16_t optionalSize = ReadLe16(fileHeader + 16);
    if (sectionCount > kMaxSections) {
        error = "damaged Windows program (too many sections)";
        return false;
    }
    size_t table = size_t(peOffset) + 4 + kFileHeaderSize + optionalSize;
    size_t tableBytes = size_t(sectionCount) * kSectionHeaderSize;
    if (table > size || size - table < tableBytes) {
        error = "damaged Windows program (section table outside the file)";
        return false;
    }
    headersEnd = table + tableBytes;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t *h = file + table + size_t(i) * kSectionHeaderSize;
        PeSection s;
        std::memcpy(s.name, h, 8);
        s.name[8] = '\0';
        s.virtualSize = ReadLe32(h + 8);
        s.rawSize = ReadLe32(h + 16);
        s.rawOffset = ReadLe32(h + 20);
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

bool FindPeSection(const uint8_t *file, size_t size, const char *name, PeSection &section,
                   std::string &error)
{
    bool found = false;
    size_t headersEnd = 0;
    bool ok = WalkSections(file, size, headersEnd, [&](const PeSection &s) {
        if (std::strncmp(s.name, name, 8) != 0)
            return true;
        section = s;
        found = true;
        return false;
    }, error);
    if (!ok)
        return false;
    if (!found) {
        error = std::string("the program has no ") + name + " section";
        return false;
    }
    return true;
}

bool PeImageEnd(const uint8_t *file, size_t size, size_t &end, std::string &error)
{
    size_t headersEnd = 0;
    size_t last = 0;
    bool ok = WalkSections(file, size, headersEnd, [&](const PeSection &s) {
        if (s.rawSize != 0 && size_t(s.rawOffset) + s.rawSize > last)
            last = size_t(s.rawOffset) + s.rawSize;
        return true;
    }, error);
    if (!ok)
        return false;
    end = last > headersEnd ? last : headersEnd;
    return true;
}
