// Test data shared by the codec tests and benchmark: repeated units, seeded noise,
// named samples, and whole files read and written.
#pragma once
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
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

// The whole file, or nothing when it cannot be read.
inline std::vector<uint8_t> ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline bool WriteFile(const std::string &path, const std::vector<uint8_t> &data)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
    return f.good();
}
