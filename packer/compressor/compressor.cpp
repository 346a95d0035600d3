// SZDD on the publisher's side: the optimal-parse compressor that builds the
// payload items (expansion is format/szdd.cpp's, in memory packer/szdd_memory.cpp's).
#include "packer/compressor/compressor_parts.h"

#include "format/byte_order.h"
#include "format/payload.h"
#include "packer/progress.h"
#include "packer/szdd_memory.h"

#include <algorithm>
#include <cstring>

// ---------------------------------------------------------------------------
// Compressor

namespace {

constexpr uint32_t kHashBits = 15;
constexpr uint32_t kNoPosition = UINT32_MAX;

inline uint32_t Hash3(const uint8_t *p)
{
    uint32_t v = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    return (v * 2654435761u) >> (32 - kHashBits);
}

// The longer prefixes' chains only ever hold a window's worth of positions.
constexpr uint32_t kLongHashBits = 12;

inline uint32_t MixPrefix(uint64_t a, uint64_t b)
{
    return uint32_t(((a * 0x9E3779B97F4A7C15ull) ^ (b * 0xC2B2AE3D27D4EB4Full)) >> (64 - kLongHashBits));
}

// Hash of the first `length` bytes (5 to 16).
// Bytes in little-endian order whatever the machine, so that a prefix cut short
// by a mask hashes as the shorter prefix does.
inline uint64_t LoadLe(const uint8_t *p, int count)
{
    uint64_t v = 0;
    for (int k = 0; k < count; ++k)
        v |= uint64_t(p[k]) << (8 * k);
    return v;
}

inline uint32_t HashPrefix(const uint8_t *p, int length)
{
    return MixPrefix(LoadLe(p, length < 8 ? length : 8), length > 8 ? LoadLe(p + 8, length - 8) : 0);
}

inline void Chain(std::vector<uint32_t> &head, std::vector<uint32_t> &prev, uint32_t h, size_t i)
{
    prev[i & kSzddWindowMask] = head[h];
    head[h] = uint32_t(i);
}

inline void Remember(MatchFinder &f, size_t i)
{
    if (i + 2 < f.n)
        Chain(f.head, f.prev, Hash3(f.in + i), i);
    static_assert(kLongPrefixLevels == 2 && kLongPrefixLength[0] == 11 && kLongPrefixLength[1] == 6,
                  "the hashes below are those of these prefixes");
    if (i + 11 <= f.n) {
        // Both prefixes from two loads.
        uint64_t a = LoadLe(f.in + i, 8);
        uint64_t b = LoadLe(f.in + i + 8, 3);
        Chain(f.longHead[0], f.longPrev[0], MixPrefix(a, b), i);
        Chain(f.longHead[1], f.longPrev[1], MixPrefix(a & 0xFFFFFFFFFFFFull, 0), i);
        return;
    }
    for (int level = 0; level < kLongPrefixLevels; ++level)
        if (i + size_t(kLongPrefixLength[level]) <= f.n)
            Chain(f.longHead[level], f.longPrev[level], HashPrefix(f.in + i, kLongPrefixLength[level]), i);
}

// Walks one chain from `cand`, newest first, for a match longer than `best`:
// on a tie the newer source stays. Matches are measured up to `cap`; the walk
// stops at the window's far end, once `best` reaches `limit` (no source gives
// more), or after `steps` candidates. Returns the candidate to go on from
// (kNoPosition when the chain is done).
inline uint32_t WalkChain(const uint8_t *in, size_t i, int cap, int limit, uint32_t cand,
                          const std::vector<uint32_t> &prev, size_t steps, int &best, long long &bestSrc)
{
    const uint8_t *b = in + i;
    for (; steps > 0; --steps) {
        if (cand == kNoPosition || best >= limit || i - cand > kSzddWindowSize)
            return kNoPosition;
        const uint8_t *a = in + cand;
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
        if (next == kNoPosition || next >= cand)
            return kNoPosition;
        cand = next;
    }
    return cand;
}

// Candidates of the three-byte chain tried before the longer prefixes' chains:
// most chains end sooner, and then those are not needed.
constexpr size_t kShortWalk = 8;

}  // namespace

void StartMatchFinder(MatchFinder &f, const uint8_t *in, size_t n, size_t start)
{
    f.in = in;
    f.n = n;
    f.next = start;
    f.head.assign(size_t(1) << kHashBits, kNoPosition);
    f.prev.assign(kSzddWindowSize, kNoPosition);
    for (int level = 0; level < kLongPrefixLevels; ++level) {
        f.longHead[level].assign(size_t(1) << kLongHashBits, kNoPosition);
        f.longPrev[level].assign(kSzddWindowSize, kNoPosition);
    }
    // Sources further back than the window are never taken, so a window's worth
    // of history gives the same chains a run from the start would have.
    for (size_t i = start > kSzddWindowSize ? start - kSzddWindowSize : 0; i < start; ++i)
        Remember(f, i);
}

