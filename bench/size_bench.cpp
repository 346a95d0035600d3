// What takes the room in the installer program before any payload: its size, each
// section's share, and within the resources each kind's bytes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t U16(const Bytes &b, size_t at) { return at + 2 <= b.size() ? uint16_t(b[at] | b[at + 1] << 8) : 0; }
uint32_t U32(const Bytes &b, size_t at) { return at + 4 <= b.size() ? uint32_t(U16(b, at) | uint32_t(U16(b, at + 2)) << 16) : 0; }

struct Section {
    std::string name;
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

const char *ResourceTypeName(uint32_t id)
{
    switch (id) {
    case 3: return "icon images";
    case 5: return "dialogs";
    case 14: return "icon groups";
    case 16: return "version";
    case 24: return "manifest";
    default: return nullptr;
    }
}

// Adds the data bytes below one resource directory entry (all languages, all names).
void SumResourceData(const Bytes &file, size_t rsrcOffset, size_t rsrcSize, uint32_t entryOffset, int depth,
                     uint32_t &bytes, uint32_t &count)
{
    // The high bit marks a subdirectory; the offset is in the low 31 bits either way.
    if (depth > 3 || (entryOffset & 0x7FFFFFFFu) >= rsrcSize)
        return;
    if (!(entryOffset & 0x80000000u)) {  // a data entry
        bytes += U32(file, rsrcOffset + entryOffset + 4);
        count += 1;
        return;
    }
    size_t dir = rsrcOffset + (entryOffset & 0x7FFFFFFFu);
    unsigned entries = U16(file, dir + 12) + U16(file, dir + 14);
    for (unsigned i = 0; i < entries && i < 4096; i++)
        SumResourceData(file, rsrcOffset, rsrcSize, U32(file, dir + 16 + 8 * i + 4), depth + 1, bytes, count);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: size_bench PROGRAM.exe\n");
        return argc == 2 ? 0 : 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') {
        std::fprintf(stderr, "size_bench: %s: not a Windows program\n", argv[1]);
        return 1;
    }
    size_t pe = U32(file, 0x3C);
    if (pe + 24 > file.size() || std::memcmp(&file[pe], "PE\0\0", 4) != 0) {
        std::fprintf(stderr, "size_bench: %s: no PE header\n", argv[1]);
        return 1;
    }
    unsigned sectionCount = U16(file, pe + 6);
    size_t optional = pe + 24;
    size_t table = optional + U16(file, pe + 20);
    uint32_t headers = U32(file, optional + 60);  // SizeOfHeaders
    std::vector<Section> sections;
    for (unsigned i = 0; i < sectionCount && table + 40 * (i + 1) <= file.size(); i++) {
        size_t at = table + 40 * i;
        char name[9] = {};
        std::memcpy(name, &file[at], 8);
        sections.push_back({name, U32(file, at + 12), U32(file, at + 8), U32(file, at + 20), U32(file, at + 16)});
    }

    std::printf("program %s: %zu bytes (%.1f KiB; aim: at most 32 KiB)\n", argv[1], file.size(),
                file.size() / 1024.0);
    std::printf("  %-10s %8u bytes\n", "headers", headers);
    uint32_t rsrcRva = U32(file, optional + 96 + 8 * 2);
    for (const Section &s : sections) {
        std::printf("  %-10s %8u bytes in the file (%u in memory)\n", s.name.c_str(), s.rawSize, s.virtualSize);
        if (s.virtualAddress != rsrcRva || s.rawOffset + s.rawSize > file.size())
            continue;
        size_t root = s.rawOffset;
        unsigned entries = U16(file, root + 12) + U16(file, root + 14);
        for (unsigned i = 0; i < entries && i < 256; i++) {
            uint32_t nameField = U32(file, root + 16 + 8 * i);
            uint32_t bytes = 0, count = 0;
            SumResourceData(file, root, s.rawSize, U32(file, root + 16 + 8 * i + 4), 1, bytes, count);
            const char *kind = (nameField & 0x80000000u) ? nullptr : ResourceTypeName(nameField);
            char label[32];
            if (kind)
                std::snprintf(label, sizeof label, "%s", kind);
            else
                std::snprintf(label, sizeof label, "type %u", nameField & 0x7FFFFFFFu);
            std::printf("      %-14s %6u bytes in %u resource%s\n", label, bytes, count, count == 1 ? "" : "s");
        }
    }
    return 0;
}
