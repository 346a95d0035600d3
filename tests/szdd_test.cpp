// SZDD codec: round trips, expander errors and robustness, exact optimality of
// the compressor against an independent exhaustive search, bans and the trace.
#include "packer/compressor/compressor_parts.h"
#include "packer/szdd_memory.h"
#include "tests/test_data.h"
#include "tests/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>

namespace {

std::vector<uint8_t> Compress(const std::vector<uint8_t> &in, const std::vector<SzddTokenBan> &bans = {})
{
    std::vector<uint8_t> out;
    EXPECT_TRUE(SzddCompress(in.data(), in.size(), out, bans));
    return out;
}

// Text-like data with repeats at every distance up to and beyond the window.
std::vector<uint8_t> TextLike(size_t n, uint32_t seed)
{
    static const char *words[] = {"ovra ", "chat ", "server ", "channel ", "  ",   "\r\n", "[menus]\r\n",
                                  "nick=", "0000",  "      ",  "hosts ",   "the ", "of "};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n)
        s += words[rng() % (sizeof words / sizeof words[0])];
    s.resize(n);
    return BytesOf(s);
}

// ---------------------------------------------------------------------------
// A second, deliberately plain decoder and cost model, written apart from the
// codec, so the codec is never checked only against itself.

std::vector<uint8_t> ReferenceDecode(const std::vector<uint8_t> &f)
{
    std::vector<uint8_t> out;
    uint8_t window[4096];
    std::memset(window, ' ', sizeof window);
    unsigned pos = 4096 - 16;
    size_t length = f[10] | f[11] << 8 | f[12] << 16 | size_t(f[13]) << 24;
    size_t i = 14;
    while (i < f.size() && out.size() < length) {
        unsigned flags = f[i++];
        for (int bit = 0; bit < 8 && i < f.size() && out.size() < length; ++bit) {
            if (flags >> bit & 1) {
                window[pos] = f[i];
                out.push_back(f[i++]);
                pos = (pos + 1) % 4096;
            } else {
                if (i + 1 >= f.size())
                    return out;
                unsigned src = f[i] | (f[i + 1] & 0xF0) << 4;
                unsigned len = (f[i + 1] & 0x0F) + 3;
                i += 2;
                for (unsigned k = 0; k < len; ++k) {
                    uint8_t c = window[(src + k) % 4096];
                    window[pos] = c;
                    out.push_back(c);
                    pos = (pos + 1) % 4096;
                }
            }
        }
    }
    return out;
}

// Longest match at every input position, by trying every window position
// against a window simulated by decoding the prefix; no stream model of the
// codec is shared. A byte read from a slot this very match has written is the
// input byte written there.
std::vector<int> BruteLongestMatches(const std::vector<uint8_t> &in)
{
    std::vector<int> longest(in.size());
    uint8_t window[4096];
    std::memset(window, ' ', sizeof window);
    unsigned pos = 4096 - 16;
    for (size_t i = 0; i < in.size(); ++i) {
        int cap = int(std::min<size_t>(18, in.size() - i));
        int best = 0;
        for (unsigned src = 0; src < 4096 && best < cap; ++src) {
            int len = SimulatedMatchLength(window, pos, in, i, src, cap);
            best = std::max(best, len);
        }
        longest[i] = best;
        window[pos] = in[i];
        pos = (pos + 1) % 4096;
    }
    return longest;
}

// Smallest possible file size by exhaustive search over every token sequence
// (memoised on position and tokens mod 8 only to keep it finite in time).
size_t BruteOptimalSize(const std::vector<uint8_t> &in, const std::vector<SzddTokenBan> &bans)
{
    std::vector<int> longest = BruteLongestMatches(in);
    auto banned = [&](size_t pos, int len) {
        for (const auto &b : bans)
            if (b.pos == pos && b.len == len)
                return true;
        return false;
    };
    std::map<std::pair<size_t, int>, size_t> memo;
    const size_t kNone = SIZE_MAX;
    std::function<size_t(size_t, int)> best = [&](size_t i, int t) -> size_t {
        if (i == in.size())
            return 0;
        auto key = std::make_pair(i, t);
        auto it = memo.find(key);
        if (it != memo.end())
            return it->second;
        size_t flag = t == 0 ? 1 : 0;
        size_t r = kNone;
        if (!banned(i, 0)) {
            size_t rest = best(i + 1, (t + 1) % 8);
            if (rest != kNone)
                r = std::min(r, 1 + flag + rest);
        }
        for (int len = 3; len <= longest[i]; ++len) {
            if (banned(i, len))
                continue;
            size_t rest = best(i + size_t(len), (t + 1) % 8);
            if (rest != kNone)
                r = std::min(r, 2 + flag + rest);
        }
        memo[key] = r;
        return r;
    };
    size_t r = best(0, 0);
    return r == kNone ? kNone : 14 + r;
}

