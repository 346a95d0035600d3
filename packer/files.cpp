// Reading and writing whole files on top of the platform parts (files_posix.cpp,
// files_win32.cpp): size checks before reading, write errors named.
#include "packer/files.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

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
    try {
        data.resize(size_t(size));
    } catch (const std::bad_alloc &) {
        std::vector<uint8_t>().swap(data);
        std::fclose(f);
        error = "cannot read '" + path + "': not enough memory to hold its " + std::to_string(size) + " bytes";
        return false;
    }
    // Exactly the size checked is read. A file that grows meanwhile is refused:
    // what it holds is not settled, and following it could exhaust memory.
    size_t got = size > 0 ? std::fread(data.data(), 1, data.size(), f) : 0;
    bool failed = std::ferror(f) != 0;
    bool grew = !failed && got == data.size() && std::fgetc(f) != EOF;
    std::fclose(f);
    if (failed) {
        error = "cannot read '" + path + "': read error";
        return false;
    }
    if (grew) {
        error = "cannot read '" + path + "': it grew past its " + std::to_string(size) + " bytes while read";
        return false;
    }
    data.resize(got);  // it shrank meanwhile: what was there
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
    if (!CheckOutputName(path, true, error))
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

bool CheckOutputFolder(const std::string &out, std::string &error)
{
    std::filesystem::path folder = std::filesystem::path(out).parent_path();
    if (folder.empty())
        return true;
    std::error_code ec;
    std::filesystem::file_status status = std::filesystem::status(folder, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        error = "cannot write '" + out + "': the folder '" + folder.string() +
                "' does not exist (make it first, or write elsewhere)";
        return false;
    }
    if (!ec && !std::filesystem::is_directory(status)) {
        error = "cannot write '" + out + "': '" + folder.string() + "' is not a folder";
        return false;
    }
    return true;
}

long ReadFromStream(void *ctx, uint8_t *buf, long n)
{
    std::FILE *f = static_cast<std::FILE *>(ctx);
    size_t got = std::fread(buf, 1, size_t(n), f);
    return std::ferror(f) ? -1 : long(got);
}

long WriteToStream(void *ctx, const uint8_t *buf, long n)
{
    return std::fwrite(buf, 1, size_t(n), static_cast<std::FILE *>(ctx)) == size_t(n) ? n : -1;
}

void DiscardOutput(OutputFile &out)
{
    if (out.stream != nullptr)
        std::fclose(out.stream);
    out.stream = nullptr;
    if (!out.temp.empty())
        RemoveFile(out.temp);
    out.temp.clear();
    Untrack(out);
}

namespace {

// The outputs under way, in fixed slots: the handler reads them while the program
// may be anywhere, so it must find no half-made string and need no allocation.
// A slot's texts are written before its state says what they are.
constexpr int kTrackedOutputs = 32;
constexpr size_t kTrackedPath = 4096;
enum TrackState { TRACK_FREE, TRACK_FILLING, TRACK_TEMPORARY, TRACK_PLACED };
struct TrackedOutput {
    volatile sig_atomic_t state;
    const void *owner;
    char temp[kTrackedPath];
    char path[kTrackedPath];
    char kept[kTrackedPath];
};
TrackedOutput tracked[kTrackedOutputs];

void CopyName(char *to, const std::string &from)
{
    size_t n = from.size() < kTrackedPath - 1 ? from.size() : 0;  // a name that does not fit is not followed
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

void Track(const OutputFile &out, TrackState state)
{
    TrackedOutput *slot = nullptr;
    for (TrackedOutput &t : tracked)
        if (t.state != TRACK_FREE && t.owner == &out)
            slot = &t;
    for (int i = 0; slot == nullptr && i < kTrackedOutputs; ++i)
        if (tracked[i].state == TRACK_FREE)
            slot = &tracked[i];
    if (slot == nullptr)
        return;
    slot->state = TRACK_FILLING;
    slot->owner = &out;
    CopyName(slot->temp, out.temp);
    CopyName(slot->path, out.path);
    CopyName(slot->kept, out.kept);
    slot->state = state;
}

}  // namespace

void TrackTemporary(const OutputFile &out) { Track(out, TRACK_TEMPORARY); }
void TrackPlaced(const OutputFile &out) { Track(out, TRACK_PLACED); }

void Untrack(const OutputFile &out)
{
    for (TrackedOutput &t : tracked)
        if (t.state != TRACK_FREE && t.owner == &out)
            t.state = TRACK_FREE;
}

void UndoTrackedOutputs(void (*removeFile)(const char *path), void (*moveBack)(const char *from, const char *to))
{
    // Placed files first, last placed first, so that earlier files come back in order.
    for (int i = kTrackedOutputs; i-- > 0;) {
        TrackedOutput &t = tracked[i];
        if (t.state == TRACK_PLACED && t.path[0] != '\0') {
            if (t.kept[0] != '\0')
                moveBack(t.kept, t.path);
            else
                removeFile(t.path);
        }
    }
    for (TrackedOutput &t : tracked)
        if (t.state == TRACK_TEMPORARY && t.temp[0] != '\0')
            removeFile(t.temp);
}

std::string TemporaryNameBeside(const std::string &path, const std::string &suffix, size_t longestName)
{
#ifdef _WIN32
    size_t cut = path.find_last_of("/\\");
#else
    size_t cut = path.rfind('/');
#endif
    size_t nameStart = cut == std::string::npos ? 0 : cut + 1;
    size_t nameSize = path.size() - nameStart;
    if (nameSize + suffix.size() <= longestName || longestName <= suffix.size())
        return path + suffix;
    return path.substr(0, nameStart + longestName - suffix.size()) + suffix;
}
