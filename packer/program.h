// Other programs the packer runs (osslsigncode for signing), and the private
// folder their outputs go to. Platform parts live in program_posix.cpp and
// program_win32.cpp.
#pragma once
#include <string>
#include <vector>

// The full path of this running program; empty when the system does not say.
std::string OwnProgramPath();

// True when `name` is an executable found through PATH.
bool FindProgram(const std::string &name);

// What RunProgram returns when the program gave no exit code of its own.
constexpr int kProgramNotStarted = -1;   // or lost: `error` says why
constexpr int kProgramTimedOut = -2;     // ended (with all it started) after the time limit
constexpr int kProgramInterrupted = -3;  // ended because mksetup itself was interrupted

// Runs argv[0] (looked up through PATH) with the arguments that follow and waits
// for it, at most timeoutSeconds. Its standard input is empty, so it can never
// wait for a pass phrase; its output and errors go to logPath. It runs in a
// process group of its own, so that everything it started can be ended with it.
// Returns its exit code, or one of the codes above with `error`.
int RunProgram(const std::vector<std::string> &argv, const std::string &logPath, unsigned timeoutSeconds,
               std::string &error);

// A new folder of its own beside the file `beside` (NAME.work-XXXXXX, the name cut
// short as temporary files' names are), for a program that will not write through
// an existing name; RemoveWorkFolder removes it and all in it. In between,
// interruptions are held (HoldInterruptions in files.h), so that an interruption
// ends the program only once the folder is gone.
bool MakeWorkFolder(const std::string &beside, std::string &folder, std::string &error);
void RemoveWorkFolder(const std::string &folder);
