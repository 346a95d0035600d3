// SZDD compressed-file format: the header and the LZSS expander, shared by the
// installer and the packer. The compressor is the packer's alone
// (packer/compressor/compressor.h): the installer links no heap or C++ library code.
#pragma once
#include <cstddef>
#include <cstdint>

// Header: 8 magic bytes, mode byte 'A', the missing last character of the name,
// and the little-endian length of the expanded file.
constexpr size_t kSzddHeaderSize = 14;
constexpr size_t kSzddLengthOffset = 10;
constexpr uint8_t kSzddModeA = 0x41;

// The LZSS window: 4 KiB, filled with spaces at the start, the first byte written
// 16 bytes before its end. Tokens are literals or matches of 3 to 18 bytes.
constexpr size_t kSzddWindowSize = 4096;
constexpr uint32_t kSzddWindowMask = kSzddWindowSize - 1;
constexpr uint32_t kSzddWindowStart = kSzddWindowSize - 16;
constexpr int kSzddMinMatch = 3;
constexpr int kSzddMaxMatch = 18;

// One error code per failure; success results are zero or positive.
enum SzddError : long {
    SZDD_ERR_READ = -1,          // the source reader failed
    SZDD_ERR_WRITE = -2,         // the target writer failed or wrote short
    SZDD_ERR_SHORT_HEADER = -3,  // SZDD magic present but header cut short
    SZDD_ERR_BAD_MODE = -4,      // compression mode other than 'A'
    SZDD_ERR_TRUNCATED = -5,     // compressed data ended before the header's length was reached
    SZDD_ERR_BAD_ARGUMENT = -6,  // null callback, or input too large for the 32-bit length field
    SZDD_ERR_TOO_LARGE = -7,     // the output would not fit the (32-bit on Windows) long result
};

// Writes the eight magic bytes. They are assembled at run time so that no
// program that carries the expander holds the four marker bytes in a row.
void SzddMagic(uint8_t out[8]);

// True when the n bytes at p start with the full eight-byte magic.
bool SzddHasMagic(const uint8_t *p, size_t n);

// Streaming callbacks: return the bytes transferred (read: 0 at end of input),
// or a negative value on failure. Writes must transfer everything they are given.
typedef long (*SzddReadFn)(void *ctx, uint8_t *buf, long n);
typedef long (*SzddWriteFn)(void *ctx, const uint8_t *buf, long n);

// Expands an SZDD stream: writes exactly the header's length, whatever follows
// the compressed data. A source without the magic is copied unchanged.
// Returns the number of bytes written (>= 0) or an SzddError.
// Memory use is the 4 KiB window and fixed buffers, whatever the file size.
long SzddExpand(SzddReadFn read, void *readCtx, SzddWriteFn write, void *writeCtx);
// The same, also reporting the source bytes it consumed: for a compressed file the
// header and the compressed data up to the header's length, not what follows.
long SzddExpandCounted(SzddReadFn read, void *readCtx, SzddWriteFn write, void *writeCtx, unsigned long long &consumed);
