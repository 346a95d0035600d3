// The dialogs' pure rules on arbitrary sizes and directories: a centred window never
// lands at a negative coordinate and keeps the right and bottom margins whenever the
// left and top allow; the chooser's suffix always yields a path holding "\ovra" and
// never doubles a backslash.
#include <cstdint>
#include <cstring>
#include <string>

#include "tests/fuzz/fuzz_check.h"
#include "ui/rules.h"

namespace {

// Screen coordinates and sizes stay within what the platform's 16-bit-era window
// manager hands out; the rule's arithmetic is not meant for more.
int Coordinate(const uint8_t *&data, size_t &size)
{
    int16_t value = 0;
    if (size >= 2) {
        std::memcpy(&value, data, 2);
        data += 2;
        size -= 2;
    }
    return value;
}

void CheckAxis(const char *axis, int low, int high, int extent, int at)
{
    FUZZ_CHECK(at >= 0, "%s %d", axis, at);
    // Pulled back from the far edge, unless that had to give way to the near one.
    FUZZ_CHECK(at + extent <= high - 10 || at == 1, "%s %d + %d past %d - 10", axis, at, extent, high);
    // Exactly centred when there is room on both sides.
    if (extent >= 0 && low >= 0 && extent <= high - low - 20)
        FUZZ_CHECK(at == low + (high - low) / 2 - extent / 2, "%s %d is not centred in %d..%d", axis, at, low, high);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int left = Coordinate(data, size), top = Coordinate(data, size);
    int right = Coordinate(data, size), bottom = Coordinate(data, size);
    int width = Coordinate(data, size), height = Coordinate(data, size);
    ScreenPoint at = CentredOrigin(left, top, right, bottom, width, height);
    CheckAxis("x", left, right, width, at.x);
    CheckAxis("y", top, bottom, height, at.y);

    std::string directory(reinterpret_cast<const char *>(data), size);
    directory = directory.c_str();
    if (directory.size() < 2)
        return 0;
    const char *suffix = ChooserSuffix(directory.c_str());
    std::string proposed = directory + suffix;
    FUZZ_CHECK(proposed.find("\\ovra") != std::string::npos, "\"%s\" holds no \\ovra", proposed.c_str());
    if (*suffix) {
        FUZZ_CHECK(proposed.compare(proposed.size() - 5, 5, "\\ovra") == 0, "\"%s\" does not end in \\ovra",
                   proposed.c_str());
        // One backslash joins them: added only when the directory has none at its end.
        FUZZ_CHECK((suffix[0] == '\\') == (directory.back() != '\\'), "\"%s\" became \"%s\"", directory.c_str(),
                   proposed.c_str());
    }
    return 0;
}
