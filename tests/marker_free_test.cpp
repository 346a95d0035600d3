// Items that must not spell the item marker: the encoder's "an encoding without
// it exists" against an exhaustive search of every encoding of small inputs, and
// the cases where the old guesswork failed: a compressed file inside the data
// after any prefix, and random data with the letters at every alignment.
#include "packer/compressor/compressor.h"
#include "packer/szdd_memory.h"
#include "format/payload.h"
#include "tests/test_data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <random>
#include <string>

namespace {

// The scan's own matcher over a whole file from its fifth byte.
bool HoldsSecondMarker(const std::vector<uint8_t> &f)
{
    char marker[4];
    BuildMarker(marker);
    int match = 0;
    for (size_t q = 4; q < f.size(); ++q) {
        int held = 0;
        if (MatchMarkerByte(marker, match, f[q], held) == MARKER_COMPLETE)
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Exhaustive search, written apart from the encoder: a simulated window gives
// every source of every match; every token sequence, every source and every
// value of the free flag bits after the last token is tried, and the scan's
// matcher is run over the bytes each produces. Two byte values the matcher
// cannot tell apart (neither is a marker letter) are tried once. The search is
// memoised on (input position, matcher state) at group starts, where nothing
// before can matter any more.

struct Exhaustive {
    std::vector<uint8_t> in;
    char marker[4];
    // pairs[i][len]: one representative byte pair per distinct letter pattern.
    std::vector<std::vector<std::vector<std::pair<uint8_t, uint8_t>>>> pairs;
    std::map<std::pair<size_t, int>, long> memo;

    uint8_t Key(uint8_t b) const { return std::memchr(marker, b, 4) ? b : 0; }

    explicit Exhaustive(const std::vector<uint8_t> &input) : in(input)
    {
        BuildMarker(marker);
        pairs.assign(in.size(), std::vector<std::vector<std::pair<uint8_t, uint8_t>>>(19));
        uint8_t window[4096];
        std::memset(window, ' ', sizeof window);
        unsigned pos = 4096 - 16;
        for (size_t i = 0; i < in.size(); ++i) {
            int cap = int(std::min<size_t>(18, in.size() - i));
            std::map<std::pair<int, int>, bool> seen[19];
            for (unsigned src = 0; src < 4096; ++src) {
                int len = SimulatedMatchLength(window, pos, in, i, src, cap);
                for (int l = 3; l <= len; ++l) {
                    uint8_t b1 = uint8_t(src & 0xFF), b2 = uint8_t(((src >> 4) & 0xF0) | unsigned(l - 3));
                    if (!seen[l][{Key(b1), Key(b2)}]) {
                        seen[l][{Key(b1), Key(b2)}] = true;
                        pairs[i][size_t(l)].push_back({b1, b2});
                    }
                }
            }
            window[pos] = in[i];
            pos = (pos + 1) % 4096;
        }
    }

    // Runs the matcher from state m over bytes; -1 when the marker completes.
    int Run(int m, const std::vector<uint8_t> &bytes) const
    {
        for (uint8_t b : bytes) {
            int held = 0;
            if (MatchMarkerByte(marker, m, b, held) == MARKER_COMPLETE)
                return -1;
        }
        return m;
    }

    // Smallest size of the rest from a group start at i in matcher state m; LONG_MAX if none.
    long Best(size_t i, int m)
    {
        if (i == in.size())
            return 0;
        auto key = std::make_pair(i, m);
        auto it = memo.find(key);
        if (it != memo.end())
            return it->second;
        long best = LONG_MAX;
        std::vector<uint8_t> bytes;
        Group(i, m, 0, 0, bytes, 0, best);
        memo[key] = best;
        return best;
    }

    // Enumerates the tokens of one group: k taken so far, flags their bits.
    void Group(size_t i, int m, int k, uint8_t flags, std::vector<uint8_t> &bytes, long size, long &best)
    {
        if (k == 8 || i == in.size()) {
            // Free flag bits after the last token: every value the matcher can tell apart.
            std::vector<uint8_t> flagValues;
            if (k == 8) {
                flagValues.push_back(flags);
            } else {
                std::map<uint8_t, bool> seen;
                for (unsigned high = 0; high < (1u << (8 - k)); ++high) {
                    uint8_t f = uint8_t(flags | (high << k));
                    if (!seen[Key(f)]) {
                        seen[Key(f)] = true;
                        flagValues.push_back(f);
                    }
                }
            }
            for (uint8_t f : flagValues) {
                std::vector<uint8_t> all(1, f);
                all.insert(all.end(), bytes.begin(), bytes.end());
                int after = Run(m, all);
                if (after < 0)
                    continue;
                long rest = Best(i, after);
                if (rest != LONG_MAX)
                    best = std::min(best, size + 1 + rest);
            }
            return;
        }
        bytes.push_back(in[i]);
        Group(i + 1, m, k + 1, uint8_t(flags | (1u << k)), bytes, size + 1, best);
        bytes.pop_back();
        for (size_t len = 3; len < pairs[i].size(); ++len)
            for (const auto &p : pairs[i][len]) {
                bytes.push_back(p.first);
                bytes.push_back(p.second);
                Group(i + len, m, k + 1, flags, bytes, size + 2, best);
                bytes.resize(bytes.size() - 2);
            }
    }

    // Smallest marker-free file size, or LONG_MAX when every encoding spells it.
    long Smallest()
    {
        uint8_t header[14];
        SzddMagic(header);
        header[8] = 'A';
        header[9] = 0;
        for (int b = 0; b < 4; ++b)
            header[10 + b] = uint8_t(in.size() >> (8 * b));
        int m = Run(0, std::vector<uint8_t>(header + 4, header + 14));
        if (m < 0)
            return LONG_MAX;
        long rest = Best(0, m);
        return rest == LONG_MAX ? LONG_MAX : 14 + rest;
    }
};

// Small inputs from the marker letters and a few others (a space reaches the
// window's initial spaces, so matches there have sources of every kind), after
// a prefix of 0..7 incompressible bytes that moves them through every position
// in a group.
std::vector<uint8_t> SmallInput(std::mt19937 &rng)
{
    // Pieces that repeat (so matches exist to choose from) and spell the marker.
    static const char *const pieces[] = {"SZDD", "SZD", "SZ",   "D",      "DD", "  ",
                                         "   ",  "ab",  "abab", "SZDSZD", "S",  "Zb"};
    std::vector<uint8_t> v;
    size_t prefix = rng() % 8;
    for (size_t j = 0; j < prefix; ++j)
        v.push_back(uint8_t(0x80 + j * 11));
    size_t core = 6 + rng() % 11;
    std::string s;
    // Half the inputs open with pieces that repeat, so the letters come later.
    if (rng() % 2)
        while (s.size() < core / 2)
            s += pieces[5 + rng() % 4];
    while (s.size() < core)
        s += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
    s.resize(core);
    v.insert(v.end(), s.begin(), s.end());
    return v;
}

TEST(MarkerFreeEncoding, FindsOneExactlyWhenAnyEncodingAvoidsTheMarker)
{
    std::mt19937 rng(20261210);
    int checked = 0, exists = 0, none = 0, optimalHadMarker = 0;
    long worstExcess = 0;
    for (int round = 0; round < 5000; ++round) {
        std::vector<uint8_t> input = SmallInput(rng);
        SCOPED_TRACE("input '" + std::string(input.begin(), input.end()) + "' (" + std::to_string(input.size()) +
                     " bytes)");
        long smallest = Exhaustive(input).Smallest();
        std::vector<uint8_t> out;
        SzddMarkerFreeReport report;
        SzddMarkerFreeStatus status = SzddCompressMarkerFree(input.data(), input.size(), out, report);
        ++checked;
        if (smallest == LONG_MAX) {
            ++none;
            EXPECT_EQ(status, SZDD_MARKER_UNAVOIDABLE);
            continue;
        }
        ++exists;
        optimalHadMarker += report.repairs > 0;
        ASSERT_EQ(status, SZDD_MARKER_FREE);
        EXPECT_FALSE(HoldsSecondMarker(out));
        std::vector<uint8_t> back;
        ASSERT_EQ(SzddExpandBuffer(out.data(), out.size(), back), long(input.size()));
        EXPECT_EQ(back, input);
        EXPECT_GE(long(out.size()), smallest);
        EXPECT_LE(long(out.size()), smallest + 2);
        worstExcess = std::max(worstExcess, long(out.size()) - smallest);
    }
    std::printf("marker-free encoding: %d inputs checked, %d with an encoding (%d needed a repair), %d without; "
                "largest excess over the smallest marker-free file %ld bytes\n",
                checked, exists, optimalHadMarker, none, worstExcess);
    // The mix must exercise both answers and the repair itself.
    EXPECT_GT(optimalHadMarker, 50);
    EXPECT_GT(none, 50);
}

// A compressed file inside other data, after prefixes of every kind and length:
// the letters are far from the start, so an encoding without them must be found
// wherever the data before them offers any choice.
TEST(MarkerFreeEncoding, CompressedFileInsideOtherData)
{
    std::vector<uint8_t> inner;
    std::string innerText = "[settings]\nname=value\nname=value\nother=thing\n";
    ASSERT_TRUE(SzddCompress(reinterpret_cast<const uint8_t *>(innerText.data()), innerText.size(), inner));
    std::string text;
    while (text.size() < 4000)
        text += "The quick brown fox jumps over the lazy dog. ";
    std::mt19937 rng(7);
    std::vector<uint8_t> randomBytes(4000), program(4000);
    for (auto &b : randomBytes)
        b = uint8_t(rng());
    for (size_t j = 0; j < program.size(); ++j)  // code-like: opcodes, small offsets, zero runs
        program[j] = j % 16 < 4 ? 0 : uint8_t(j % 16 < 9 ? 0x8B + (j / 16) % 3 : (j * 7) & 0x3F);
    struct Kind {
        const char *name;
        std::vector<uint8_t> bytes;
        bool compressible;
    };
    const Kind kinds[] = {
        {"text", std::vector<uint8_t>(text.begin(), text.end()), true},
        {"zeros", std::vector<uint8_t>(4000, 0), true},
        {"program", program, true},
        {"random", randomBytes, false},
    };
    int built = 0, refused = 0;
    for (const Kind &kind : kinds) {
        for (size_t prefix : {1, 2, 3, 5, 8, 13, 100, 777, 1000, 4000}) {
            SCOPED_TRACE(std::string(kind.name) + " prefix " + std::to_string(prefix));
            std::vector<uint8_t> input(kind.bytes.begin(), kind.bytes.begin() + long(prefix));
            input.insert(input.end(), inner.begin(), inner.end());
            std::vector<uint8_t> out;
            SzddMarkerFreeReport report;
            SzddMarkerFreeStatus status = SzddCompressMarkerFree(input.data(), input.size(), out, report);
            if (status != SZDD_MARKER_FREE) {
                ++refused;
                EXPECT_EQ(status, SZDD_MARKER_UNAVOIDABLE);
                // A prefix too short to repeat anything leaves every token fixed;
                // a longer compressible one always offers another choice.
                EXPECT_FALSE(kind.compressible && prefix > 13) << "refused after a compressible prefix";
                EXPECT_LE(report.markerInput, prefix + 4);
                continue;
            }
            ++built;
            EXPECT_FALSE(HoldsSecondMarker(out));
            std::vector<uint8_t> back;
            ASSERT_EQ(SzddExpandBuffer(out.data(), out.size(), back), long(input.size()));
            EXPECT_EQ(back, input);
            EXPECT_LE(out.size(), report.optimalSize + 8);
        }
    }
    std::printf("compressed file inside other data: %d built, %d refused (no encoding exists)\n", built, refused);
}

// Random data with the marker letters at each of the eight positions in a group.
TEST(MarkerFreeEncoding, LettersInRandomDataAtEveryAlignment)
{
    std::mt19937 rng(11);
    std::vector<uint8_t> data(60000);
    for (auto &b : data)
        b = uint8_t(rng());
    int built = 0;
    for (size_t shift = 0; shift < 8; ++shift) {
        SCOPED_TRACE("shift " + std::to_string(shift));
        std::vector<uint8_t> input = data;
        std::memcpy(&input[30000 + shift], "SZDD", 4);
        std::vector<uint8_t> out;
        SzddMarkerFreeReport report;
        SzddMarkerFreeStatus status = SzddCompressMarkerFree(input.data(), input.size(), out, report);
        ASSERT_EQ(status, SZDD_MARKER_FREE);
        ++built;
        EXPECT_FALSE(HoldsSecondMarker(out));
        std::vector<uint8_t> back;
        ASSERT_EQ(SzddExpandBuffer(out.data(), out.size(), back), long(input.size()));
        EXPECT_EQ(back, input);
        EXPECT_LE(out.size(), report.optimalSize + 4);
    }
}

// Many places that need a repair in one file: after each repair the scan goes
// on from the repaired neighbourhood, so a fault in where it resumes (a group's
// matcher state, a match's source index) shows as a marker left behind or as
// bytes that expand wrongly.
TEST(MarkerFreeEncoding, ManyRepairsInOneFile)
{
    std::vector<uint8_t> inner;
    std::string innerText = "[hosts]\nirc=one\nirc=two\n";
    ASSERT_TRUE(SzddCompress(reinterpret_cast<const uint8_t *>(innerText.data()), innerText.size(), inner));
    std::mt19937 rng(12);
    std::string text;
    static const char *const words[] = {"nick ", "server ", "channel ", "ovra ", "host ", "\n"};
    while (text.size() < 200000)
        text += words[rng() % 6];
    std::vector<uint8_t> input(text.begin(), text.end());
    // Copies at offsets of every residue, so their letters fall at every place in a group.
    for (size_t copy = 0; copy < 24; ++copy)
        input.insert(input.begin() + long(5000 + copy * 7919), inner.begin(), inner.end());
    std::vector<uint8_t> out;
    SzddMarkerFreeReport report;
    ASSERT_EQ(SzddCompressMarkerFree(input.data(), input.size(), out, report), SZDD_MARKER_FREE);
    EXPECT_GE(report.repairs, 3u);
    EXPECT_FALSE(HoldsSecondMarker(out));
    std::vector<uint8_t> back;
    ASSERT_EQ(SzddExpandBuffer(out.data(), out.size(), back), long(input.size()));
    EXPECT_EQ(back, input);
    EXPECT_LE(out.size(), report.optimalSize + 4 * report.repairs);
}

}  // namespace
