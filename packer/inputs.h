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

// Checks of the SOURCE arguments' names, made before any work. How many there
// are is part of the command line: one folder or eleven files, and fewer files
// named after the table name the ones left out. Eleven files are taken in table
// order: the shell's sorted order of payload/* puts files the table names
// elsewhere, so a file named after another item than the place it is given in is
// refused, with the order to give. A payload folder holds the eleven names as the
// table spells them: one that differs only in case, or one missing, is said.
bool CheckSourceCount(const std::vector<std::string> &sources, std::string &error);
bool CheckTableOrder(const std::vector<std::string> &files, std::string &error);
bool CheckPayloadFolder(const std::string &folder, std::string &error);

// The names in a payload folder, sorted, a folder's marked with a trailing '/'
// when markFolders; nothing when it cannot be read (reading the files then says why).
std::vector<std::string> FolderNames(const std::string &folder, bool markFolders);

// "a", "a and b", "a, b and c".
std::string JoinNames(const std::vector<std::string> &names);

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
