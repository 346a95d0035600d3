// Files and folders the Windows tests and benchmarks set up, look for and clear away.
#pragma once
#include <string>

bool Exists(const std::string &path);
bool IsDirectory(const std::string &path);
// Removes a file, or a folder with everything in it; read-only entries too.
void RemoveTree(const std::string &path);