// ---------------------------------------------------------------------------

TEST(SzddHeader, MagicAndHeaderFields)
{
    uint8_t magic[8];
    SzddMagic(magic);
    const uint8_t expected[8] = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33};
    EXPECT_EQ(0, std::memcmp(magic, expected, 8));
    EXPECT_TRUE(SzddHasMagic(expected, 8));
    EXPECT_FALSE(SzddHasMagic(expected, 7));
    uint8_t other[8];
    std::memcpy(other, expected, 8);
    other[7] = 0x34;
    EXPECT_FALSE(SzddHasMagic(other, 8));

    auto f = Compress(BytesOf("hello, hello, hello!"));
    ASSERT_GE(f.size(), 14u);
    EXPECT_EQ(0, std::memcmp(f.data(), expected, 8));
    EXPECT_EQ('A', f[8]);
    EXPECT_EQ(0, f[9]);
    EXPECT_EQ(20, f[10] | f[11] << 8 | f[12] << 16 | f[13] << 24);
}

TEST(SzddRoundTrip, EdgeCases)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> data;
    };
    std::vector<uint8_t> wrapping = TextLike(20000, 7);
    std::vector<uint8_t> farRepeat = Random(3000, 1);
    farRepeat.insert(farRepeat.end(), farRepeat.begin(), farRepeat.begin() + 1500);  // distance 3000
    std::vector<uint8_t> exactWindow = Random(4096, 2);
    exactWindow.insert(exactWindow.end(), exactWindow.begin(), exactWindow.begin() + 100);  // distance 4096
    const Case cases[] = {
        {"empty", {}},
        {"one byte", BytesOf("x")},
        {"two bytes", BytesOf("xy")},
        {"spaces only (initial window)", Repeat(" ", 100)},
        {"spaces then text", BytesOf("                    abc")},
        {"text then spaces", BytesOf("abc                                       ")},
        {"run longer than 18", Repeat("z", 1000)},
        {"zeros", std::vector<uint8_t>(5000, 0)},
        {"overlapping period 2", Repeat("ab", 300)},
        {"overlapping period 7", Repeat("abcdefg", 301)},
        {"wrap-around of the window", wrapping},
        {"repeat at distance 3000", farRepeat},
        {"repeat at distance 4096", exactWindow},
        {"random", Random(10000, 3)},
        {"small alphabet", Random(30000, 4, 3)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto f = Compress(c.data);
        std::vector<uint8_t> back;
        EXPECT_EQ(long(c.data.size()), SzddExpandBuffer(f.data(), f.size(), back));
        EXPECT_TRUE(back == c.data);
        EXPECT_TRUE(ReferenceDecode(f) == c.data);
    }
}

TEST(SzddRoundTrip, RepetitiveDataCompresses)
{
    EXPECT_EQ(14u, Compress({}).size());
    // 1000 spaces: matches of 18 into the initial window from the first byte.
    EXPECT_LE(Compress(Repeat(" ", 1000)).size(), 14u + 56 * 2 + 7 + 2);
    EXPECT_LT(Compress(TextLike(50000, 9)).size(), 50000u / 2);
}

// ---------------------------------------------------------------------------

