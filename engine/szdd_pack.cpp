// SZDD on the publisher's side: the optimal-parse compressor that builds the
// payload items, and in-memory expansion for the tools and tests.
#include "engine/szdd.h"

#include "engine/byte_order.h"
#include "engine/payload.h"

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
                               std::vector<uint16_t> &sourceOf)
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

    // Length of the run of spaces starting at every position, capped at 18; only
    // positions within the window's reach of the initial spaces need it.
    size_t spaced = std::min(n, size_t(kSzddWindowSize) + size_t(kSzddMaxMatch));
    std::vector<uint8_t> spaces(spaced + 1, 0);
    for (size_t i = spaced; i-- > 0;)
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
            sourceOf[i] = uint16_t(uint32_t((long long)kSzddWindowStart + bestSrc) & kSzddWindowMask);
        }
        if (i + 2 < n) {
            uint32_t h = hash3(i);
            prev[i & kSzddWindowMask] = head[h];
            head[h] = uint32_t(i);
        }
    }
}

// The smallest encoding's token lengths (1 literal, 3..18 match), honouring bans.
static bool OptimalParse(const uint8_t *in, size_t n, const std::vector<uint8_t> &longest,
                         const std::vector<SzddTokenBan> &bans, std::vector<uint8_t> &tokens)
{
    (void)in;
    tokens.clear();
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
    constexpr int kRing = kSzddMaxMatch + 1;
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
        if (i % kSegment == 0)
            checkpoints.push_back(ring);
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
    std::vector<uint8_t> segment((kSegment + kRing) * 8, 0);
    size_t i = n;
    int k = bestK;
    while (i > 0) {
        size_t s = (i - 1) / kSegment;
        size_t base = s * kSegment;
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
            tokens.push_back(len);
            i -= len;
            k = (k + 7) & 7;
        }
    }
    std::reverse(tokens.begin(), tokens.end());
    return true;
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
    std::vector<uint16_t> sourceOf;  // window positions fit 12 bits
    FindLongestMatches(in, n, longest, sourceOf);
    std::vector<uint8_t> tokens;
    if (!OptimalParse(in, n, longest, bans, tokens))
        return false;  // the bans leave no way through

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

// ---------------------------------------------------------------------------
// Encoding that never spells the item marker
//
// The installer ends an item wherever its bytes spell the marker, so a stored
// item must not. Among all encodings of the same content (token lengths, the
// source of each match, the free flag bits after the last token) one without
// the marker is chosen: the smallest encoding is kept everywhere except a
// neighbourhood of each place it spells the marker, which is searched again with
// the matcher's state in the search; the neighbourhood widens until the search
// succeeds or covers the whole file, where failing means no encoding exists.

