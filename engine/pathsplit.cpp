// The path split rule: drive, directory, name and extension of a path, with the
// runtime library's limits (260 characters considered, parts cut to 255).
#include "engine/pathsplit.h"

#include <cstring>

namespace {

constexpr size_t kConsidered = 260;
constexpr size_t kPartMax = 255;

void CopyCut(char *out, const char *from, size_t length)
{
    if (length > kPartMax)
        length = kPartMax;
    memcpy(out, from, length);
    out[length] = '\0';
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace

void SplitPath(const char *path, char drive[3], char dir[256], char name[256], char ext[256])
{
    drive[0] = dir[0] = name[0] = ext[0] = '\0';
    if (path == nullptr)
        return;
    while (*path == ' ')
        ++path;
    size_t length = 0;
    while (length < kConsidered && path[length] != '\0')
        ++length;

    size_t start = 0;
    if (length >= 2 && path[1] == ':') {
        drive[0] = path[0];
        drive[1] = ':';
        drive[2] = '\0';
        start = 2;
    }

    size_t component = start;  // first character of the last component
    for (size_t i = start; i < length; ++i)
        if (IsSeparator(path[i]))
            component = i + 1;

    const char *last = path + component;
    size_t lastLength = length - component;
    bool dotsOnly = (lastLength == 1 && last[0] == '.') || (lastLength == 2 && last[0] == '.' && last[1] == '.');
    if (dotsOnly) {
        // "." and ".." name directories, never files.
        CopyCut(dir, path + start, length - start);
        return;
    }
    CopyCut(dir, path + start, component - start);

    size_t dot = lastLength;
    for (size_t i = 0; i < lastLength; ++i)
        if (last[i] == '.')
            dot = i;
    CopyCut(name, last, dot);
    CopyCut(ext, last + dot, lastLength - dot);
}
