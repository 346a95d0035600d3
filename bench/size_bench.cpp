// What takes the room in the installer program before any payload: its size, each
// section's share, what the loader's tables take inside it, and within the
// resources each kind's bytes; then what it needs to start: the subsystem version it
// asks for, whether it can be moved (base relocations), and every function it imports.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "packer/pe_image.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t U16(const Bytes &b, size_t at) { return at + 2 <= b.size() ? uint16_t(b[at] | b[at + 1] << 8) : 0; }
uint32_t U32(const Bytes &b, size_t at)
{
    return at + 4 <= b.size() ? uint32_t(U16(b, at) | uint32_t(U16(b, at + 2)) << 16) : 0;
}

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

// The loader's tables by the data directories' index; the rest are never in this program.
const char *DirectoryName(unsigned index)
{
    switch (index) {
    case 0: return "export table";
    case 1: return "import descriptors";
    case 3: return "exception table";
    case 5: return "relocations";
    case 6: return "debug directory";
    case 9: return "TLS directory";
    case 10: return "load configuration";
    case 12: return "import address table";
    case 13: return "delayed imports";
    default: return nullptr;
    }
}

// Converts an address in memory to a file offset; 0 when no section holds it.
size_t FileOffset(const std::vector<PeSection> &sections, uint32_t rva)
{
    for (const PeSection &s : sections)
        if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize)
            return s.rawOffset + (rva - s.virtualAddress);
    return 0;
}

size_t NameBytes(const Bytes &file, size_t at)
{
    size_t n = 0;
    while (at + n < file.size() && file[at + n] != 0)
        n++;
    return n + 1;
}

// DLL name -> the functions imported from it (by name, or #ordinal).
using ImportList = std::map<std::string, std::vector<std::string>>;

// Everything the imports take: descriptors, both pointer tables, the DLL names and the
// hint-and-name entries (ld pads each of those to an even length).
uint32_t ImportBytes(const Bytes &file, const std::vector<PeSection> &sections, uint32_t importRva, bool wide,
                     unsigned &dlls, unsigned &functions, ImportList &list)
{
    size_t pointer = wide ? 8 : 4;
    uint32_t bytes = 0;
    dlls = functions = 0;
    size_t at = FileOffset(sections, importRva);
    for (; at != 0 && at + 20 <= file.size() && dlls < 256; at += 20) {
        uint32_t lookup = U32(file, at), name = U32(file, at + 12), table = U32(file, at + 16);
        if (name == 0 && table == 0)
            break;
        dlls++;
        size_t nameAt = FileOffset(sections, name);
        bytes += 20 + (nameAt ? uint32_t(NameBytes(file, nameAt)) : 0);
        std::vector<std::string> &names =
            list[nameAt ? std::string(reinterpret_cast<const char *>(&file[nameAt])) : "?"];
        size_t entry = FileOffset(sections, lookup ? lookup : table);
        unsigned count = 0;
        for (; entry != 0 && entry + pointer <= file.size() && count < 4096; entry += pointer, count++) {
            uint64_t value = wide ? (U32(file, entry) | uint64_t(U32(file, entry + 4)) << 32) : U32(file, entry);
            if (value == 0)
                break;
            bool byOrdinal = wide ? (value >> 63) != 0 : (value >> 31) != 0;
            size_t hint = byOrdinal ? 0 : FileOffset(sections, uint32_t(value));
            if (hint) {
                bytes += uint32_t((2 + NameBytes(file, hint + 2) + 1) & ~size_t(1));
                names.push_back(reinterpret_cast<const char *>(&file[hint + 2]));
            } else {
                names.push_back("#" + std::to_string(value & 0xFFFF));
            }
        }
        functions += count;
        bytes += uint32_t(2 * (count + 1) * pointer);  // lookup and address tables
    }
    if (dlls)
        bytes += 20;  // the empty descriptor that ends the list
    return bytes;
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
    PeHeaders pe;
    std::vector<PeSection> sections;
    std::string error;
    if (!ReadPeHeaders(file.data(), file.size(), pe, error) ||
        !ReadPeSections(file.data(), file.size(), sections, error)) {
        std::fprintf(stderr, "size_bench: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    unsigned sectionCount = pe.sectionCount;
    size_t optional = pe.optionalOffset;
    uint32_t headers = U32(file, optional + 60);  // SizeOfHeaders
    // Data directory entry d: its RVA and size (0 and 0 when the program has none).
    auto directory = [&](unsigned d, uint32_t &rva, uint32_t &size) {
        size_t at = 0;
        bool have = PeDataDirectoryEntry(file.data(), file.size(), pe, d, at);
        rva = have ? U32(file, at) : 0;
        size = have ? U32(file, at + 4) : 0;
    };

    std::printf("program %s: %zu bytes (%.1f KiB; aim: at most 32 KiB, 24 KiB at best)\n", argv[1], file.size(),
                file.size() / 1024.0);
    if (file.size() > 24 * 1024)
        std::printf("  %zu bytes over 24 KiB\n", file.size() - 24 * 1024);
    std::printf("  %-10s %8u bytes (%u sections of 40 bytes each)\n", "headers", headers, sectionCount);
    bool wide = pe.magic == kPe32PlusMagic;
    uint32_t rsrcRva = 0, rsrcSize = 0;
    directory(2, rsrcRva, rsrcSize);
    ImportList imports;
    for (const PeSection &s : sections) {
        std::printf("  %-10s %8u bytes in the file (%u in memory)\n", s.name, s.rawSize, s.virtualSize);
        for (unsigned d = 0; d < 16; d++) {
            uint32_t rva = 0, size = 0;
            directory(d, rva, size);
            const char *name = DirectoryName(d);
            if (!name || rva == 0 || rva < s.virtualAddress || rva - s.virtualAddress >= s.virtualSize)
                continue;
            std::printf("      %-20s %6u bytes\n", name, size);
            if (d == 1) {
                unsigned dlls, functions;
                uint32_t all = ImportBytes(file, sections, rva, wide, dlls, functions, imports);
                std::printf("      %-20s %6u bytes (%u functions from %u DLLs, with names and tables)\n",
                            "imports in all", all, functions, dlls);
            }
        }
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

    uint32_t relocations = 0, relocationsSize = 0;
    directory(5, relocations, relocationsSize);
    std::printf("starts on: subsystem version %u.%02u, operating system version %u.%02u, %s\n",
                U16(file, optional + 48), U16(file, optional + 50), U16(file, optional + 40), U16(file, optional + 42),
                relocations != 0 ? "base relocations kept (can be moved)" : "no base relocations (cannot be moved)");
    for (const auto &dll : imports) {
        std::printf("imports from %s: %zu function%s\n   ", dll.first.c_str(), dll.second.size(),
                    dll.second.size() == 1 ? "" : "s");
        size_t column = 3;
        for (const std::string &name : dll.second) {
            if (column + name.size() + 1 > 100) {
                std::printf("\n   ");
                column = 3;
            }
            std::printf(" %s", name.c_str());
            column += name.size() + 1;
        }
        std::printf("\n");
    }
    return 0;
}
