// SZDD on the publisher's side: the optimal-parse compressor that builds the
// payload items, and in-memory expansion for the tools and tests.
#include "engine/szdd.h"

#include "engine/byte_order.h"

#include <algorithm>
#include <cstring>

struct MemorySource {
    const uint8_t *p;
    size_t n;
    size_t at;
};

static long ReadMemory(void *ctx, uint8_t *buf, long n)
{
    MemorySource *m = static_cast<MemorySource *>(ctx);
    size_t take = std::min(m->n - m->at, size_t(n));
    if (take > 0)
        std::memcpy(buf, m->p + m->at, take);
    m->at += take;
    return long(take);
}

static long WriteVector(void *ctx, const uint8_t *buf, long n)
{
    static_cast<std::vector<uint8_t> *>(ctx)->insert(static_cast<std::vector<uint8_t> *>(ctx)->end(), buf,
                                                       buf + n);
    return n;
}

long SzddExpandBuffer(const uint8_t *in, size_t n, std::vector<uint8_t> &out, size_t *consumed)
{
    out.clear();
    if (consumed != nullptr)
        *consumed = 0;
    if (in == nullptr && n > 0)
        return SZDD_ERR_BAD_ARGUMENT;
    MemorySource src = {in, n, 0};
    unsigned long long used = 0;
    long result = SzddExpandCounted(ReadMemory, &src, WriteVector, &out, used);
    if (consumed != nullptr)
        *consumed = size_t(used);
    return result;
}

// ---------------------------------------------------------------------------
// Compressor

// The longest match (capped at 18 and at the input's end) available at every
// input position. The window is modelled as the input preceded by 4096 spaces:
// a source j < 0 stands for the space-filled window the expander starts with.
static void FindLongestMatches(const uint8_t *in, size_t n, std::vector<uint8_t> &longest,
                               std::vector<uint32_t> &sourceOf)
{
    longest.assign(n, 0);
    sourceOf.assign(n, 0);
    if (n < size_t(kSzddMinMatch))
        return;
    constexpr uint32_t kHashBits = 15;
    constexpr uint32_t kNone = UINT32_MAX;
    std::vector<uint32_t> head(size_t(1) << kHashBits, kNone);
    std::vector<uint32_t> prev(kSzddWindowSize, kNone);
    auto hash3 = [&](size_t i) {
        uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
        return (v * 2654435761u) >> (32 - kHashBits);
    };
    // Byte of the modelled stream at index j (j may be negative: the spaces).
    auto at = [&](long long j) -> uint8_t { return j < 0 ? uint8_t(' ') : in[size_t(j)]; };

    // Length of the run of spaces starting at every position, capped at 18.
    std::vector<uint8_t> spaces(n + 1, 0);
    for (size_t i = n; i-- > 0;)
        spaces[i] = in[i] == ' ' ? uint8_t(std::min(kSzddMaxMatch, spaces[i + 1] + 1)) : 0;

    for (size_t i = 0; i < n; ++i) {
        int cap = int(std::min<size_t>(size_t(kSzddMaxMatch), n - i));
        int best = 0;
        long long bestSrc = 0;
        if (cap >= kSzddMinMatch) {
            // Sources in the initial spaces. Any j <= -18 reads 18 spaces, so
            // they all match the run of spaces at i; the 17 nearer ones reach
            // into the input and are tried one by one.
            if (i < kSzddWindowSize) {
                long long lowest = (long long)i - (long long)kSzddWindowSize;
                if (lowest <= -kSzddMaxMatch && spaces[i] > best) {
                    best = std::min<int>(spaces[i], cap);
                    bestSrc = lowest;
                }
                for (long long j = std::max<long long>(lowest, -kSzddMaxMatch + 1); j < 0 && best < cap; ++j) {
                    int len = 0;
                    while (len < cap && at(j + len) == in[i + size_t(len)])
                        ++len;
                    if (len > best) {
                        best = len;
                        bestSrc = j;
                    }
                }
            }
            // Earlier input within the window, through the hash chain.
            uint32_t cand = head[hash3(i)];
            while (cand != kNone && best < cap && i - cand <= kSzddWindowSize) {
                const uint8_t *a = in + cand;
                const uint8_t *b = in + i;
                if (a[best] == b[best] && a[0] == b[0] && a[1] == b[1] && a[2] == b[2]) {
                    int len = 3;
                    while (len < cap && a[len] == b[len])
                        ++len;
                    if (len > best) {
                        best = len;
                        bestSrc = cand;
                    }
                }
                uint32_t next = prev[cand & kSzddWindowMask];
                if (next == kNone || next >= cand)
                    break;
                cand = next;
            }
        }
        if (best >= kSzddMinMatch) {
            longest[i] = uint8_t(best);
            sourceOf[i] = uint32_t((long long)kSzddWindowStart + bestSrc) & kSzddWindowMask;
        }
        if (i + 2 < n) {
            uint32_t h = hash3(i);
            prev[i & kSzddWindowMask] = head[h];
            head[h] = uint32_t(i);
        }
    }
}