TEST(SzddExpander, WritesExactlyTheHeaderLengthWhateverFollows)
{
    auto data = TextLike(3000, 11);
    auto f = Compress(data);
    struct Case {
        const char *name;
        std::vector<uint8_t> trailing;
    };
    const Case cases[] = {
        {"none", {}},
        {"zeros", std::vector<uint8_t>(1666, 0)},
        {"random", Random(1663, 5)},
        {"another item", Compress(BytesOf("second item, second item"))},
        {"more than one read's worth", Random(10000, 6)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto g = f;
        g.insert(g.end(), c.trailing.begin(), c.trailing.end());
        std::vector<uint8_t> back;
        size_t consumed = 0;
        EXPECT_EQ(long(data.size()), SzddExpandBuffer(g.data(), g.size(), back, &consumed));
        EXPECT_TRUE(back == data);
        // What the packer lists as the item's stored size: the file, not what follows it.
        EXPECT_EQ(f.size(), consumed);
    }
}

TEST(SzddExpander, NonSzddSourceIsCopiedUnchanged)
{
    uint8_t magic[8];
    SzddMagic(magic);
    struct Case {
        const char *name;
        std::vector<uint8_t> data;
    };
    std::vector<uint8_t> fourLetters(magic, magic + 4);
    fourLetters.insert(fourLetters.end(), {'x', 'y', 'z', 1, 2, 3, 4, 5});
    std::vector<uint8_t> sevenOfEight(magic, magic + 7);
    const Case cases[] = {
        {"empty", {}},
        {"ini text", BytesOf("[ovra]\r\nnick=guest\r\n")},
        {"big binary", Random(70000, 8)},
        {"only the four letters", fourLetters},
        {"seven of the eight magic bytes", sevenOfEight},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> back{1, 2, 3};
        size_t consumed = 1;
        EXPECT_EQ(long(c.data.size()), SzddExpandBuffer(c.data.data(), c.data.size(), back, &consumed));
        EXPECT_TRUE(back == c.data);
        EXPECT_EQ(c.data.size(), consumed);
    }
}

TEST(SzddExpander, MalformedFilesGiveTheirError)
{
    auto data = TextLike(5000, 12);
    auto f = Compress(data);
    auto cut = [&](size_t n) { return std::vector<uint8_t>(f.begin(), f.begin() + long(n)); };
    auto withMode = [&](uint8_t m) {
        auto g = f;
        g[8] = m;
        return g;
    };
    auto longerLength = [&]() {
        auto g = f;
        g[10] = uint8_t(g[10] + 1);
        return g;
    };
    struct Case {
        const char *name;
        std::vector<uint8_t> file;
        long expected;
    };
    const Case cases[] = {
        {"magic only", cut(8), SZDD_ERR_SHORT_HEADER},
        {"header cut in the length", cut(12), SZDD_ERR_SHORT_HEADER},
        {"mode B", withMode('B'), SZDD_ERR_BAD_MODE},
        {"mode zero", withMode(0), SZDD_ERR_BAD_MODE},
        {"no data", cut(14), SZDD_ERR_TRUNCATED},
        {"cut after a flag byte", cut(15), SZDD_ERR_TRUNCATED},
        {"cut in the middle", cut(f.size() / 2), SZDD_ERR_TRUNCATED},
        {"last byte missing", cut(f.size() - 1), SZDD_ERR_TRUNCATED},
        {"length one more than the data", longerLength(), SZDD_ERR_TRUNCATED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> back;
        EXPECT_EQ(c.expected, SzddExpandBuffer(c.file.data(), c.file.size(), back));
    }
}

struct ChunkedSource {
    const std::vector<uint8_t> *data;
    size_t at;
    size_t chunk;
    long failAfter;  // fail once this many bytes were delivered; -1 never
};

long ReadChunked(void *ctx, uint8_t *buf, long n)
{
    auto *s = static_cast<ChunkedSource *>(ctx);
    if (s->failAfter >= 0 && s->at >= size_t(s->failAfter))
        return -1;
    size_t take = std::min({size_t(n), s->chunk, s->data->size() - s->at});
    std::memcpy(buf, s->data->data() + s->at, take);
    s->at += take;
    return long(take);
}

struct LimitedSink {
    std::vector<uint8_t> out;
    size_t limit;
};

long WriteLimited(void *ctx, const uint8_t *buf, long n)
{
    auto *s = static_cast<LimitedSink *>(ctx);
    if (s->out.size() + size_t(n) > s->limit)
        return -1;
    s->out.insert(s->out.end(), buf, buf + n);
    return n;
}

TEST(SzddExpander, StreamsThroughAnyReadSizeAndReportsCallbackFailures)
{
    auto data = TextLike(20000, 13);
    auto f = Compress(data);
    auto plain = Random(9000, 14);
    struct Case {
        const char *name;
        const std::vector<uint8_t> *file;
        size_t chunk;
        long failAfter;
        size_t writeLimit;
        long expected;
        const std::vector<uint8_t> *expectedData;
    };
    const Case cases[] = {
        {"one byte reads", &f, 1, -1, SIZE_MAX, long(data.size()), &data},
        {"seven byte reads", &f, 7, -1, SIZE_MAX, long(data.size()), &data},
        {"plain file in one byte reads", &plain, 1, -1, SIZE_MAX, long(plain.size()), &plain},
        {"plain file in 13 byte reads", &plain, 13, -1, SIZE_MAX, long(plain.size()), &plain},
        {"read fails in the header", &f, 5, 5, SIZE_MAX, SZDD_ERR_READ, nullptr},
        {"read fails in the data", &f, 100, 1000, SIZE_MAX, SZDD_ERR_READ, nullptr},
        {"read fails while copying", &plain, 100, 1000, SIZE_MAX, SZDD_ERR_READ, nullptr},
        {"write fails", &f, 4096, -1, 5000, SZDD_ERR_WRITE, nullptr},
        {"write fails while copying", &plain, 4096, -1, 5000, SZDD_ERR_WRITE, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ChunkedSource src = {c.file, 0, c.chunk, c.failAfter};
        LimitedSink sink = {{}, c.writeLimit};
        EXPECT_EQ(c.expected, SzddExpand(ReadChunked, &src, WriteLimited, &sink));
        if (c.expectedData) {
            EXPECT_TRUE(sink.out == *c.expectedData);
        }
    }
    EXPECT_EQ(SZDD_ERR_BAD_ARGUMENT, SzddExpand(nullptr, nullptr, WriteLimited, nullptr));
}

// Random and mutated files must never make the expander read or write out of
// bounds (the sanitizers watch) nor write more than the header's length.
TEST(SzddExpander, SurvivesRandomAndMutatedInput)
{
    std::mt19937 rng(2024);
    auto good = Compress(TextLike(6000, 15));
    for (int round = 0; round < 3000; ++round) {
        std::vector<uint8_t> f;
        if (round % 3 == 0) {
            f = Random(rng() % 300, rng());
            if (f.size() >= 14 && rng() % 2) {
                uint8_t magic[8];
                SzddMagic(magic);
                std::memcpy(f.data(), magic, 8);
                f[8] = 'A';
            }
        } else {
            f = good;
            int edits = 1 + int(rng() % 8);
            for (int e = 0; e < edits; ++e)
                f[14 + rng() % (f.size() - 14)] = uint8_t(rng());
            if (round % 3 == 2) {
                f.resize(14 + rng() % (f.size() - 14));
                f[10 + rng() % 4] = uint8_t(rng());  // any length, small or huge
            }
        }
        std::vector<uint8_t> back;
        long r = SzddExpandBuffer(f.data(), f.size(), back);
        if (r >= 0) {
            EXPECT_EQ(size_t(r), back.size());
        } else {
            EXPECT_GE(r, SZDD_ERR_TOO_LARGE);
        }
        if (SzddHasMagic(f.data(), f.size()) && f.size() >= 14) {
            size_t length = f[10] | f[11] << 8 | f[12] << 16 | size_t(f[13]) << 24;
            EXPECT_LE(back.size(), length);
        }
    }
}

// ---------------------------------------------------------------------------

TEST(SzddCompressor, SizeIsTheExhaustiveOptimum)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> data;
    };
    std::vector<Case> cases = {
        {"empty", {}},
        {"spaces", Repeat(" ", 40)},
        {"space run ending in text", BytesOf("      x      xy      xyz  ")},
        {"run of 19", Repeat("q", 19)},
        {"run of 37", Repeat("q", 37)},
        {"period 3", Repeat("abc", 50)},
        {"two phrases", BytesOf("the cat sat on the mat; the cat sat on the hat")},
    };
    // Small alphabets make many overlapping matches, where a greedy or
    // byte-only cost model loses to the exact flag-byte count.
    for (uint32_t seed = 0; seed < 400; ++seed)
        cases.push_back({"random small alphabet", Random(20 + seed % 60, seed, 2 + int(seed % 3))});
    for (uint32_t seed = 0; seed < 10; ++seed)
        cases.push_back({"text-like", TextLike(60, 100 + seed)});
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name + std::string(" size ") + std::to_string(c.data.size()));
        auto f = Compress(c.data);
        EXPECT_EQ(BruteOptimalSize(c.data, {}), f.size());
        EXPECT_TRUE(ReferenceDecode(f) == c.data);
    }
}

