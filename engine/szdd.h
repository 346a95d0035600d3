// SZDD compressed-file format: header, the LZSS expander (used by the installer)
// and the optimal-parse compressor (used by the publisher's tools). The
// compressor and SzddExpandBuffer live in szdd_pack.cpp, apart from the
// expander, so the installer links no heap or C++ library code.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

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
long SzddExpandCounted(SzddReadFn read, void *readCtx, SzddWriteFn write, void *writeCtx,
                       unsigned long long &consumed);

// In-memory ends for the streaming calls, for tools and tests: a source that
// reads from a buffer, and a writer that appends to a vector.
struct SzddMemorySource {
    const uint8_t *data;
    size_t size;
    size_t at;
};
long SzddReadMemory(void *ctx, uint8_t *buf, long n);  // ctx: SzddMemorySource
long SzddWriteToVector(void *ctx, const uint8_t *buf, long n);  // ctx: std::vector<uint8_t>

// Convenience for tools and tests: expands an in-memory file. consumed, when
// given, gets the bytes of `in` the expansion used.
long SzddExpandBuffer(const uint8_t *in, size_t n, std::vector<uint8_t> &out, size_t *consumed = nullptr);

// Positions in the *input* where the compressor must not start a particular token.
// len 0 forbids a literal at pos; len 3..18 forbids a match of that length at pos.
struct SzddTokenBan {
    uint32_t pos;
    uint8_t len;
};

// Compresses in mode 'A' with the smallest output the format allows
// (a shortest-path parse over token costs), honouring the given bans.
// Returns false when the input is too large for the format (>= 4 GiB) or when
// the bans leave no way to encode it (a banned literal with no allowed match
// covering that position).
bool SzddCompress(const uint8_t *in, size_t n, std::vector<uint8_t> &out,
                  const std::vector<SzddTokenBan> &bans = {});

// Describes which input position/token produced each byte of a compressed file;
// lets the packer ban the token behind an unlucky byte and compress again.
// origin[i] for output byte i: the input position of the token it encodes, or
// for a flag byte the input position of the first token of its group;
// originLen[i] the token length (0 literal, 3..18 match, 0xFF header or flag byte).
struct SzddTrace {
    std::vector<uint32_t> origin;
    std::vector<uint8_t> originLen;
};
bool SzddCompressTraced(const uint8_t *in, size_t n, std::vector<uint8_t> &out,
                        const std::vector<SzddTokenBan> &bans, SzddTrace &trace);

// The same smallest encoding, written in order to a writer instead of held whole,
// for files too large to keep twice. Returns 0, SZDD_ERR_BAD_ARGUMENT (input of
// 4 GiB or more, or a null writer) or SZDD_ERR_WRITE (the writer failed);
// written, when given, gets the bytes written.
long SzddCompressTo(const uint8_t *in, size_t n, SzddWriteFn write, void *ctx, uint64_t *written = nullptr);

// Compression for items of the installer file, whose scan ends an item wherever
// its bytes spell the item marker (matched by the scan's own rule from the file's
// fifth byte on). Of all encodings of the content (token lengths, each match's
// source, the free flag bits after the last token) it gives the smallest one,
// re-encoded only around each place where that one spells the marker, with the
// smallest encoding of that neighbourhood that does not. It fails only when no
// encoding of the whole content avoids the marker.
enum SzddMarkerFreeStatus {
    SZDD_MARKER_FREE,         // out holds an encoding without a second marker
    SZDD_MARKER_TOO_LARGE,    // the input does not fit the format (>= 4 GiB)
    SZDD_MARKER_UNAVOIDABLE,  // no encoding of this content avoids the marker
    SZDD_MARKER_SEARCH_LIMIT, // one exists, but only by re-encoding more than the largest span
    SZDD_MARKER_WRITE_FAILED, // the writer failed (SzddCompressMarkerFreeTo only)
};
constexpr size_t kSzddLargestRepairSpan = size_t(1) << 16;
struct SzddMarkerFreeReport {
    size_t optimalSize;  // the smallest encoding, marker or not
    size_t repairs;      // neighbourhoods encoded again
    size_t widest;       // the widest neighbourhood searched, in input bytes
    size_t markerInput;  // input offset behind the first marker that had to be avoided
    uint64_t storedSize; // bytes of the encoding given
};
SzddMarkerFreeStatus SzddCompressMarkerFree(const uint8_t *in, size_t n, std::vector<uint8_t> &out,
                                            SzddMarkerFreeReport &report);
// The same encoding written in order to a writer; nothing is written unless the
// status is SZDD_MARKER_FREE (or SZDD_MARKER_WRITE_FAILED, part-way).
SzddMarkerFreeStatus SzddCompressMarkerFreeTo(const uint8_t *in, size_t n, SzddWriteFn write, void *ctx,
                                              SzddMarkerFreeReport &report);
