// The one reader of Windows program (PE) files held in memory: the headers, the
// section table, the data directory and the image checksum. The file is untrusted
// input, so every offset is checked against its size.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The DOS header keeps the PE header's file offset here (e_lfanew); a file shorter
// than the DOS header is no program.
constexpr size_t kPeHeaderOffsetField = 0x3C;
constexpr size_t kDosHeaderSize = kPeHeaderOffsetField + 4;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
// The data directory's entry for the certificate table (the signature).
constexpr uint32_t kCertificateDirectory = 4;

// Where the PE header of a file of fileSize bytes starts, from its DOS header
// (`head`, the file's first headSize bytes): false with a reason when there is no
// MZ header or the PE signature and file header would lie outside the file.
bool LocatePeHeader(const uint8_t *head, size_t headSize, uint64_t fileSize, uint32_t &peOffset, std::string &error);

// The four bytes found there: false with a reason when they are not the PE signature.
bool CheckPeSignature(const uint8_t *signature, std::string &error);

// The file header and where the optional header lies.
struct PeHeaders {
    uint32_t peOffset;  // the "PE\0\0" signature
    uint16_t machine;
    uint16_t sectionCount;
    uint16_t characteristics;
    size_t optionalOffset;  // the optional header
    uint16_t optionalSize;
    uint16_t magic;  // kPe32Magic, kPe32PlusMagic, or 0 when the file ends before it
};

// Reads the headers of the PE file in file[0, size); false with a reason when it
// is not one.
bool ReadPeHeaders(const uint8_t *file, size_t size, PeHeaders &headers, std::string &error);

// The file offset of data directory entry `index` (its RVA, then its size); false
// when the optional header is neither PE32 nor PE32+ or holds no such entry.
bool PeDataDirectoryEntry(const uint8_t *file, size_t size, const PeHeaders &headers, uint32_t index,
                          size_t &entryOffset);

struct PeSection {
    char name[9];  // zero-terminated; names longer than 8 bytes are not resolved
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t rawOffset;  // PointerToRawData
    uint32_t rawSize;    // SizeOfRawData
};

// Every section header, in order. false with a reason when the bytes are not a
// well-formed PE file or a section lies outside the file.
bool ReadPeSections(const uint8_t *file, size_t size, std::vector<PeSection> &sections, std::string &error);

// Finds the section called `name`. Returns false with a reason in `error` when
// the bytes are not a well-formed PE file or the section is missing or lies
// outside the file.
bool FindPeSection(const uint8_t *file, size_t size, const char *name, PeSection &section, std::string &error);

// The end of the program proper: the largest end of any section's raw data
// (or of the headers). Bytes after it are appended data the loader ignores.
bool PeImageEnd(const uint8_t *file, size_t size, size_t &end, std::string &error);

// Where a PE file keeps its signature.
struct PeSignatureFields {
    size_t checksumOffset;   // the optional header's CheckSum field
    size_t directoryOffset;  // the certificate table's entry in the data directory
    uint32_t tableOffset;    // file offset of the table (0 when unsigned)
    uint32_t tableSize;
};

// Reads the fields from the first bytes of a PE file (the headers; the caller
// passes at least the first 4 KiB or the whole file). false with a reason when
// the bytes are not a PE file.
bool ReadPeSignatureFields(const uint8_t *head, size_t size, PeSignatureFields &fields, std::string &error);

// The standard PE image checksum (its own field counted as zero) of a file given
// in pieces: PeChecksumAdd over each piece in order (the bytes at file offsets
// [from, to), from even), then PeChecksumFinish with the whole file's size.
uint64_t PeChecksumAdd(uint64_t sum, const uint8_t *piece, size_t from, size_t to, size_t checksumOffset);
uint32_t PeChecksumFinish(uint64_t sum, size_t size);
