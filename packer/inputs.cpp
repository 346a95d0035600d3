// The build's inputs: the SOURCE arguments named and checked before any work,
// and each file read only when the build asks for it.
#include "packer/inputs.h"

#include <filesystem>
#include <system_error>

#include "format/payload.h"
#include "packer/files.h"

namespace fs = std::filesystem;

bool MemoryInput(void *ctx, size_t index, const std::vector<uint8_t> *&bytes, std::string &)
{
    bytes = &(*static_cast<MemoryInputs *>(ctx)->inputs)[index];
    return true;
}

bool FileInput(void *ctx, size_t index, const std::vector<uint8_t> *&bytes, std::string &error)
{
    FileInputs &files = *static_cast<FileInputs *>(ctx);
    files.index = index;
    std::vector<uint8_t>().swap(files.bytes);
    if (!ReadFileBytes((*files.paths)[index], files.bytes, kLargestSzddInput, error))
        return false;
    bytes = &files.bytes;
    return true;
}

bool CheckInputs(const std::vector<std::string> &paths, std::string &error)
{
    for (const std::string &path : paths)
        if (!CheckInputFile(path, kLargestSzddInput, error))
            return false;
    return true;
}

bool ListInputs(const std::vector<std::string> &sources, std::vector<std::string> &paths, std::string &error)
{
    paths.clear();
    std::error_code ec;
    if (sources.size() == 1) {
        fs::file_status status = fs::status(sources[0], ec);
        if (!fs::exists(status)) {
            error = "the payload folder '" + sources[0] + "' does not exist";
            return false;
        }
        if (fs::is_directory(status)) {
            for (int i = 0; i < kPayloadItemCount; ++i)
                paths.push_back((fs::path(sources[0]) / PayloadItemName(i)).string());
            return true;
        }
    }
    if (sources.size() != size_t(kPayloadItemCount)) {
        error = "expected a folder or " + std::to_string(kPayloadItemCount) + " files in table order, got " +
                std::to_string(sources.size()) + (sources.size() == 1 ? " file" : " files");
        return false;
    }
    paths = sources;
    return true;
}
