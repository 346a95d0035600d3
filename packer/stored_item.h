// One input file as the installer stores it: a sound compressed file kept as it
// is, anything else compressed so that no second item marker appears in it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "packer/compressor/compressor.h"

struct StoredItem {
    std::vector<uint8_t> bytes;  // filled by PrepareItem and BuildInstaller; a build to a file keeps only sizes
    size_t storedSize;
    bool embeddedAsIs;   // the input already was an SZDD file and is kept as it is
    size_t optimalSize;  // size without the marker constraint
    size_t repairs;      // marker repairs the compressor made
    size_t expandedSize;
};

// True when the input is exactly one complete SZDD stream in mode 'A': its data
// expands to the header's length and nothing follows it. expanded gets the content.
bool IsOneSoundSzddStream(const std::vector<uint8_t> &input, std::vector<uint8_t> &expanded);
// Why the input is not one sound stream, in words; empty when it is.
std::string SzddStreamProblem(const std::vector<uint8_t> &input, std::vector<uint8_t> &expanded);

// Writes one input file's stored item (see PrepareItem) to a writer, keeping
// nothing of it: item.bytes stays empty.
bool WriteStoredItem(const std::vector<uint8_t> &input, const std::string &name, SzddWriteFn write, void *ctx,
                     StoredItem &item, std::string &error);

// Turns one input file into its stored item: a sound SZDD stream is kept as it
// is (or its content encoded again when its bytes hold a second marker); any
// other file is compressed as data. A file that starts like a compressed file
// but is not one sound stream (streams back to back, cut short) is refused with
// the reason: as data its first bytes spell the marker, which nothing avoids.
// `name` is used in error messages.
bool PrepareItem(const std::vector<uint8_t> &input, const std::string &name, StoredItem &item, std::string &error);

// What an SzddError means, in words for a message.
std::string SzddErrorText(long code);

// Writes a whole item through a writer, in pieces whose length fits a long on any platform.
bool WriteAllTo(SzddWriteFn write, void *ctx, const uint8_t *data, size_t size);
