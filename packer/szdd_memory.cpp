// The SZDD streaming calls held in memory: a source that reads from a buffer, a
// writer that appends to a vector, and the expansion of a whole buffer.
#include "packer/szdd_memory.h"

#include <algorithm>
#include <cstring>

long SzddReadMemory(void *ctx, uint8_t *buf, long n)
{
    SzddMemorySource *m = static_cast<SzddMemorySource *>(ctx);
    size_t take = std::min(m->size - m->at, size_t(n));
    if (take > 0)
        std::memcpy(buf, m->data + m->at, take);
    m->at += take;
    return long(take);
}

long SzddWriteToVector(void *ctx, const uint8_t *buf, long n)
{
    std::vector<uint8_t> *v = static_cast<std::vector<uint8_t> *>(ctx);
    v->insert(v->end(), buf, buf + n);
    return n;
}

long CountOnly(void *ctx, const uint8_t *, long n)
{
    *static_cast<uint64_t *>(ctx) += uint64_t(n);
    return n;
}

long SzddExpandBuffer(const uint8_t *in, size_t n, std::vector<uint8_t> &out, size_t *consumed)
{
    out.clear();
    if (consumed != nullptr)
        *consumed = 0;
    if (in == nullptr && n > 0)
        return SZDD_ERR_BAD_ARGUMENT;
    SzddMemorySource src = {in, n, 0};
    unsigned long long used = 0;
    long result = SzddExpandCounted(SzddReadMemory, &src, SzddWriteToVector, &out, used);
    if (consumed != nullptr)
        *consumed = size_t(used);
    return result;
}
