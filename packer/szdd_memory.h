// The SZDD streaming calls held in memory, for the packer, its tools and tests: a
// source that reads from a buffer, a writer that appends to a vector, and the
// expansion of a whole buffer. The installer includes none of this.
#pragma once
#include "format/szdd.h"

#include <cstddef>
#include <cstdint>
#include <vector>

struct SzddMemorySource {
    const uint8_t *data;
    size_t size;
    size_t at;
};
long SzddReadMemory(void *ctx, uint8_t *buf, long n);           // ctx: SzddMemorySource
long SzddWriteToVector(void *ctx, const uint8_t *buf, long n);  // ctx: std::vector<uint8_t>
// A writer that only counts into its uint64_t: a stream is checked without
// keeping its expansion.
long CountOnly(void *ctx, const uint8_t *, long n);  // ctx: uint64_t

// Convenience for tools and tests: expands an in-memory file. consumed, when
// given, gets the bytes of `in` the expansion used.
long SzddExpandBuffer(const uint8_t *in, size_t n, std::vector<uint8_t> &out, size_t *consumed = nullptr);
