// The path split rule: drive, directory, name and extension of a path.
#pragma once

// drive gets at most 2 characters, dir/name/ext at most 255 each (buffers of 3 and 256).
// Leading spaces are skipped and only the first 260 characters are considered;
// both backslash and slash separate; a last component of . or .. is directory.
void SplitPath(const char *path, char drive[3], char dir[256], char name[256], char ext[256]);
