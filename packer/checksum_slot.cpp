// The packer's view of the installer program's checksum slot: the slot found in
// its own section of the stub, and the payload's checksum written into it.
#include "packer/checksum_slot.h"

#include <cstring>

#include "format/byte_order.h"
#include "format/payload.h"
#include "packer/pe_image.h"
#include "packer/scan_replay.h"

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
