// Reading the section table of a 32-bit Windows program file held in memory:
// enough to find the installer's checksum slot and where its image ends.
// The file is untrusted input, so every offset is checked against its size.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct PeSection {
    char name[9];          // zero-terminated; names longer than 8 bytes are not resolved
    uint32_t virtualSize;
    uint32_t rawOffset;    // PointerToRawData
    uint32_t rawSize;      // SizeOfRawData
};

// Finds the section called `name`. Returns false with a reason in `error` when
// the bytes are not a well-formed PE file or the section is missing or lies
// outside the file.
bool FindPeSection(const uint8_t *file, size_t size, const char *name, PeSection &section,
                   std::string &error);

// The end of the program proper: the largest end of any section's raw data
// (or of the headers). Bytes after it are appended data the loader ignores.
bool PeImageEnd(const uint8_t *file, size_t size, size_t &end, std::string &error);
