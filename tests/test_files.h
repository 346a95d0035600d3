// Whole files read and written by the tests and benchmarks, natively and under Wine alike.
#pragma once
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The whole file, or nothing when it cannot be read.
inline std::vector<uint8_t> ReadWholeFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// The same as text.
inline std::string ReadWholeText(const std::string &path)
{
    std::vector<uint8_t> bytes = ReadWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// A text's bytes, for the tests that build files from literals.
inline std::vector<uint8_t> BytesOf(const std::string &text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// Replaces the file's content; false when it cannot be written in full.
inline bool WriteWholeFile(const std::string &path, const void *data, size_t size)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(static_cast<const char *>(data), std::streamsize(size));
    f.close();
    return !f.fail();
}

inline bool WriteWholeFile(const std::string &path, const std::vector<uint8_t> &data)
{
    return WriteWholeFile(path, data.data(), data.size());
}

inline bool WriteWholeFile(const std::string &path, const std::string &data)
{
    return WriteWholeFile(path, data.data(), data.size());
}
