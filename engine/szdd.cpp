// SZDD codec: the streaming expander the installer runs, and the optimal-parse
// compressor the packer uses to build the payload items.
#include "engine/szdd.h"

#include <algorithm>
#include <climits>
#include <cstring>

// The window starts filled with spaces and the first byte goes 16 bytes before its end.
constexpr uint32_t kWindowMask = kSzddWindowSize - 1;
constexpr uint32_t kWindowStart = kSzddWindowSize - 16;
constexpr int kMinMatch = 3;
constexpr int kMaxMatch = 18;
constexpr long kIoChunk = 4096;

void SzddMagic(uint8_t out[8])
{
    // The first letter comes through a volatile read of its own literal, so the
    // compiler can neither fold the four marker letters into one constant nor
    // keep them side by side in the program's data.
    static const char first[] = "S";
    static const char rest[] = "ZDD";
    volatile const char *head = first;
    out[0] = uint8_t(head[0]);
    out[1] = uint8_t(rest[0]);
    out[2] = uint8_t(rest[1]);
    out[3] = uint8_t(rest[2]);
    out[4] = 0x88;
    out[5] = 0xF0;
    out[6] = 0x27;
    out[7] = 0x33;
}

bool SzddHasMagic(const uint8_t *p, size_t n)
{
    if (p == nullptr || n < 8)
        return false;
    uint8_t magic[8];
    SzddMagic(magic);
    return std::memcmp(p, magic, 8) == 0;
}

// ---------------------------------------------------------------------------
// Expander

// Buffered reader over the caller's read callback.
struct SzddInput {
    SzddReadFn read;
    void *ctx;
    uint8_t buf[kIoChunk];
    long pos;
    long len;
    bool failed;
};

// Next input byte, or -1 at the end of input (failed set when the reader failed).
static int NextInputByte(SzddInput &in)
{
    if (in.pos >= in.len) {
        if (in.failed)
            return -1;
        long got = in.read(in.ctx, in.buf, kIoChunk);
        if (got <= 0 || got > kIoChunk) {
            in.failed = got != 0;
            in.len = in.pos = 0;
            return -1;
        }
        in.len = got;
        in.pos = 0;
    }
    return in.buf[in.pos++];
}

struct SzddOutput {
    SzddWriteFn write;
    void *ctx;
    uint8_t buf[kIoChunk];
    long len;
    bool failed;
};

static bool FlushOutput(SzddOutput &out)
{
    if (out.len > 0 && !out.failed) {
        long put = out.write(out.ctx, out.buf, out.len);
        if (put != out.len)
            out.failed = true;
    }
    out.len = 0;
    return !out.failed;
}

static bool PutOutputByte(SzddOutput &out, uint8_t b)
{
    out.buf[out.len++] = b;
    return out.len < kIoChunk || FlushOutput(out);
}

// The byte count is returned as a long, which has 32 bits on Windows.
static bool FitsLongResult(unsigned long long count)
{
    return count <= (unsigned long long)LONG_MAX;
}

// Copies a source without the magic: whatever the output buffer already
// holds (the bytes taken for the header test), then the rest of the input.
static long CopyUnchanged(SzddInput &in, SzddOutput &out)
{
    unsigned long long total = (unsigned long long)out.len;
    for (;;) {
        while (in.pos < in.len) {
            long take = std::min<long>(in.len - in.pos, kIoChunk - out.len);
            std::memcpy(out.buf + out.len, in.buf + in.pos, size_t(take));
            out.len += take;
            in.pos += take;
            total += (unsigned long long)take;
            if (out.len == kIoChunk && !FlushOutput(out))
                return SZDD_ERR_WRITE;
        }
        if (!FitsLongResult(total))
            return SZDD_ERR_TOO_LARGE;
        long got = in.read(in.ctx, in.buf, kIoChunk);
        if (got < 0 || got > kIoChunk)
            return SZDD_ERR_READ;
        if (got == 0)
            break;
        in.len = got;
        in.pos = 0;
    }
    if (!FlushOutput(out))
        return SZDD_ERR_WRITE;
    return long(total);
}

struct SzddExpandState {
    SzddInput in;
    SzddOutput out;
    uint8_t window[kSzddWindowSize];
};

