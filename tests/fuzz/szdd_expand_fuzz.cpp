// The SZDD expander on arbitrary files: never more output than the header's length,
// exactly that length on success, and the same result whether the file arrives in
// one piece or in dribbles of a few bytes (the installer's streams read in blocks).
#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/fuzz/fuzz_check.h"
#include "packer/szdd_memory.h"

namespace {

struct Dribble {
    const uint8_t *data;
    size_t size, at;
    size_t chunk;
};

long ReadDribble(void *ctx, uint8_t *buf, long n)
{
    Dribble &d = *static_cast<Dribble *>(ctx);
    size_t take = d.size - d.at;
    if (take > d.chunk)
        take = d.chunk;
    if (take > size_t(n))
        take = size_t(n);
    if (take)
        std::memcpy(buf, d.data + d.at, take);
    d.at += take;
    // Varies the chunk so block edges fall everywhere.
    d.chunk = d.chunk % 7 + 1;
    return long(take);
}

long WriteVector(void *ctx, const uint8_t *buf, long n)
{
    static_cast<std::vector<uint8_t> *>(ctx)->insert(static_cast<std::vector<uint8_t> *>(ctx)->end(), buf, buf + n);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> whole;
    size_t consumed = 0;
    long result = SzddExpandBuffer(data, size, whole, &consumed);
    FUZZ_CHECK(consumed <= size, "consumed %zu of %zu", consumed, size);

    bool compressed = SzddHasMagic(data, size);
    if (result >= 0) {
        FUZZ_CHECK(size_t(result) == whole.size(), "result %ld, output %zu", result, whole.size());
        if (compressed) {
            uint32_t length =
                uint32_t(data[10]) | uint32_t(data[11]) << 8 | uint32_t(data[12]) << 16 | uint32_t(data[13]) << 24;
            FUZZ_CHECK(whole.size() == length, "output %zu, header says %u", whole.size(), unsigned(length));
        } else {
            FUZZ_CHECK(whole.size() == size && (size == 0 || std::memcmp(whole.data(), data, size) == 0),
                       "a plain file is not copied unchanged");
        }
    }

    std::vector<uint8_t> streamed;
    Dribble source{data, size, 0, size % 5 + 1};
    long streamedResult = SzddExpand(ReadDribble, &source, WriteVector, &streamed);
    FUZZ_CHECK(streamedResult == result, "in one piece %ld, in dribbles %ld", result, streamedResult);
    if (result >= 0)
        FUZZ_CHECK(streamed == whole, "dribbled output differs");
    return 0;
}
