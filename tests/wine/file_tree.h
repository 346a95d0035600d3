// Files and folders the Windows tests and benchmarks set up and clear away.
#pragma once
#include <string>

bool IsDirectory(const std::string &path);
// Removes a file, or a folder with everything in it; read-only entries too.
void RemoveTree(const std::string &path);