static long ExpandWith(SzddExpandState &s)
{
    SzddInput &in = s.in;
    SzddOutput &out = s.out;

    // Gather up to the full header; a source that ends sooner, or does not
    // start with the magic, is no compressed file.
    uint8_t header[kSzddHeaderSize];
    size_t have = 0;
    while (have < kSzddHeaderSize) {
        int c = NextInputByte(in);
        if (c < 0)
            break;
        header[have++] = uint8_t(c);
    }
    if (in.failed)
        return SZDD_ERR_READ;
    if (!SzddHasMagic(header, have)) {
        std::memcpy(out.buf, header, have);
        out.len = long(have);
        return CopyUnchanged(in, out);
    }
    if (have < kSzddHeaderSize)
        return SZDD_ERR_SHORT_HEADER;
    if (header[8] != kSzddModeA)
        return SZDD_ERR_BAD_MODE;
    uint32_t length = uint32_t(header[10]) | uint32_t(header[11]) << 8 | uint32_t(header[12]) << 16 |
                      uint32_t(header[13]) << 24;
    if (!FitsLongResult(length))
        return SZDD_ERR_TOO_LARGE;

    std::memset(s.window, ' ', sizeof s.window);
    uint32_t pos = kWindowStart;
    uint32_t written = 0;
    while (written < length) {
        int flags = NextInputByte(in);
        if (flags < 0)
            return in.failed ? SZDD_ERR_READ : SZDD_ERR_TRUNCATED;
        for (int bit = 0; bit < 8 && written < length; ++bit) {
            int a = NextInputByte(in);
            if (a < 0)
                return in.failed ? SZDD_ERR_READ : SZDD_ERR_TRUNCATED;
            if (flags & (1 << bit)) {
                s.window[pos] = uint8_t(a);
                pos = (pos + 1) & kWindowMask;
                ++written;
                if (!PutOutputByte(out, uint8_t(a)))
                    return SZDD_ERR_WRITE;
                continue;
            }
            int b = NextInputByte(in);
            if (b < 0)
                return in.failed ? SZDD_ERR_READ : SZDD_ERR_TRUNCATED;
            uint32_t src = uint32_t(a) | (uint32_t(b & 0xF0) << 4);
            int len = (b & 0x0F) + kMinMatch;
            // Read before write, so a source at the write position itself
            // still yields the byte written one window earlier.
            for (int k = 0; k < len && written < length; ++k) {
                uint8_t c = s.window[(src + uint32_t(k)) & kWindowMask];
                s.window[pos] = c;
                pos = (pos + 1) & kWindowMask;
                ++written;
                if (!PutOutputByte(out, c))
                    return SZDD_ERR_WRITE;
            }
        }
    }
    if (!FlushOutput(out))
        return SZDD_ERR_WRITE;
    return long(written);
}

long SzddExpand(SzddReadFn read, void *readCtx, SzddWriteFn write, void *writeCtx)
{
    if (read == nullptr || write == nullptr)
        return SZDD_ERR_BAD_ARGUMENT;
    // Fixed state of about 12 KiB; static so the installer's small stack is
    // spared (one expansion at a time, on one thread).
    static SzddExpandState state;
    state.in.read = read;
    state.in.ctx = readCtx;
    state.in.pos = state.in.len = 0;
    state.in.failed = false;
    state.out.write = write;
    state.out.ctx = writeCtx;
    state.out.len = 0;
    state.out.failed = false;
    return ExpandWith(state);
}

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

long SzddExpandBuffer(const uint8_t *in, size_t n, std::vector<uint8_t> &out)
{
    out.clear();
    if (in == nullptr && n > 0)
        return SZDD_ERR_BAD_ARGUMENT;
    MemorySource src = {in, n, 0};
    return SzddExpand(ReadMemory, &src, WriteVector, &out);
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
    if (n < size_t(kMinMatch))
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
        spaces[i] = in[i] == ' ' ? uint8_t(std::min(kMaxMatch, spaces[i + 1] + 1)) : 0;

    for (size_t i = 0; i < n; ++i) {
        int cap = int(std::min<size_t>(size_t(kMaxMatch), n - i));
        int best = 0;
        long long bestSrc = 0;
        if (cap >= kMinMatch) {
            // Sources in the initial spaces. Any j <= -18 reads 18 spaces, so
            // they all match the run of spaces at i; the 17 nearer ones reach
            // into the input and are tried one by one.
            if (i < kSzddWindowSize) {
                long long lowest = (long long)i - (long long)kSzddWindowSize;
                if (lowest <= -kMaxMatch && spaces[i] > best) {
                    best = std::min<int>(spaces[i], cap);
                    bestSrc = lowest;
                }
                for (long long j = std::max<long long>(lowest, -kMaxMatch + 1); j < 0 && best < cap; ++j) {
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
                uint32_t next = prev[cand & kWindowMask];
                if (next == kNone || next >= cand)
                    break;
                cand = next;
            }
        }
        if (best >= kMinMatch) {
            longest[i] = uint8_t(best);
            sourceOf[i] = uint32_t((long long)kWindowStart + bestSrc) & kWindowMask;
        }
        if (i + 2 < n) {
            uint32_t h = hash3(i);
            prev[i & kWindowMask] = head[h];
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
        if (b.pos < n && (b.len == 0 || (b.len >= kMinMatch && b.len <= kMaxMatch)))
            banMasks.push_back({b.pos, 1u << b.len});
    std::sort(banMasks.begin(), banMasks.end());

    // Shortest path over states (input position, tokens so far mod 8): a token
    // costs its own bytes, plus the group's flag byte when it opens a group.
    // That is exactly the file size, so the cheapest path is the smallest file.
    constexpr uint32_t kInf = UINT32_MAX;
    constexpr int kRing = kMaxMatch + 1;
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
            for (int len = kMinMatch; len <= maxLen; ++len) {
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
    for (int b = 0; b < 4; ++b)
        header[10 + b] = uint8_t(uint32_t(n) >> (8 * b));
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
            out.push_back(uint8_t(((src >> 4) & 0xF0) | uint32_t(tokens[t] - kMinMatch)));
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