void SkipMatch(MatchFinder &f)
{
    Remember(f, f.next);
    ++f.next;
}

int NextMatch(MatchFinder &f, uint32_t &source)
{
    const uint8_t *in = f.in;
    size_t i = f.next;
    int cap = int(std::min<size_t>(size_t(kSzddMaxMatch), f.n - i));
    int best = 0;
    long long bestSrc = 0;
    if (cap >= kSzddMinMatch) {
        // Sources in the initial spaces. Any j <= -18 reads 18 spaces, so they
        // all match the run of spaces at i; the 17 nearer ones reach into the
        // input and are tried one by one.
        if (i < kSzddWindowSize) {
            long long lowest = (long long)i - (long long)kSzddWindowSize;
            int spaces = 0;
            while (spaces < cap && in[i + size_t(spaces)] == ' ')
                ++spaces;
            if (lowest <= -kSzddMaxMatch && spaces > best) {
                best = spaces;
                bestSrc = lowest;
            }
            for (long long j = std::max<long long>(lowest, -kSzddMaxMatch + 1); j < 0 && best < cap; ++j) {
                int len = 0;
                while (len < cap && (j + len < 0 ? uint8_t(' ') : in[size_t(j + len)]) == in[i + size_t(len)])
                    ++len;
                if (len > best) {
                    best = len;
                    bestSrc = j;
                }
            }
        }
        // Earlier input within the window: the longest match from the nearest
        // source (a source in the spaces keeps a tie). A short chain is walked
        // whole. Otherwise the longer prefixes' chains are tried, longest first:
        // every position whose match reaches a prefix's length is on that
        // prefix's chain, so when a chain gives a match at least that long, it
        // is the longest, and the first found of that length is the nearest;
        // when it gives none, no source anywhere does, which bounds the rest of
        // the search. The result is always the one the three-byte chain alone gives.
        int reach = cap;  // no source gives a longer match
        uint32_t rest = kNoPosition;
        if (best < reach)
            rest = WalkChain(in, i, cap, reach, f.head[Hash3(in + i)], f.prev, kShortWalk, best, bestSrc);
        for (int level = 0; level < kLongPrefixLevels && rest != kNoPosition && best < reach; ++level) {
            int length = kLongPrefixLength[level];
            if (cap < length)
                continue;
            int floor = std::max(best, length - 1);
            int found = floor;
            long long foundSrc = 0;
            WalkChain(in, i, cap, reach, f.longHead[level][HashPrefix(in + i, length)], f.longPrev[level], SIZE_MAX,
                      found, foundSrc);
            if (found > floor) {
                best = found;
                bestSrc = foundSrc;
                rest = kNoPosition;
            } else {
                reach = std::min(reach, floor);
            }
        }
        if (rest != kNoPosition && best < reach)
            WalkChain(in, i, cap, reach, rest, f.prev, SIZE_MAX, best, bestSrc);
    }
    SkipMatch(f);
    if (best < kSzddMinMatch)
        return 0;
    source = uint32_t((long long)kSzddWindowStart + bestSrc) & kSzddWindowMask;
    return best;
}

void FindLongestMatches(const uint8_t *in, size_t n, std::vector<uint8_t> &longest)
{
    longest.assign(n, 0);
    MatchFinder f;
    StartMatchFinder(f, in, n, 0);
    uint32_t source = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i % kProgressStep == 0)
            ReportWork(WORK_MATCHES, i, n);
        longest[i] = uint8_t(NextMatch(f, source));
    }
}

void SzddHeader(size_t n, uint8_t header[kSzddHeaderSize])
{
    SzddMagic(header);
    header[8] = kSzddModeA;
    header[9] = 0;
    WriteLe32(header + kSzddLengthOffset, uint32_t(n));
}

void StartWriter(BufferedWriter &w, SzddWriteFn write, void *ctx)
{
    w.write = write;
    w.ctx = ctx;
    w.total = 0;
    w.failed = false;
    w.used = 0;
}

bool FlushWriter(BufferedWriter &w)
{
    if (w.used > 0 && !w.failed && w.write(w.ctx, w.buf, long(w.used)) != long(w.used))
        w.failed = true;
    w.used = 0;
    return !w.failed;
}

void PutBytes(BufferedWriter &w, const uint8_t *p, size_t n)
{
    if (w.used + n > sizeof w.buf)
        FlushWriter(w);
    std::memcpy(w.buf + w.used, p, n);
    w.used += n;
    w.total += n;
}

