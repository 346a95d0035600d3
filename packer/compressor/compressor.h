// The publisher's side of SZDD: the smallest-output compressor and the compressor
// for installer items that never spells the item marker. The installer includes
// none of this.
#pragma once
#include "format/szdd.h"

#include <cstddef>
#include <cstdint>
#include <vector>

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
bool SzddCompress(const uint8_t *in, size_t n, std::vector<uint8_t> &out, const std::vector<SzddTokenBan> &bans = {});

// The same smallest encoding, written in order to a writer instead of held whole,
// for files too large to keep twice. Returns 0, SZDD_ERR_BAD_ARGUMENT (input of
// 4 GiB or more, or a null writer) or SZDD_ERR_WRITE (the writer failed);
// written, when given, gets the bytes written.
long SzddCompressTo(const uint8_t *in, size_t n, SzddWriteFn write, void *ctx, uint64_t *written = nullptr);

// About the most memory compressing n bytes takes, the input included (one byte
// per position for the longest matches and the token lengths, and the marker-free
// encoder's work on top): what a message names when memory runs out.
uint64_t SzddMemoryNeeded(uint64_t n);

// Compression for items of the installer file, whose scan ends an item wherever
// its bytes spell the item marker (matched by the scan's own rule from the file's
// fifth byte on). Of all encodings of the content (token lengths, each match's
// source, the free flag bits after the last token) it gives the smallest one,
// re-encoded only around each place where that one spells the marker, with the
// smallest encoding of that neighbourhood that does not. It fails only when no
// encoding of the whole content avoids the marker.
enum SzddMarkerFreeStatus {
    SZDD_MARKER_FREE,          // out holds an encoding without a second marker
    SZDD_MARKER_TOO_LARGE,     // the input does not fit the format (>= 4 GiB)
    SZDD_MARKER_UNAVOIDABLE,   // no encoding of this content avoids the marker
    SZDD_MARKER_SEARCH_LIMIT,  // one exists, but only by re-encoding more than the largest span
    SZDD_MARKER_WRITE_FAILED,  // the writer failed (SzddCompressMarkerFreeTo only)
};
constexpr size_t kSzddLargestRepairSpan = size_t(1) << 16;
struct SzddMarkerFreeReport {
    size_t optimalSize;   // the smallest encoding, marker or not
    size_t repairs;       // neighbourhoods encoded again
    size_t widest;        // the widest neighbourhood searched, in input bytes
    size_t markerInput;   // input offset behind the first marker that had to be avoided
    uint64_t storedSize;  // bytes of the encoding given
};
SzddMarkerFreeStatus SzddCompressMarkerFree(const uint8_t *in, size_t n, std::vector<uint8_t> &out,
                                            SzddMarkerFreeReport &report);
// The same encoding written in order to a writer; nothing is written unless the
// status is SZDD_MARKER_FREE (or SZDD_MARKER_WRITE_FAILED, part-way).
SzddMarkerFreeStatus SzddCompressMarkerFreeTo(const uint8_t *in, size_t n, SzddWriteFn write, void *ctx,
                                              SzddMarkerFreeReport &report);