namespace {

struct Token {
    uint8_t len;   // 1 literal, 3..18 match
    uint16_t src;  // window position of a match's source
};

// What the matcher tells apart: a byte is one of the marker's letters or not.
struct MarkerModel {
    char marker[4];
    uint8_t classOf[256];  // 0 not a letter, else 1 + index of its first occurrence
    uint8_t want[4];       // the class the matcher waits for in each state
    uint16_t specialLow[256];
    int specialLowCount;
    bool specialHigh[16];  // source high nibbles that can make a match's second byte a letter
};

void InitMarkerModel(MarkerModel &mm)
{
    BuildMarker(mm.marker);
    std::memset(mm.classOf, 0, sizeof mm.classOf);
    for (int j = 3; j >= 0; --j)
        mm.classOf[uint8_t(mm.marker[j])] = uint8_t(j + 1);
    for (int j = 0; j < 4; ++j)
        mm.want[j] = mm.classOf[uint8_t(mm.marker[j])];
    mm.specialLowCount = 0;
    for (int b = 0; b < 256; ++b)
        if (mm.classOf[b])
            mm.specialLow[mm.specialLowCount++] = uint16_t(b);
    for (int h = 0; h < 16; ++h) {
        mm.specialHigh[h] = false;
        for (int x = 0; x < 16; ++x)
            mm.specialHigh[h] = mm.specialHigh[h] || mm.classOf[(h << 4) | x] != 0;
    }
}

// The matcher's step on a byte class: 4 means the marker is complete.
inline int StepClass(const MarkerModel &mm, int m, int cls)
{
    return cls == mm.want[m] ? m + 1 : 0;
}

inline uint8_t MatchSecondByte(uint32_t src, int len)
{
    return uint8_t(((src >> 4) & 0xF0) | uint32_t(len - kSzddMinMatch));
}

// Byte j of the stream the window models: the initial spaces, then the input.
inline uint8_t StreamByte(const uint8_t *in, long long j)
{
    return j < 0 ? uint8_t(' ') : in[size_t(j)];
}

// Length of the match at input position i from window position w, capped.
int MatchLengthFrom(const uint8_t *in, size_t i, uint32_t w, int cap)
{
    uint32_t d = (kSzddWindowStart + uint32_t(i) - w) & kSzddWindowMask;
    if (d == 0)
        d = kSzddWindowSize;
    long long base = (long long)i - (long long)d;
    int len = 0;
    while (len < cap && StreamByte(in, base + len) == in[i + size_t(len)])
        ++len;
    return len;
}

int MatchCap(size_t i, size_t n) { return int(std::min<size_t>(size_t(kSzddMaxMatch), n - i)); }

// For every match length at i, the set of byte-class pairs its two bytes can
// take over all sources of that length (bit c1 * 4 + c2). Sources whose bytes
// are no letters all look alike; the others are few and tried one by one.
void MatchClassSets(const MarkerModel &mm, const uint8_t *in, size_t n, size_t i, int longest, uint32_t canonical,
                    uint16_t sets[kSzddMaxMatch + 1])
{
    std::fill(sets, sets + kSzddMaxMatch + 1, uint16_t(0));
    if (longest < kSzddMinMatch)
        return;
    int cap = std::min(MatchCap(i, n), longest);
    auto special = [&](uint32_t w) { return mm.classOf[w & 0xFF] != 0 || mm.specialHigh[w >> 8]; };
    auto addSource = [&](uint32_t w, int len) {
        for (int l = kSzddMinMatch; l <= len; ++l)
            sets[l] |= uint16_t(1u << (mm.classOf[w & 0xFF] * 4 + mm.classOf[MatchSecondByte(w, l)]));
    };
    // Plain sources: the longest reach of any source whose bytes are no letters.
    int plain = 0;
    if (!special(canonical)) {
        plain = cap;
    } else {
        for (uint32_t w = 0; w < kSzddWindowSize && plain < cap; ++w)
            if (!special(w))
                plain = std::max(plain, MatchLengthFrom(in, i, w, cap));
    }
    for (int l = kSzddMinMatch; l <= plain; ++l)
        sets[l] |= 1u;
    for (int k = 0; k < mm.specialLowCount; ++k)
        for (uint32_t h = 0; h < 16; ++h) {
            uint32_t w = (h << 8) | mm.specialLow[k];
            addSource(w, MatchLengthFrom(in, i, w, cap));
        }
    for (uint32_t h = 0; h < 16; ++h) {
        if (!mm.specialHigh[h])
            continue;
        for (uint32_t low = 0; low < 256; ++low) {
            if (mm.classOf[low])
                continue;  // done above
            uint32_t w = (h << 8) | low;
            addSource(w, MatchLengthFrom(in, i, w, cap));
        }
    }
}

// A source for a match of length len at i whose bytes have the given classes.
bool SourceWithClasses(const MarkerModel &mm, const uint8_t *in, size_t i, int len, int pair, uint32_t canonical,
                       uint32_t &src)
{
    auto fits = [&](uint32_t w) {
        return mm.classOf[w & 0xFF] * 4 + mm.classOf[MatchSecondByte(w, len)] == pair &&
               MatchLengthFrom(in, i, w, len) >= len;
    };
    if (fits(canonical)) {
        src = canonical;
        return true;
    }
    for (uint32_t w = 0; w < kSzddWindowSize; ++w)
        if (fits(w)) {
            src = w;
            return true;
        }
    return false;
}

// The file for a token list; groupAt[g] gets the offset of group g's flag byte.
// lastFlagExtra fills the flag bits after the last token (the expander ignores them).
void EmitTokens(const uint8_t *in, size_t n, const std::vector<Token> &tokens, uint8_t lastFlagExtra,
                std::vector<uint8_t> &out, std::vector<size_t> &groupAt)
{
    uint8_t header[kSzddHeaderSize];
    SzddMagic(header);
    header[8] = kSzddModeA;
    header[9] = 0;
    WriteLe32(header + kSzddLengthOffset, uint32_t(n));
    out.assign(header, header + kSzddHeaderSize);
    groupAt.clear();
    size_t pos = 0;
    size_t flagAt = 0;
    for (size_t t = 0; t < tokens.size(); ++t) {
        if (t % 8 == 0) {
            flagAt = out.size();
            groupAt.push_back(flagAt);
            out.push_back(0);
        }
        if (tokens[t].len == 1) {
            out[flagAt] |= uint8_t(1u << (t % 8));
            out.push_back(in[pos]);
        } else {
            out.push_back(uint8_t(tokens[t].src & 0xFF));
            out.push_back(MatchSecondByte(tokens[t].src, tokens[t].len));
        }
        pos += tokens[t].len;
    }
    if (tokens.size() % 8 != 0)
        out[flagAt] |= uint8_t(lastFlagExtra & ~((1u << (tokens.size() % 8)) - 1));
}

// The first completed marker after the file's own, as the offset of its last byte.
bool FirstMarkerEnd(const MarkerModel &mm, const std::vector<uint8_t> &out, size_t &end)
{
    int m = 0;
    for (size_t q = 4; q < out.size(); ++q) {
        m = StepClass(mm, m, mm.classOf[out[q]]);
        if (m == 4) {
            end = q;
            return true;
        }
    }
    return false;
}

int MatcherStateAt(const MarkerModel &mm, const std::vector<uint8_t> &out, size_t end)
{
    int m = 0;
    for (size_t q = 4; q < end; ++q)
        m = StepClass(mm, m, mm.classOf[out[q]]);
    return m;
}

// Search state inside a group: tokens taken in it (k), the matcher state (m),
// and what the group's flag byte, written before its tokens, was assumed to be:
// the letter the matcher waited for at the group's start (forced), or anything
// else (then at least one flag bit must differ from that letter's).
enum FlagKind { FLAG_FORCED = 0, FLAG_DIFFERS_NOT_YET = 1, FLAG_DIFFERS = 2 };
constexpr int kModes = 12;  // group-start state (0..3) * 3 kinds
constexpr int kStates = 4 + 7 * kModes * 4;

inline int StateIndex(int k, int mode, int m) { return k == 0 ? m : 4 + ((k - 1) * kModes + mode) * 4 + m; }
inline void StateParts(int s, int &k, int &mode, int &m)
{
    if (s < 4) {
        k = 0;
        mode = 0;
        m = s;
        return;
    }
    int r = s - 4;
    m = r % 4;
    mode = (r / 4) % kModes;
    k = r / (4 * kModes) + 1;
}

struct Back {
    uint16_t prev;
    uint8_t len;   // 0: unreached
    uint8_t pair;  // byte classes of a match
};

struct Window {
    size_t ta, tb;     // token range
    size_t A, B;       // input range
    size_t OA;         // output offset of group ta's flag byte
};

struct ExitCheck {
    bool ok;
    long delta;             // flag bytes gained or saved by regrouping what follows
    uint8_t lastFlagExtra;  // free flag bits when the window reaches the end
};

// Can the search end at B in state s? The tokens after the window keep their
// lengths and sources; when the window's token count moved them within their
// groups, they are regrouped: the flags change, and the matcher is run over
// what follows until it is at rest again.
ExitCheck CheckExit(const MarkerModel &mm, const uint8_t *in, size_t n, const std::vector<Token> &tokens,
                    const Window &win, int s)
{
    ExitCheck r{false, 0, 0};
    int k = 0, mode = 0, m = 0;
    StateParts(s, k, mode, m);
    int m0 = mode / 3;
    int kind = mode % 3;
    uint8_t v = uint8_t(mm.marker[m0]);
    size_t rest = tokens.size() - win.tb;
    if (win.B == n) {
        // Nothing follows; free flag bits after the last token settle the flag byte.
        if (k != 0) {
            uint8_t unused = uint8_t(~((1u << k) - 1));
            r.lastFlagExtra = kind == FLAG_FORCED ? uint8_t(v & unused) : kind == FLAG_DIFFERS_NOT_YET ? uint8_t(~v & unused) : 0;
        }
        r.ok = true;
        return r;
    }
    // The rest of the current group takes the first following tokens.
    size_t t = win.tb;
    size_t inGroup = k == 0 ? 0 : std::min<size_t>(size_t(8 - k), rest);
    if (k != 0) {
        bool differs = kind == FLAG_DIFFERS;
        for (size_t j = 0; j < inGroup; ++j) {
            int bit = tokens[t + j].len == 1 ? 1 : 0;
            int want = (v >> (k + int(j))) & 1;
            if (kind == FLAG_FORCED && bit != want)
                return r;
            differs = differs || bit != want;
        }
        bool freeBits = k + int(inGroup) < 8;  // the stream ends inside this group
        if (kind == FLAG_DIFFERS_NOT_YET && !differs && !freeBits)
            return r;
    }
    long before = long((rest + 7) / 8);
    long after = long(k == 0 ? (rest + 7) / 8 : (rest - inGroup + 7) / 8);
    r.delta = after - before;
    // Run the matcher over the regrouped bytes until it rests.
    size_t pos = win.B;
    size_t groupLeft = inGroup;
    size_t idx = t;
    int state = m;
    for (int guard = 0; state != 0 && idx < tokens.size() && guard < 64; ++guard) {
        if (groupLeft == 0) {
            uint8_t flag = 0;
            for (size_t j = 0; j < 8 && idx + j < tokens.size(); ++j)
                if (tokens[idx + j].len == 1)
                    flag |= uint8_t(1u << j);
            state = StepClass(mm, state, mm.classOf[flag]);
            if (state == 4)
                return r;
            groupLeft = 8;
            continue;
        }
        const Token &tok = tokens[idx];
        if (tok.len == 1) {
            state = StepClass(mm, state, mm.classOf[in[pos]]);
        } else {
            state = StepClass(mm, state, mm.classOf[tok.src & 0xFF]);
            if (state != 4)
                state = StepClass(mm, state, mm.classOf[MatchSecondByte(tok.src, tok.len)]);
        }
        if (state == 4)
            return r;
        pos += tok.len;
        ++idx;
        --groupLeft;
    }
    r.ok = true;
    return r;
}

// Searches the window for the smallest encoding in which the marker never
// completes; on success replaces the window's tokens. false when none exists
// within it.
bool RepairWindow(const MarkerModel &mm, const uint8_t *in, size_t n, const std::vector<uint8_t> &longest,
                  const std::vector<uint16_t> &sourceOf, std::vector<Token> &tokens, uint8_t &lastFlagExtra,
                  const Window &win, int entryState, bool existenceOnly)
{
    constexpr uint32_t kInf = UINT32_MAX;
    constexpr int kRing = kSzddMaxMatch + 1;
    size_t W = win.B - win.A;
    std::vector<uint32_t> cost(size_t(kRing) * kStates, kInf);
    std::vector<Back> back;
    if (!existenceOnly)
        back.assign((W + 1) * size_t(kStates), Back{0, 0, 0});
    std::vector<uint16_t> sets(size_t(kSzddMaxMatch + 1));
    cost[size_t(entryState)] = 0;
    for (size_t r = 0; r < W; ++r) {
        size_t i = win.A + r;
        uint32_t *here = &cost[(r % kRing) * kStates];
        int maxLen = std::min<int>(longest[i], int(W - r));
        MatchClassSets(mm, in, n, i, maxLen, sourceOf[i], sets.data());
        int litClass = mm.classOf[in[i]];
        for (int s = 0; s < kStates; ++s) {
            uint32_t c = here[s];
            if (c == kInf)
                continue;
            int k = 0, mode = 0, m = 0;
            StateParts(s, k, mode, m);
            // At a group start the flag byte is assumed first: forced to the
            // letter the matcher waits for, or differing from it.
            for (int kindChoice = 0; kindChoice < (k == 0 ? 2 : 1); ++kindChoice) {
                int m0 = k == 0 ? m : mode / 3;
                int kind = k == 0 ? (kindChoice == 0 ? FLAG_FORCED : FLAG_DIFFERS_NOT_YET) : mode % 3;
                if (k == 0 && kind == FLAG_FORCED && StepClass(mm, m, mm.want[m]) == 4)
                    continue;  // the flag byte itself would complete the marker
                int mAfterFlag = k == 0 ? (kind == FLAG_FORCED ? m + 1 : 0) : m;
                uint32_t flagCost = k == 0 ? 1 : 0;
                uint8_t v = uint8_t(mm.marker[m0]);
                int want = (v >> k) & 1;
                auto relax = [&](int len, int bit, int m2, int pair) {
                    int nkind = kind;
                    if (kind == FLAG_FORCED && bit != want)
                        return;
                    if (kind == FLAG_DIFFERS_NOT_YET && bit != want)
                        nkind = FLAG_DIFFERS;
                    int nk = k + 1;
                    int ns;
                    if (nk == 8) {
                        if (nkind == FLAG_DIFFERS_NOT_YET)
                            return;  // the flag byte would be the letter after all
                        ns = StateIndex(0, 0, m2);
                    } else {
                        ns = StateIndex(nk, m0 * 3 + nkind, m2);
                    }
                    uint32_t nc = c + flagCost + (len == 1 ? 1u : 2u);
                    uint32_t &t = cost[((r + size_t(len)) % kRing) * kStates + size_t(ns)];
                    if (nc < t) {
                        t = nc;
                        if (!back.empty())
                            back[(r + size_t(len)) * kStates + size_t(ns)] = Back{uint16_t(s), uint8_t(len), uint8_t(pair)};
                    }
                };
                int mLit = StepClass(mm, mAfterFlag, litClass);
                if (mLit != 4)
                    relax(1, 1, mLit, 0);
                for (int len = kSzddMinMatch; len <= maxLen; ++len) {
                    for (uint32_t bits = sets[size_t(len)]; bits != 0; bits &= bits - 1) {
                        int pair = __builtin_ctz(bits);
                        int m1 = StepClass(mm, mAfterFlag, pair / 4);
                        if (m1 == 4)
                            continue;
                        int m2 = StepClass(mm, m1, pair % 4);
                        if (m2 != 4)
                            relax(len, 0, m2, pair);
                    }
                }
            }
        }
        std::fill(here, here + kStates, kInf);
    }
    // The cheapest end state whose continuation is sound.
    uint32_t *last = &cost[(W % kRing) * kStates];
    long bestTotal = -1;
    int bestState = -1;
    ExitCheck bestExit{false, 0, 0};
    for (int s = 0; s < kStates; ++s) {
        if (last[s] == kInf)
            continue;
        ExitCheck e = CheckExit(mm, in, n, tokens, win, s);
        if (!e.ok)
            continue;
        long total = long(last[s]) + e.delta;
        if (bestState < 0 || total < bestTotal) {
            bestTotal = total;
            bestState = s;
            bestExit = e;
        }
    }
    if (bestState < 0)
        return false;
    if (back.empty())
        return true;  // only asked whether one exists
    // Walk back and rebuild the window's tokens with sources of the chosen classes.
    std::vector<Token> middle;
    size_t r = W;
    int s = bestState;
    while (r > 0) {
        const Back &b = back[r * kStates + size_t(s)];
        size_t i = win.A + r - b.len;
        Token tok{b.len, 0};
        if (b.len != 1) {
            uint32_t src = 0;
            if (!SourceWithClasses(mm, in, i, b.len, b.pair, sourceOf[i], src))
                return false;  // cannot happen: the class came from such a source
            tok.src = uint16_t(src);
        }
        middle.push_back(tok);
        r -= b.len;
        s = b.prev;
    }
    std::reverse(middle.begin(), middle.end());
    tokens.erase(tokens.begin() + long(win.ta), tokens.begin() + long(win.tb));
    tokens.insert(tokens.begin() + long(win.ta), middle.begin(), middle.end());
    if (win.B == n)
        lastFlagExtra = bestExit.lastFlagExtra;
    else if (bestExit.delta != 0 || (bestState >= 4))
        lastFlagExtra = 0;  // the last group is regrouped; the rescan judges it
    return true;
}

}  // namespace

