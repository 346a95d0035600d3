// Test data shared by the codec tests and benchmark: repeated units, seeded noise
// and named samples.
#pragma once
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

// Length (capped) of a match at input position i from window slot src, in a
// window simulated by decoding the input before i, whose next write goes to
// slot pos: a byte read from a slot this very match has written is the input
// byte written there. The test oracles share it; the codec does not.
inline int SimulatedMatchLength(const uint8_t window[4096], unsigned pos, const std::vector<uint8_t> &in, size_t i,
                                unsigned src, int cap)
{
    int len = 0;
    while (len < cap) {
        unsigned ahead = (src + unsigned(len) + 4096 - pos) % 4096;
        uint8_t c = ahead < unsigned(len) ? in[i + ahead] : window[(src + unsigned(len)) % 4096];
        if (c != in[i + size_t(len)])
            break;
        ++len;
    }
    return len;
}

inline std::vector<uint8_t> Repeat(const std::string &unit, size_t n)
{
    std::vector<uint8_t> v;
    while (v.size() < n)
        v.push_back(uint8_t(unit[v.size() % unit.size()]));
    return v;
}

inline std::vector<uint8_t> Random(size_t n, uint32_t seed, int alphabet = 256)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = uint8_t(rng() % unsigned(alphabet));
    return v;
}

struct Sample {
    std::string name;
    std::vector<uint8_t> data;
};
