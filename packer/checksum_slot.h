// The packer's view of the installer program's checksum slot: finding it in a
// stub and writing a payload's checksum into it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The expected-checksum slot of an installer program: offset of its value.
bool FindChecksumSlot(const uint8_t *file, size_t size, size_t &valueOffset, std::string &error);

// Writes value into the slot; false when the new bytes, next to their
// neighbours, spell the item marker (the build then moves the checksum).
bool PatchChecksumSlot(std::vector<uint8_t> &program, size_t valueOffset, uint32_t value);
