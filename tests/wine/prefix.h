// The prefix the Windows tests, benchmarks and helper programs run in: where its folders
// are, and the Unix system behind it (a path's Unix name, a Unix command run to its end).
#pragma once
#include <windows.h>

#include <string>

// The folder of the running program, with a trailing backslash: the programs built
// beside it (the installer, the stand-ins, the servers) are found there.
std::string ModuleDirectory();
// The prefix's temporary directory, with a trailing backslash.
std::string TempDirectory();
// The Windows directory, without one.
std::string WindowsDirectory();
// The Unix name of a path in the prefix, through Wine's own export; empty when unknown.
std::string UnixPath(const std::string &windowsPath);
// Runs a command through the Unix shell (paths in it quoted with '...') and waits until
// it has ended well. Wine neither waits for a Unix program nor passes its exit code on,
// so the command leaves a mark file when it succeeds; false when none came in timeoutMs.
bool RunUnixCommand(const std::string &command, DWORD timeoutMs);
