// What the two compressors share (compressor.cpp, marker_free.cpp): the
// match finder, the optimal parse, and a buffered writer for their output; and
// the trace that the tests use to aim bans at single output bytes.
#pragma once
#include "packer/compressor/compressor.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Finds the longest match (capped at 18 and at the input's end) at each input
// position in turn. The window is modelled as the input preceded by 4096 spaces.
// It keeps only a window's worth of history, so it can start anywhere and give
// there exactly what a run from the start would give.
// Besides the chains of positions with the same first three bytes, it keeps
// chains for longer prefixes, searched longest first: on data of few symbols the
// three-byte chain holds most of the window, while a match as long as a longer
// prefix is found among the few positions that share it.
constexpr int kLongPrefixLevels = 2;
constexpr int kLongPrefixLength[kLongPrefixLevels] = {11, 6};
struct MatchFinder {
    const uint8_t *in;
    size_t n;
    size_t next;                                        // the position the next call reports on
    std::vector<uint32_t> head;                         // hash of three bytes -> newest position
    std::vector<uint32_t> prev;                         // window slot of a position -> older position, same hash
    std::vector<uint32_t> longHead[kLongPrefixLevels];  // the same for each longer prefix
    std::vector<uint32_t> longPrev[kLongPrefixLevels];
};
void StartMatchFinder(MatchFinder &f, const uint8_t *in, size_t n, size_t start);
// The longest match at f.next (0 when shorter than three) and the window position
// of its source, then moves on by one position.
int NextMatch(MatchFinder &f, uint32_t &source);
// Moves on by one position without searching.
void SkipMatch(MatchFinder &f);

// The longest match at every position (0 when shorter than three).
void FindLongestMatches(const uint8_t *in, size_t n, std::vector<uint8_t> &longest);

// The smallest encoding's token lengths (1 literal, 3..18 match), honouring bans.
// `lengths` comes in as the longest match at every position and leaves as the
// token lengths, written over it as they are found, so the two never take memory
// side by side. false (lengths unchanged) when the bans leave no way through.
bool OptimalParse(std::vector<uint8_t> &lengths, const std::vector<SzddTokenBan> &bans);

// The file's fourteen header bytes for an input of n bytes.
void SzddHeader(size_t n, uint8_t header[kSzddHeaderSize]);

// Output gathered in a fixed buffer and handed to a writer in large pieces.
struct BufferedWriter {
    SzddWriteFn write;
    void *ctx;
    uint64_t total;  // bytes accepted so far
    bool failed;
    size_t used;
    uint8_t buf[65536];
};
void StartWriter(BufferedWriter &w, SzddWriteFn write, void *ctx);
void PutBytes(BufferedWriter &w, const uint8_t *p, size_t n);
// Hands over what is buffered; false when the writer failed at any point.
bool FlushWriter(BufferedWriter &w);

// Describes which input position/token produced each byte of a compressed file;
// lets a test ban the token behind a chosen byte and compress again.
// origin[i] for output byte i: the input position of the token it encodes, or
// for a flag byte the input position of the first token of its group;
// originLen[i] the token length (0 literal, 3..18 match, 0xFF header or flag byte).
struct SzddTrace {
    std::vector<uint32_t> origin;
    std::vector<uint8_t> originLen;
};
bool SzddCompressTraced(const uint8_t *in, size_t n, std::vector<uint8_t> &out, const std::vector<SzddTokenBan> &bans,
                        SzddTrace &trace);
