// Test data shared by the codec tests and benchmark: repeated units, seeded noise
// and named samples.
#pragma once
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

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