static bool CompressImpl(const uint8_t *in, size_t n, std::vector<uint8_t> &out,
                         const std::vector<SzddTokenBan> &bans, SzddTrace *trace)
{
    out.clear();
    if (trace) {
        trace->origin.clear();
        trace->originLen.clear();
    }
    if (n > size_t(UINT32_MAX) || (in == nullptr && n > 0))
        return false;

    std::vector<uint8_t> longest;
    std::vector<uint32_t> sourceOf;
    FindLongestMatches(in, n, longest, sourceOf);

    // Banned tokens per position: bit 0 the literal, bit L a match of length L.
    std::vector<std::pair<uint32_t, uint32_t>> banMasks;
    banMasks.reserve(bans.size());
    for (const SzddTokenBan &b : bans)
        if (b.pos < n && (b.len == 0 || (b.len >= kSzddMinMatch && b.len <= kSzddMaxMatch)))
            banMasks.push_back({b.pos, 1u << b.len});
    std::sort(banMasks.begin(), banMasks.end());

    // Shortest path over states (input position, tokens so far mod 8): a token
    // costs its own bytes, plus the group's flag byte when it opens a group.
    // That is exactly the file size, so the cheapest path is the smallest file.
    constexpr uint32_t kInf = UINT32_MAX;
    constexpr int kRing = kSzddMaxMatch + 1;
    uint32_t cost[kRing][8];
    for (auto &row : cost)
        std::fill(row, row + 8, kInf);
    // choice[i*8+k]: length of the token that ends at state (i, k); 1 literal, 3..18 match.
    std::vector<uint8_t> choice((n + 1) * 8, 0);
    cost[0][0] = 0;
    size_t banAt = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t *here = cost[i % kRing];
        uint32_t banned = 0;
        while (banAt < banMasks.size() && banMasks[banAt].first == i)
            banned |= banMasks[banAt++].second;
        int maxLen = longest[i];
        for (int k = 0; k < 8; ++k) {
            uint32_t c = here[k];
            if (c == kInf)
                continue;
            uint32_t flag = k == 0 ? 1 : 0;
            int nk = (k + 1) & 7;
            if (!(banned & 1u)) {
                uint32_t &t = cost[(i + 1) % kRing][nk];
                if (c + 1 + flag < t) {
                    t = c + 1 + flag;
                    choice[(i + 1) * 8 + size_t(nk)] = 1;
                }
            }
            for (int len = kSzddMinMatch; len <= maxLen; ++len) {
                if (banned & (1u << len))
                    continue;
                uint32_t &t = cost[(i + size_t(len)) % kRing][nk];
                if (c + 2 + flag < t) {
                    t = c + 2 + flag;
                    choice[(i + size_t(len)) * 8 + size_t(nk)] = uint8_t(len);
                }
            }
        }
        // The slot is reused for position i + kRing; it must start empty.
        std::fill(here, here + 8, kInf);
    }
    uint32_t *last = cost[n % kRing];
    int bestK = -1;
    for (int k = 0; k < 8; ++k)
        if (last[k] != kInf && (bestK < 0 || last[k] < last[bestK]))
            bestK = k;
    if (n == 0)
        bestK = 0;
    if (bestK < 0)
        return false;  // the bans leave no way through

    // Walk the choices back to the start.
    std::vector<uint8_t> tokens;  // token lengths in input order
    {
        size_t i = n;
        int k = bestK;
        while (i > 0) {
            uint8_t len = choice[i * 8 + size_t(k)];
            tokens.push_back(len);
            i -= len;
            k = (k + 7) & 7;
        }
        std::reverse(tokens.begin(), tokens.end());
    }

    uint8_t header[kSzddHeaderSize];
    SzddMagic(header);
    header[8] = kSzddModeA;
    header[9] = 0;
    WriteLe32(header + kSzddLengthOffset, uint32_t(n));
    out.assign(header, header + kSzddHeaderSize);
    if (trace) {
        trace->origin.assign(kSzddHeaderSize, 0);
        trace->originLen.assign(kSzddHeaderSize, 0xFF);
    }
    size_t flagAt = 0;
    size_t pos = 0;
    for (size_t t = 0; t < tokens.size(); ++t) {
        if (t % 8 == 0) {
            flagAt = out.size();
            out.push_back(0);
            if (trace) {
                trace->origin.push_back(uint32_t(pos));
                trace->originLen.push_back(0xFF);
            }
        }
        if (tokens[t] == 1) {
            out[flagAt] |= uint8_t(1u << (t % 8));
            out.push_back(in[pos]);
            if (trace) {
                trace->origin.push_back(uint32_t(pos));
                trace->originLen.push_back(0);
            }
            pos += 1;
        } else {
            uint32_t src = sourceOf[pos];
            out.push_back(uint8_t(src & 0xFF));
            out.push_back(uint8_t(((src >> 4) & 0xF0) | uint32_t(tokens[t] - kSzddMinMatch)));
            if (trace) {
                trace->origin.insert(trace->origin.end(), 2, uint32_t(pos));
                trace->originLen.insert(trace->originLen.end(), 2, tokens[t]);
            }
            pos += tokens[t];
        }
    }
    return true;
}

bool SzddCompress(const uint8_t *in, size_t n, std::vector<uint8_t> &out, const std::vector<SzddTokenBan> &bans)
{
    return CompressImpl(in, n, out, bans, nullptr);
}

bool SzddCompressTraced(const uint8_t *in, size_t n, std::vector<uint8_t> &out,
                        const std::vector<SzddTokenBan> &bans, SzddTrace &trace)
{
    return CompressImpl(in, n, out, bans, &trace);
}