// The smallest encoding's token lengths (1 literal, 3..18 match), honouring bans.
bool OptimalParse(std::vector<uint8_t> &lengths, const std::vector<SzddTokenBan> &bans)
{
    size_t n = lengths.size();
    const uint8_t *longest = lengths.data();
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
    // Costs live in a ring as long as the longest token. The choices (length of
    // the token that ends at each state) are not kept for the whole input: the
    // ring is saved every kSegment positions, and the walk back recomputes one
    // segment's choices at a time from its checkpoint, so memory stays small.
    constexpr uint32_t kInf = UINT32_MAX;
    constexpr int kRing = 32;  // longer than any token; a power of two, so a slot is a mask
    static_assert(kRing > kSzddMaxMatch, "a token must not reach its own slot");
    constexpr size_t kSegment = 65536;
    struct Ring {
        uint32_t cost[kRing][8];
        uint8_t choice[kRing][8];
    };
    auto bansFrom = [&](size_t i) {
        return size_t(std::lower_bound(banMasks.begin(), banMasks.end(), std::make_pair(uint32_t(i), 0u)) -
                      banMasks.begin());
    };
    // One position's relaxations; segment, when given, records the choices of
    // positions base..base+kSegment+kRing-1.
    auto step = [&](Ring &ring, size_t i, size_t &banAt, uint8_t *segment, size_t base) {
        uint32_t *here = ring.cost[i % kRing];
        uint32_t banned = 0;
        while (banAt < banMasks.size() && banMasks[banAt].first == i)
            banned |= banMasks[banAt++].second;
        int maxLen = longest[i];
        auto relax = [&](int len, int nk, uint32_t c) {
            size_t at = i + size_t(len);
            uint32_t &t = ring.cost[at % kRing][nk];
            if (c < t) {
                t = c;
                ring.choice[at % kRing][nk] = uint8_t(len);
                if (segment)
                    segment[(at - base) * 8 + size_t(nk)] = uint8_t(len);
            }
        };
        for (int k = 0; k < 8; ++k) {
            uint32_t c = here[k];
            if (c == kInf)
                continue;
            uint32_t flag = k == 0 ? 1 : 0;
            int nk = (k + 1) & 7;
            if (!(banned & 1u))
                relax(1, nk, c + 1 + flag);
            for (int len = kSzddMinMatch; len <= maxLen; ++len)
                if (!(banned & (1u << len)))
                    relax(len, nk, c + 2 + flag);
        }
        // The slot is reused for position i + kRing; it must start empty.
        std::fill(here, here + 8, kInf);
    };

    Ring ring;
    for (auto &row : ring.cost)
        std::fill(row, row + 8, kInf);
    std::memset(ring.choice, 0, sizeof ring.choice);
    ring.cost[0][0] = 0;
    std::vector<Ring> checkpoints;
    size_t banAt = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i % kSegment == 0) {
            checkpoints.push_back(ring);
            ReportWork(WORK_PARSE_FORWARD, i, n);
        }
        step(ring, i, banAt, nullptr, 0);
    }
    uint32_t *last = ring.cost[n % kRing];
    int bestK = -1;
    for (int k = 0; k < 8; ++k)
        if (last[k] != kInf && (bestK < 0 || last[k] < last[bestK]))
            bestK = k;
    if (n == 0)
        bestK = 0;
    if (bestK < 0)
        return false;  // the bans leave no way through

    // Walk the choices back to the start, one segment at a time. Segment s
    // settles the choices of positions (s*kSegment, (s+1)*kSegment]: those are
    // final once every position before them has been processed.
    // The tokens are written from the end of `lengths` backwards. A token never
    // covers less than one position, so the k-th from the end lands at or after
    // the position the walk has reached less one, which is inside the segment
    // just replayed: the replays still to come read only positions before it.
    std::vector<uint8_t> segment((kSegment + kRing) * 8, 0);
    size_t i = n;
    int k = bestK;
    size_t written = 0;
    while (i > 0) {
        size_t s = (i - 1) / kSegment;
        size_t base = s * kSegment;
        ReportWork(WORK_PARSE_BACK, n - i, n);
        Ring replay = checkpoints[s];
        for (size_t p = 0; p < size_t(kRing); ++p)
            for (int kk = 0; kk < 8; ++kk)
                segment[p * 8 + size_t(kk)] = replay.choice[(base + p) % kRing][kk];
        size_t segBan = bansFrom(base);
        size_t end = std::min(n, base + kSegment);
        for (size_t p = base; p < end; ++p)
            step(replay, p, segBan, segment.data(), base);
        while (i > base) {
            uint8_t len = segment[(i - base) * 8 + size_t(k)];
            lengths[n - 1 - written] = len;
            ++written;
            i -= len;
            k = (k + 7) & 7;
        }
    }
    if (written > 0)
        std::memmove(lengths.data(), lengths.data() + (n - written), written);
    lengths.resize(written);
    return true;
}

