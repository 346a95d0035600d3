// Reading and writing whole files on top of the platform parts (files_posix.cpp,
// files_win32.cpp): size checks before reading, write errors named.
#include "packer/files.h"

#include <cerrno>
#include <cstring>

namespace {

bool OpenSizedInput(const std::string &path, uint64_t maxSize, std::FILE *&f, uint64_t &size, std::string &error)
{
    if (!OpenInputFile(path, f, size, error))
        return false;
    if (size > maxSize) {
        std::fclose(f);
        f = nullptr;
        error = "cannot read '" + path + "': " + std::to_string(size) + " bytes, more than the " +
                std::to_string(maxSize) + " the format allows";
        return false;
    }
    return true;
}

}  // namespace

bool CheckInputFile(const std::string &path, uint64_t maxSize, std::string &error)
{
    std::FILE *f = nullptr;
    uint64_t size = 0;
    if (!OpenSizedInput(path, maxSize, f, size, error))
        return false;
    std::fclose(f);
    return true;
}

bool ReadFileBytes(const std::string &path, std::vector<uint8_t> &data, uint64_t maxSize, std::string &error)
{
    std::FILE *f = nullptr;
    uint64_t size = 0;
    if (!OpenSizedInput(path, maxSize, f, size, error))
        return false;
    data.clear();
    data.reserve(size_t(size));
    uint8_t buffer[65536];
    size_t got = 0;
    // The file may grow while it is read; what is past the checked size is refused too.
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
        if (data.size() + got > maxSize) {
            std::fclose(f);
            error = "cannot read '" + path + "': it grew past " + std::to_string(maxSize) + " bytes while read";
            return false;
        }
        data.insert(data.end(), buffer, buffer + got);
    }
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        error = "cannot read '" + path + "': read error";
        return false;
    }
    return true;
}

bool ReadFileBytes(const std::string &path, std::vector<uint8_t> &data, std::string &error)
{
    return ReadFileBytes(path, data, UINT64_MAX, error);
}

bool WriteOutput(OutputFile &out, const uint8_t *data, size_t size, std::string &error)
{
    if (size == 0)
        return true;
    if (std::fwrite(data, 1, size, out.stream) != size) {
        error = "cannot write '" + out.path + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

bool WriteFileReplacing(const std::string &path, const std::vector<uint8_t> &data, std::string &error)
{
    if (!CheckOutputName(path, error))
        return false;
    OutputFile out;
    if (!CreateOutput(path, out, error))
        return false;
    if (!WriteOutput(out, data.data(), data.size(), error)) {
        DiscardOutput(out);
        return false;
    }
    return CommitOutput(out, error);
}

void DiscardOutput(OutputFile &out)
{
    if (out.stream != nullptr)
        std::fclose(out.stream);
    out.stream = nullptr;
    if (!out.temp.empty())
        RemoveFile(out.temp);
    out.temp.clear();
}