SzddMarkerFreeStatus SzddCompressMarkerFree(const uint8_t *in, size_t n, std::vector<uint8_t> &out,
                                            SzddMarkerFreeReport &report)
{
    report = SzddMarkerFreeReport{};
    out.clear();
    if (n > size_t(UINT32_MAX) || (in == nullptr && n > 0))
        return SZDD_MARKER_TOO_LARGE;
    std::vector<uint8_t> longest;
    std::vector<uint16_t> sourceOf;  // window positions fit 12 bits
    FindLongestMatches(in, n, longest, sourceOf);
    std::vector<uint8_t> lengths;
    OptimalParse(in, n, longest, {}, lengths);
    std::vector<Token> tokens;
    tokens.reserve(lengths.size());
    {
        size_t pos = 0;
        for (uint8_t len : lengths) {
            tokens.push_back(Token{len, uint16_t(len == 1 ? 0 : sourceOf[pos])});
            pos += len;
        }
    }
    lengths = std::vector<uint8_t>();
    uint8_t lastFlagExtra = 0;
    std::vector<size_t> groupAt;
    EmitTokens(in, n, tokens, lastFlagExtra, out, groupAt);
    report.optimalSize = out.size();

    MarkerModel mm;
    InitMarkerModel(mm);
    std::vector<size_t> tokenPos;
    for (;;) {
        size_t end = 0;
        if (!FirstMarkerEnd(mm, out, end))
            return SZDD_MARKER_FREE;
        size_t T = tokens.size();
        tokenPos.assign(T + 1, 0);
        for (size_t t = 0; t < T; ++t)
            tokenPos[t + 1] = tokenPos[t] + tokens[t].len;
        // The input offset of the token behind the marker's first byte, for messages.
        size_t first = end >= 3 ? end - 3 : 0;
        size_t gFirst = size_t(std::upper_bound(groupAt.begin(), groupAt.end(), std::max(first, kSzddHeaderSize)) -
                               groupAt.begin());
        gFirst = gFirst > 0 ? gFirst - 1 : 0;
        size_t gLast = size_t(std::upper_bound(groupAt.begin(), groupAt.end(), end) - groupAt.begin());
        gLast = gLast > 0 ? gLast - 1 : 0;
        {
            size_t q = groupAt.empty() ? out.size() : groupAt[gFirst] + 1;
            size_t t = gFirst * 8;
            while (t + 1 < T && t + 1 < gFirst * 8 + 8 && q + (tokens[t].len == 1 ? 1 : 2) <= first) {
                q += tokens[t].len == 1 ? 1 : 2;
                ++t;
            }
            report.markerInput = t < T ? tokenPos[t] : n;
        }
        if (end < kSzddHeaderSize)
            return SZDD_MARKER_UNAVOIDABLE;  // the header's length field spells it
        Window win{};
        win.ta = (gFirst > 0 ? gFirst - 1 : 0) * 8;
        win.tb = std::min(T, (gLast + 2) * 8);
        bool repaired = false;
        for (int widen = 0; !repaired; ++widen) {
            win.A = tokenPos[win.ta];
            win.B = tokenPos[win.tb];
            win.OA = groupAt[win.ta / 8];
            int entry = MatcherStateAt(mm, out, win.OA);
            bool whole = win.ta == 0 && win.tb == T;
            if (win.B - win.A <= kSzddLargestRepairSpan) {
                repaired = RepairWindow(mm, in, n, longest, sourceOf, tokens, lastFlagExtra, win, entry, false);
                report.widest = std::max(report.widest, win.B - win.A);
            } else if (whole) {
                // Too wide to rebuild here; the search still tells whether any encoding exists.
                if (RepairWindow(mm, in, n, longest, sourceOf, tokens, lastFlagExtra, win, entry, true))
                    return SZDD_MARKER_SEARCH_LIMIT;
            }
            if (!repaired && whole)
                return SZDD_MARKER_UNAVOIDABLE;
            // Widen mostly backwards: earlier matches are what move flag bytes
            // in between the letters; what follows is regrouped anyway.
            size_t grow = size_t(8) << std::min(widen, 40);
            if (win.ta > 0)
                win.ta = win.ta > grow ? win.ta - grow : 0;
            win.tb = std::min(T, win.tb + (win.ta > 0 ? size_t(8) : grow));
        }
        ++report.repairs;
        EmitTokens(in, n, tokens, lastFlagExtra, out, groupAt);
    }
}

