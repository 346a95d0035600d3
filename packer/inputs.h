// The build's inputs: the SOURCE arguments named and checked before any work,
// then handed to the build one at a time, from files or from memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The build's SOURCE arguments: one folder holding the table's names, or
// eleven files in table order. ListInputs only names them; CheckInputs opens
// each (regular file, size within the format) without reading it, so that both
// come before any work. The build then reads them one at a time.
bool ListInputs(const std::vector<std::string> &sources, std::vector<std::string> &paths, std::string &error);
bool CheckInputs(const std::vector<std::string> &paths, std::string &error);

// Hands the build input `index`; `bytes` stays valid until the next call. The
// build asks for the inputs in order, so only one need be held at a time (twice
// over when the checksum decides the program's alignment byte: see
// BuildReport::slotPass).
typedef bool (*BuildInputFn)(void *ctx, size_t index, const std::vector<uint8_t> *&bytes, std::string &error);

// Inputs already in memory (ctx: MemoryInputs).
struct MemoryInputs {
    const std::vector<std::vector<uint8_t>> *inputs;
};
bool MemoryInput(void *ctx, size_t index, const std::vector<uint8_t> *&bytes, std::string &error);

// Inputs read from files (ctx: FileInputs): the previous input is let go of
// before the next is read.
struct FileInputs {
    const std::vector<std::string> *paths;
    std::vector<uint8_t> bytes;
    size_t index;  // the input being read or encoded
};
bool FileInput(void *ctx, size_t index, const std::vector<uint8_t> *&bytes, std::string &error);
