// Unpacking a sound installer into a folder: the eleven items all or nothing, and
// the folders an extraction creates, so that a failed one leaves none behind.
#include "packer/extraction.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "format/payload.h"
#include "packer/files.h"
#include "packer/stored_item.h"

// Expands the eleven items all or nothing. Every one goes to a temporary file,
// and every temporary file is flushed and closed (where a full disk shows)
// before any is renamed. Each earlier file keeps a second name until the last
// rename has succeeded; on a failure the earlier files are put back.
bool ExtractAllOrNothing(const InstallerSource &src, const InstallerInfo &info, const std::string &dir,
                         std::string &error)
{
    std::vector<OutputFile> outputs(info.items.size());
    size_t created = 0;
    bool ok = true;
    for (size_t i = 0; ok && i < info.items.size(); ++i) {
        std::string path = (std::filesystem::path(dir) / PayloadItemName(int(i))).string();
        ok = CreateOutput(path, outputs[i], error);
        if (!ok)
            break;
        ++created;
        long result = ExpandInstallerItem(src, info.items[i], WriteToStream, outputs[i].stream);
        if (result < 0) {
            ok = false;
            error = result == SZDD_ERR_WRITE ? "cannot write '" + path + "': " + std::strerror(errno)
                                             : std::string(PayloadItemName(int(i))) + ": " + SzddErrorText(result);
        }
    }
    for (size_t i = 0; ok && i < created; ++i)
        ok = FinishOutput(outputs[i], error);
    size_t placed = 0;
    while (ok && placed < created) {
        ok = PlaceOutput(outputs[placed], error);
        if (ok)
            ++placed;
    }
    if (ok) {
        for (OutputFile &out : outputs)
            DropKept(out);
        return true;
    }
    for (size_t i = placed; i-- > 0;)
        RestoreOutput(outputs[i]);
    for (size_t i = 0; i < created; ++i)
        DiscardOutput(outputs[i]);
    return false;
}

// The folders an extraction creates, deepest first, so that a failed one can
// remove every one of them again.
std::vector<std::filesystem::path> MissingFolders(const std::string &dir)
{
    std::vector<std::filesystem::path> missing;
    std::error_code ec;
    for (std::filesystem::path p = std::filesystem::path(dir).lexically_normal(); !p.empty();) {
        if (std::filesystem::exists(std::filesystem::symlink_status(p, ec)))
            break;
        missing.push_back(p);
        std::filesystem::path parent = p.parent_path();
        if (parent == p)
            break;
        p = parent;
    }
    return missing;
}