TEST(SzddCompressor, OptimalPastTheWindowSize)
{
    // Past 4096 bytes the window wraps and sources are evicted; the match
    // finder must still see every longest match for the size to be optimal.
    struct Case {
        const char *name;
        std::vector<uint8_t> data;
    };
    std::vector<uint8_t> far = Random(4090, 41, 4);
    far.insert(far.end(), far.begin(), far.begin() + 600);
    const Case cases[] = {
        {"text-like", TextLike(5000, 21)},
        {"small alphabet", Random(4500, 22, 3)},
        {"repeats near the window's reach", far},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto f = Compress(c.data);
        EXPECT_EQ(BruteOptimalSize(c.data, {}), f.size());
        EXPECT_TRUE(ReferenceDecode(f) == c.data);
    }
}

TEST(SzddCompressor, HonoursBansAndStaysOptimalUnderThem)
{
    auto data = BytesOf("   abcabcabcabcabc  abcabc xyzxyz xyzxyz");
    struct Case {
        const char *name;
        std::vector<SzddTokenBan> bans;
    };
    const Case cases[] = {
        {"no literal at 0 (space window matches instead)", {{0, 0}}},
        {"no literal at 6", {{6, 0}}},
        {"no match of 12 at 6", {{6, 12}}},
        {"no match of any length at 6",
         {{6, 3}, {6, 4}, {6, 5}, {6, 6}, {6, 7}, {6, 8}, {6, 9}, {6, 10}, {6, 11}, {6, 12}}},
        {"several positions", {{6, 0}, {9, 0}, {12, 9}, {34, 0}, {35, 5}}},
        {"ban past the end is ignored", {{400, 0}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> out;
        SzddTrace trace;
        ASSERT_TRUE(SzddCompressTraced(data.data(), data.size(), out, c.bans, trace));
        EXPECT_EQ(BruteOptimalSize(data, c.bans), out.size());
        EXPECT_TRUE(ReferenceDecode(out) == data);
        for (size_t k = 0; k < out.size(); ++k)
            for (const auto &b : c.bans)
                EXPECT_FALSE(trace.originLen[k] == b.len && trace.origin[k] == b.pos)
                    << "banned token used at output byte " << k;
    }
    // A literal ban where no match can stand in leaves no encoding.
    std::vector<uint8_t> out;
    auto x = BytesOf("xyz");
    EXPECT_FALSE(SzddCompress(x.data(), x.size(), out, {{1, 0}}));
}

TEST(SzddCompressor, TraceNamesTheTokenBehindEveryByte)
{
    auto data = TextLike(3000, 31);
    std::vector<uint8_t> out;
    SzddTrace trace;
    ASSERT_TRUE(SzddCompressTraced(data.data(), data.size(), out, {}, trace));
    ASSERT_EQ(out.size(), trace.origin.size());
    ASSERT_EQ(out.size(), trace.originLen.size());
    for (size_t k = 0; k < 14; ++k)
        EXPECT_EQ(0xFF, trace.originLen[k]);

    // Re-walk the file: each flag byte names its group's first token, each
    // literal its own byte, each match byte pair the position it starts at.
    size_t i = 14, pos = 0;
    while (i < out.size()) {
        unsigned flags = out[i];
        EXPECT_EQ(0xFF, trace.originLen[i]);
        EXPECT_EQ(pos, trace.origin[i]) << "flag byte " << i;
        ++i;
        for (int bit = 0; bit < 8 && i < out.size(); ++bit) {
            if (flags >> bit & 1) {
                EXPECT_EQ(0, trace.originLen[i]);
                EXPECT_EQ(pos, trace.origin[i]);
                EXPECT_EQ(data[pos], out[i]);
                ++i;
                ++pos;
            } else {
                int len = (out[i + 1] & 0x0F) + 3;
                for (int b = 0; b < 2; ++b) {
                    EXPECT_EQ(len, trace.originLen[i + size_t(b)]);
                    EXPECT_EQ(pos, trace.origin[i + size_t(b)]);
                }
                i += 2;
                pos += size_t(len);
            }
        }
    }
    EXPECT_EQ(data.size(), pos);

    // Banning the token behind a chosen output byte changes that byte's origin.
    size_t k = 40;
    while (trace.originLen[k] == 0xFF || trace.originLen[k] == 0)
        ++k;
    SzddTokenBan ban = {trace.origin[k], trace.originLen[k]};
    std::vector<uint8_t> again;
    SzddTrace trace2;
    ASSERT_TRUE(SzddCompressTraced(data.data(), data.size(), again, {ban}, trace2));
    for (size_t j = 0; j < again.size(); ++j)
        EXPECT_FALSE(trace2.origin[j] == ban.pos && trace2.originLen[j] == ban.len);
    std::vector<uint8_t> back;
    EXPECT_EQ(long(data.size()), SzddExpandBuffer(again.data(), again.size(), back));
    EXPECT_TRUE(back == data);
}

// The finder keeps only a window of history, so the marker repair can start it
// anywhere: started at any position it must report exactly what a run from the
// start reports there, or a repaired stretch would use other sources.
TEST(SzddMatchFinder, StartedAnywhereAgreesWithARunFromTheStart)
{
    std::vector<uint8_t> random(20000);
    std::mt19937 rng(5);
    for (auto &b : random)
        b = uint8_t(rng() % 4 == 0 ? ' ' : rng());
    struct Case {
        const char *name;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {"text", TextLike(30000, 9)},
        {"spaces then text",
         [] {
             std::vector<uint8_t> v(5000, ' ');
             std::vector<uint8_t> t = TextLike(9000, 4);
             v.insert(v.end(), t.begin(), t.end());
             return v;
         }()},
        {"sparse random", random},
    };
    for (const Case &c : cases) {
        size_t n = c.data.size();
        std::vector<int> lengths(n);
        std::vector<uint32_t> sources(n);
        MatchFinder whole;
        StartMatchFinder(whole, c.data.data(), n, 0);
        for (size_t i = 0; i < n; ++i)
            lengths[i] = NextMatch(whole, sources[i]);
        for (size_t start :
             {size_t(1), size_t(17), size_t(4095), size_t(4096), size_t(4097), size_t(4113), size_t(9000), n - 20}) {
            MatchFinder part;
            StartMatchFinder(part, c.data.data(), n, start);
            for (size_t i = start; i < std::min(n, start + 6000); ++i) {
                uint32_t source = 0;
                int len = NextMatch(part, source);
                ASSERT_EQ(len, lengths[i]) << c.name << ", started at " << start << ", position " << i;
                if (len > 0) {
                    ASSERT_EQ(source, sources[i]) << c.name << ", started at " << start << ", position " << i;
                }
            }
        }
    }
}

// Which source the finder reports decides the output bytes, so it must stay the
// one rule whatever the finder keeps to find it fast: the longest match (to 18
// bytes and the input's end), from the nearest earlier position; a source in the
// initial spaces wins a tie, the farthest first, then the 17 reaching into the
// input in order. Checked against a search of every source, on data of few
// symbols (where matches of equal length are everywhere) and on text.
TEST(SzddMatchFinder, ReportsTheLongestMatchFromTheNearestSource)
{
    std::mt19937 rng(17);
    auto randomOf = [&](const char *symbols, size_t count, size_t n) {
        std::vector<uint8_t> v(n);
        for (uint8_t &b : v)
            b = uint8_t(symbols[rng() % count]);
        return v;
    };
    struct Case {
        const char *name;
        std::vector<uint8_t> data;
    };
    const Case cases[] = {
        {"random 0/1", randomOf("01", 2, 12000)},
        {"random S/Z/D", randomOf("SZD", 3, 12000)},
        {"random of four with spaces", randomOf(" ab ", 4, 12000)},
        {"text", TextLike(12000, 7)},
    };
    for (const Case &c : cases) {
        const uint8_t *in = c.data.data();
        size_t n = c.data.size();
        MatchFinder f;
        StartMatchFinder(f, in, n, 0);
        for (size_t i = 0; i < n; ++i) {
            int cap = int(std::min<size_t>(kSzddMaxMatch, n - i));
            auto at = [&](long long j) { return j < 0 ? uint8_t(' ') : in[size_t(j)]; };
            auto lengthFrom = [&](long long j) {
                int len = 0;
                while (len < cap && at(j + len) == in[i + size_t(len)])
                    ++len;
                return len;
            };
            int best = 0;
            long long bestSrc = 0;
            long long lowest = (long long)i - (long long)kSzddWindowSize;
            for (long long j = lowest; j < 0 && cap >= kSzddMinMatch; ++j) {
                if (j > lowest && j <= -kSzddMaxMatch)
                    continue;  // the same run of spaces as the farthest
                int len = lengthFrom(j);
                if (len > best) {
                    best = len;
                    bestSrc = j;
                }
            }
            for (long long j = (long long)i - 1; j >= 0 && j >= lowest && cap >= kSzddMinMatch; --j) {
                int len = lengthFrom(j);
                if (len >= kSzddMinMatch && len > best) {
                    best = len;
                    bestSrc = j;
                }
            }
            if (best < kSzddMinMatch)
                best = 0;
            uint32_t source = 0;
            int len = NextMatch(f, source);
            ASSERT_EQ(len, best) << c.name << ", position " << i;
            if (len > 0) {
                ASSERT_EQ(source, uint32_t((long long)kSzddWindowStart + bestSrc) & kSzddWindowMask)
                    << c.name << ", position " << i;
            }
        }
    }
}

// The writer entry points give the same bytes as the in-memory ones (written in
// pieces, never whole), and say when the writer fails.
TEST(SzddCompressor, WriterEntryPointsGiveTheSameFileAndReportAFailingWriter)
{
    std::vector<uint8_t> text = TextLike(300000, 21);
    std::vector<uint8_t> withLetters = text;
    std::vector<uint8_t> inner = Compress(TextLike(2000, 3));
    withLetters.insert(withLetters.begin() + 150001, inner.begin(), inner.end());
    for (const std::vector<uint8_t> *data : {&text, &withLetters}) {
        std::vector<uint8_t> expected = Compress(*data);
        LimitedSink all{{}, SIZE_MAX};
        uint64_t written = 0;
        EXPECT_EQ(SzddCompressTo(data->data(), data->size(), WriteLimited, &all, &written), 0L);
        EXPECT_EQ(all.out, expected);
        EXPECT_EQ(written, expected.size());
        LimitedSink some{{}, expected.size() / 2};
        EXPECT_EQ(SzddCompressTo(data->data(), data->size(), WriteLimited, &some, nullptr), long(SZDD_ERR_WRITE));

        std::vector<uint8_t> free;
        SzddMarkerFreeReport report;
        ASSERT_EQ(SzddCompressMarkerFree(data->data(), data->size(), free, report), SZDD_MARKER_FREE);
        LimitedSink freeAll{{}, SIZE_MAX};
        ASSERT_EQ(SzddCompressMarkerFreeTo(data->data(), data->size(), WriteLimited, &freeAll, report),
                  SZDD_MARKER_FREE);
        EXPECT_EQ(freeAll.out, free);
        EXPECT_EQ(report.storedSize, free.size());
        LimitedSink freeSome{{}, free.size() / 2};
        EXPECT_EQ(SzddCompressMarkerFreeTo(data->data(), data->size(), WriteLimited, &freeSome, report),
                  SZDD_MARKER_WRITE_FAILED);
    }
}

}  // namespace
