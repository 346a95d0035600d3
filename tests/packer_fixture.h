// Small fixtures for the packer's tests: a minimal Windows program with a
// checksum slot, and eleven distinct payload texts.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "format/payload.h"
#include "tests/test_files.h"

namespace packer_fixture {

inline void PutLe(std::vector<uint8_t> &v, size_t at, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        v[at + i] = uint8_t(value >> (8 * i));
}

struct StubShape {
    std::string codeText = "code of the installer program";  // start of the .text section
    std::string sectionName = PAYLOAD_CHECKSUM_SECTION;
    bool withTag = true;
    std::string afterSlot;  // bytes right after the slot's value
    std::string trailer;    // bytes appended after the image
};

// DOS header, PE header, two sections (.text at 0x200, the slot section at 0x400).
inline std::vector<uint8_t> MakeStub(const StubShape &shape = StubShape())
{
    std::vector<uint8_t> f(0x600, 0);
    f[0] = 'M';
    f[1] = 'Z';
    PutLe(f, 0x3C, 0x40, 4);
    std::memcpy(&f[0x40], "PE\0\0", 4);
    PutLe(f, 0x44, 0x14C, 2);  // i386
    PutLe(f, 0x46, 2, 2);      // sections
    PutLe(f, 0x54, 0xE0, 2);   // optional header size
    size_t table = 0x40 + 24 + 0xE0;
    auto section = [&](size_t at, const std::string &name, uint32_t vsize, uint32_t raw) {
        std::memcpy(&f[at], name.data(), name.size() < 8 ? name.size() : 8);
        PutLe(f, at + 8, vsize, 4);
        PutLe(f, at + 16, 0x200, 4);
        PutLe(f, at + 20, raw, 4);
    };
    section(table, ".text", 0x200, 0x200);
    section(table + 40, shape.sectionName, 0x20, 0x400);
    std::memcpy(&f[0x200], shape.codeText.data(), shape.codeText.size());
    if (shape.withTag)
        std::memcpy(&f[0x400], kChecksumSlotTag, 8);
    std::memcpy(&f[0x40C], shape.afterSlot.data(), shape.afterSlot.size());
    // Byte by byte: GCC 12 misreads a range insert at the end here as out of bounds.
    for (char c : shape.trailer)
        f.push_back(uint8_t(c));
    return f;
}

// Eleven inputs that differ and compress: texts with repeats, one binary-ish.
inline std::vector<std::vector<uint8_t>> PayloadTexts()
{
    std::vector<std::vector<uint8_t>> inputs;
    for (int i = 0; i < kPayloadItemCount; ++i) {
        std::string text = std::string("[") + PayloadItemName(i) + "]\n";
        for (int line = 0; line < 20 + 7 * i; ++line)
            text += "setting" + std::to_string(line) + "=value " + std::to_string(line * (i + 3)) + "\n";
        inputs.push_back(BytesOf(text));
    }
    for (int b = 0; b < 600; ++b)
        inputs[0].push_back(uint8_t((b * 37) ^ (b >> 3)));
    return inputs;
}

}  // namespace packer_fixture
