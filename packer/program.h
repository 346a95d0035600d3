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

// Runs argv[0] (looked up through PATH) with the arguments that follow and waits
// for it. Its standard input is empty, so it can never wait for a pass phrase;
// its output and errors go to logPath. Returns its exit code, or -1 with `error`
// when it cannot be started.
int RunProgram(const std::vector<std::string> &argv, const std::string &logPath, std::string &error);

// A new folder of its own beside the file `beside` (NAME.work-XXXXXX), for a program that
// will not write through an existing name; RemoveWorkFolder removes it and all in it.
bool MakeWorkFolder(const std::string &beside, std::string &folder, std::string &error);
void RemoveWorkFolder(const std::string &folder);
