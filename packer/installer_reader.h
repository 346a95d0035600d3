// Reading an installer without running it: its items as the installer's scan
// finds them, the checksum against the program's constant, and each item expanded.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "format/szdd.h"
#include "packer/scan_replay.h"

struct ListedItem {
    size_t offset;
    size_t size;        // bytes the installer copies for it (alignment and tail included)
    size_t storedSize;  // the SZDD file itself: header and compressed data; 0 when damaged
    uint32_t expandedSize;
    bool expands;
};

struct InstallerInfo {
    ScanResult scan;
    std::vector<ListedItem> items;
    bool haveSlot;
    uint32_t expectedChecksum;
    size_t programEnd;
    bool markerInHead;
};

// Fills info as far as the file allows; returns true only for a sound installer
// (eleven items that expand, no marker in the head, checksum matching the
// program's constant). Otherwise `problem` says what is wrong.
bool InspectInstaller(const uint8_t *file, size_t size, InstallerInfo &info, std::string &problem);

// An installer to inspect: in memory (data) or read from an open file as needed,
// so that listing and unpacking need memory independent of its size.
// list and extract read a program's headers from at most its first 16 MiB; a
// real one is far smaller.
constexpr size_t kLargestProgram = size_t(16) << 20;

struct InstallerSource {
    const uint8_t *data;  // used when file is null
    std::FILE *file;
    uint64_t size;
};
// Opens an installer file to be read as it goes: memory stays flat whatever its
// size. The caller closes src.file.
bool OpenInstaller(const std::string &path, InstallerSource &src, std::string &error);
bool ReadInstallerAt(const InstallerSource &src, uint64_t offset, uint8_t *buf, size_t n);
bool InspectInstallerSource(const InstallerSource &src, InstallerInfo &info, std::string &problem);
// Expands one listed item into the writer; returns the SzddExpand result.
long ExpandInstallerItem(const InstallerSource &src, const ListedItem &item, SzddWriteFn write, void *ctx);

// The eleven expanded files of a sound installer, in table order.
bool ExtractInstaller(const uint8_t *file, size_t size, std::vector<std::vector<uint8_t>> &files, std::string &error);
