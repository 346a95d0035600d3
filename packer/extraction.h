// Unpacking a sound installer into a folder: the eleven items all or nothing, and
// the folders an extraction creates, so that a failed one leaves none behind.
#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "packer/installer_reader.h"

// Expands the eleven items of a sound installer (info from InspectInstallerSource)
// into dir, which exists. Either every file is in place, earlier files of the same
// names replaced, or none is and the earlier files are as they were; false with a
// reason then.
bool ExtractAllOrNothing(const InstallerSource &src, const InstallerInfo &info, const std::string &dir,
                         std::string &error);

// The folders an extraction into dir creates, deepest first, so that a failed one
// can remove every one of them again.
std::vector<std::filesystem::path> MissingFolders(const std::string &dir);
