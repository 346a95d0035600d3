// The path split on arbitrary text: every part stays inside its buffer and is
// terminated, and when nothing had to be cut the four parts give back the path
// without its leading spaces (of which at most 260 characters count).
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/pathsplit.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string path(reinterpret_cast<const char *>(data), size);
    path = path.c_str();  // up to the first zero byte, as the installer's texts end
    char drive[3], dir[256], name[256], ext[256];
    std::memset(drive, 'x', sizeof drive);
    std::memset(dir, 'x', sizeof dir);
    std::memset(name, 'x', sizeof name);
    std::memset(ext, 'x', sizeof ext);
    SplitPath(path.c_str(), drive, dir, name, ext);
    FUZZ_CHECK(std::memchr(drive, 0, sizeof drive) && std::memchr(dir, 0, sizeof dir) &&
                   std::memchr(name, 0, sizeof name) && std::memchr(ext, 0, sizeof ext),
               "a part is not terminated inside its buffer");

    size_t start = path.find_first_not_of(' ');
    std::string rest = start == std::string::npos ? "" : path.substr(start);
    if (rest.size() > 260)
        rest.resize(260);
    std::string joined = std::string(drive) + dir + name + ext;
    bool cut = std::strlen(dir) == 255 || std::strlen(name) == 255 || std::strlen(ext) == 255;
    if (!cut)
        FUZZ_CHECK(joined == rest, "parts give \"%s\" for \"%s\"", joined.c_str(), rest.c_str());
    return 0;
}
