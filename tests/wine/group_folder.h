// The Program Manager group as Wine's shell leaves it: the folder it makes for the group,
// the shortcuts in it, and the folder windows it opens on the way.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// The folder Wine's server makes for the group "Ovra" (under the Start Menu's
// Programs), or empty when the Programs folder is unknown.
std::string GroupFolder();

struct Shortcut {
    std::string name, target, workingDirectory;
    FILETIME written;
};
// The .lnk files of a group folder with their targets and working directories.
// Needs COM initialised on the calling thread.
std::vector<Shortcut> ReadShortcuts(const std::string &group);

// Wine's CreateGroup and ShowGroup each open a folder window on the group, in a
// process of its own, a moment later; they would cover what comes next. Waits for the
// expected number, then ends those windows' processes, never the desktop's.
void CloseGroupWindows(size_t expected);