namespace {

// Writes the file for the given token lengths. The sources are found again by a
// second run of the match finder, searching only where a match starts, rather
// than kept for every position.
void EmitTokens(const uint8_t *in, size_t n, const std::vector<uint8_t> &tokens, BufferedWriter &w, SzddTrace *trace)
{
    uint8_t header[kSzddHeaderSize];
    SzddHeader(n, header);
    PutBytes(w, header, sizeof header);
    if (trace) {
        trace->origin.assign(kSzddHeaderSize, 0);
        trace->originLen.assign(kSzddHeaderSize, 0xFF);
    }
    MatchFinder f;
    StartMatchFinder(f, in, n, 0);
    uint8_t group[1 + 2 * 8];
    size_t used = 0;
    size_t pos = 0;
    for (size_t t = 0; t < tokens.size(); ++t) {
        if (t % 8 == 0) {
            if (used > 0)
                PutBytes(w, group, used);
            group[0] = 0;
            used = 1;
            if (trace) {
                trace->origin.push_back(uint32_t(pos));
                trace->originLen.push_back(0xFF);
            }
        }
        if (tokens[t] == 1) {
            group[0] |= uint8_t(1u << (t % 8));
            group[used++] = in[pos];
            SkipMatch(f);
            if (trace) {
                trace->origin.push_back(uint32_t(pos));
                trace->originLen.push_back(0);
            }
        } else {
            uint32_t src = 0;
            NextMatch(f, src);
            for (int j = 1; j < tokens[t]; ++j)
                SkipMatch(f);
            group[used++] = uint8_t(src & 0xFF);
            group[used++] = uint8_t(((src >> 4) & 0xF0) | uint32_t(tokens[t] - kSzddMinMatch));
            if (trace) {
                trace->origin.insert(trace->origin.end(), 2, uint32_t(pos));
                trace->originLen.insert(trace->originLen.end(), 2, tokens[t]);
            }
        }
        pos += tokens[t];
    }
    if (used > 0)
        PutBytes(w, group, used);
}

long CompressImpl(const uint8_t *in, size_t n, const std::vector<SzddTokenBan> &bans, BufferedWriter &w,
                  SzddTrace *trace)
{
    if (n > size_t(UINT32_MAX) || (in == nullptr && n > 0))
        return SZDD_ERR_BAD_ARGUMENT;
    std::vector<uint8_t> tokens;
    FindLongestMatches(in, n, tokens);
    if (!OptimalParse(tokens, bans))
        return SZDD_ERR_BAD_ARGUMENT;  // the bans leave no way through
    EmitTokens(in, n, tokens, w, trace);
    return FlushWriter(w) ? 0L : long(SZDD_ERR_WRITE);
}

bool CompressToVector(const uint8_t *in, size_t n, std::vector<uint8_t> &out, const std::vector<SzddTokenBan> &bans,
                      SzddTrace *trace)
{
    out.clear();
    BufferedWriter w;
    StartWriter(w, SzddWriteToVector, &out);
    if (CompressImpl(in, n, bans, w, trace) == 0)
        return true;
    out.clear();
    return false;
}

}  // namespace

bool SzddCompress(const uint8_t *in, size_t n, std::vector<uint8_t> &out, const std::vector<SzddTokenBan> &bans)
{
    return CompressToVector(in, n, out, bans, nullptr);
}

bool SzddCompressTraced(const uint8_t *in, size_t n, std::vector<uint8_t> &out, const std::vector<SzddTokenBan> &bans,
                        SzddTrace &trace)
{
    trace.origin.clear();
    trace.originLen.clear();
    return CompressToVector(in, n, out, bans, &trace);
}

long SzddCompressTo(const uint8_t *in, size_t n, SzddWriteFn write, void *ctx, uint64_t *written)
{
    if (written != nullptr)
        *written = 0;
    if (write == nullptr)
        return SZDD_ERR_BAD_ARGUMENT;
    BufferedWriter w;
    StartWriter(w, write, ctx);
    long result = CompressImpl(in, n, {}, w, nullptr);
    if (result == 0 && written != nullptr)
        *written = w.total;
    return result;
}

uint64_t SzddMemoryNeeded(uint64_t n) { return 3 * n + (uint64_t(4) << 20); }