namespace {

long WriteAll(SzddWriteFn write, void *ctx, const std::vector<uint8_t> &bytes)
{
    for (size_t at = 0; at < bytes.size();) {
        long chunk = long(std::min<size_t>(bytes.size() - at, size_t(1) << 16));
        if (write(ctx, bytes.data() + at, chunk) != chunk)
            return SZDD_ERR_WRITE;
        at += size_t(chunk);
    }
    return 0;
}

}  // namespace

long SzddCompressTo(const uint8_t *in, size_t n, SzddWriteFn write, void *ctx, uint64_t *written)
{
    if (written != nullptr)
        *written = 0;
    std::vector<uint8_t> out;
    if (write == nullptr || !SzddCompress(in, n, out))
        return SZDD_ERR_BAD_ARGUMENT;
    long result = WriteAll(write, ctx, out);
    if (result == 0 && written != nullptr)
        *written = out.size();
    return result;
}

SzddMarkerFreeStatus SzddCompressMarkerFreeTo(const uint8_t *in, size_t n, SzddWriteFn write, void *ctx,
                                              SzddMarkerFreeReport &report)
{
    std::vector<uint8_t> out;
    SzddMarkerFreeStatus status = SzddCompressMarkerFree(in, n, out, report);
    if (status != SZDD_MARKER_FREE)
        return status;
    if (write == nullptr || WriteAll(write, ctx, out) != 0)
        return SZDD_MARKER_WRITE_FAILED;
    report.storedSize = out.size();
    return status;
}
