// The build's inputs: the SOURCE arguments named and checked before any work,
// and each file read only when the build asks for it.
#include "packer/inputs.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "format/payload.h"
#include "packer/files.h"

namespace fs = std::filesystem;

namespace {

bool SameNameIgnoringCase(const std::string &a, const char *b)
{
    size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? char(a[i] - 'A' + 'a') : a[i];
        if (x != b[i])
            return false;
    }
    return true;
}

std::string TableOrder()
{
    std::string order;
    for (int k = 0; k < kPayloadItemCount; ++k)
        order += std::string(k ? " " : "") + PayloadItemName(k);
    return order;
}

std::string SourceCountError(size_t n)
{
    return "expected a folder or " + std::to_string(kPayloadItemCount) + " files in table order, got " +
           std::to_string(n) + (n == 1 ? " file" : " files");
}

}  // namespace

std::string JoinNames(const std::vector<std::string> &names)
{
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return text;
}

std::vector<std::string> FolderNames(const std::string &folder, bool markFolders)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code kind;
        bool isFolder = markFolders && it->is_directory(kind);
        names.push_back(it->path().filename().string() + (isFolder ? "/" : ""));
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool CheckSourceCount(const std::vector<std::string> &sources, std::string &error)
{
    size_t n = sources.size();
    if (n == 1 || n == size_t(kPayloadItemCount))
        return true;
    error = SourceCountError(n);
    std::vector<bool> given(kPayloadItemCount, false);
    bool named = false;
    for (const std::string &source : sources) {
        std::string name = fs::path(source).filename().string();
        for (int j = 0; j < kPayloadItemCount; ++j)
            if (SameNameIgnoringCase(name, PayloadItemName(j)))
                given[j] = named = true;
    }
    if (named && n < size_t(kPayloadItemCount)) {
        std::vector<std::string> missing;
        for (int j = 0; j < kPayloadItemCount; ++j)
            if (!given[j])
                missing.push_back(PayloadItemName(j));
        error += ": " + JoinNames(missing) + (missing.size() == 1 ? " is" : " are") + " missing";
    }
    return false;
}

bool CheckTableOrder(const std::vector<std::string> &files, std::string &error)
{
    for (size_t i = 0; i < files.size(); ++i) {
        std::string name = fs::path(files[i]).filename().string();
        for (int j = 0; j < kPayloadItemCount; ++j) {
            if (size_t(j) == i || !SameNameIgnoringCase(name, PayloadItemName(j)))
                continue;
            error = "'" + files[i] + "' is given as item " + std::to_string(i + 1) + " (" + PayloadItemName(int(i)) +
                    ") but the table has " + name + " as item " + std::to_string(j + 1) +
                    "; give the files in this order: " + TableOrder() + " (or give their folder)";
            return false;
        }
    }
    return true;
}

bool CheckPayloadFolder(const std::string &folder, std::string &error)
{
    std::vector<std::string> names = FolderNames(folder, false);
    if (names.empty())
        return true;
    std::vector<std::string> caseOnly, missing;
    for (int i = 0; i < kPayloadItemCount; ++i) {
        const char *item = PayloadItemName(i);
        if (std::find(names.begin(), names.end(), item) != names.end())
            continue;
        auto other = std::find_if(names.begin(), names.end(),
                                  [&](const std::string &n) { return SameNameIgnoringCase(n, item); });
        if (other != names.end())
            caseOnly.push_back(*other + " (" + item + ")");
        else
            missing.push_back(item);
    }
    if (!caseOnly.empty()) {
        error = "the payload folder '" + folder +
                "' has names that differ from the table's only in case: " + JoinNames(caseOnly) + "; rename " +
                (caseOnly.size() == 1 ? "it" : "them") + " as the table spells the names";
        return false;
    }
    if (!missing.empty()) {
        error = "the payload folder '" + folder + "' has no " + JoinNames(missing) +
                "; it must hold all eleven: " + TableOrder();
        return false;
    }
    return true;
}

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
        error = SourceCountError(sources.size());
        return false;
    }
    paths = sources;
    return true;
}
