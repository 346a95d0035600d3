// The path split rule, case by case: separators, dots, drives, leading spaces and
// the 260-character and 255-character limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/pathsplit.h"

namespace {

struct SplitCase {
    const char *name;
    std::string path;
    std::string drive, dir, base, ext;
};

std::string Repeat(char c, size_t n) { return std::string(n, c); }

TEST(PathSplit, FollowsTheRuleForEveryCase)
{
    const std::string d255 = "\\" + Repeat('d', 253) + "\\";  // exactly 255 characters
    const SplitCase cases[] = {
        {"full path", "c:\\games\\ovra\\ovra.ini", "c:", "\\games\\ovra\\", "ovra", ".ini"},
        {"no drive", "\\games\\ovra\\ovra.ini", "", "\\games\\ovra\\", "ovra", ".ini"},
        {"relative, no separator", "ovra.ini", "", "", "ovra", ".ini"},
        {"drive and name only", "c:ovra.ini", "c:", "", "ovra", ".ini"},
        {"drive only", "c:", "c:", "", "", ""},
        {"root directory", "c:\\", "c:", "\\", "", ""},
        {"empty", "", "", "", "", ""},
        {"one character", "c", "", "", "c", ""},
        {"colon not second", "ab:c", "", "", "ab:c", ""},
        {"slash separates", "c:/games/ovra/ovra.ini", "c:", "/games/ovra/", "ovra", ".ini"},
        {"mixed separators, last wins", "c:\\games/ovra\\x/y.txt", "c:", "\\games/ovra\\x/", "y", ".txt"},
        {"trailing separator", "c:\\ovra\\backup\\", "c:", "\\ovra\\backup\\", "", ""},
        {"no extension", "c:\\ovra\\readme", "c:", "\\ovra\\", "readme", ""},
        {"last dot wins", "c:\\ovra\\a.b.c", "c:", "\\ovra\\", "a.b", ".c"},
        {"name ends in dot", "c:\\ovra\\ovra.", "c:", "\\ovra\\", "ovra", "."},
        {"dot in directory only", "c:\\ovra.ini\\guide", "c:", "\\ovra.ini\\", "guide", ""},
        {"leading dot", "c:\\ovra\\.profile", "c:", "\\ovra\\", "", ".profile"},
        {"last component dot", "c:\\ovra\\.", "c:", "\\ovra\\.", "", ""},
        {"last component dotdot", "c:\\ovra\\..", "c:", "\\ovra\\..", "", ""},
        {"dotdot alone", "..", "", "..", "", ""},
        {"drive and dot", "c:.", "c:", ".", "", ""},
        {"three dots are a name", "c:\\ovra\\...", "c:", "\\ovra\\", "..", "."},
        {"leading spaces skipped", "   c:\\ovra\\x.ini", "c:", "\\ovra\\", "x", ".ini"},
        {"inner spaces kept", "c:\\my ovra\\a b.ini", "c:", "\\my ovra\\", "a b", ".ini"},
        {"only spaces", "   ", "", "", "", ""},
        {"directory of 255 kept whole", "c:" + d255 + "n.e", "c:", d255, "n", ".e"},
        {"directory cut to 255", "c:" + d255 + "x\\n", "c:", d255, "n", ""},
        {"name cut to 255", "c:\\" + Repeat('n', 256) + ".", "c:", "\\", Repeat('n', 255), "."},
        {"extension cut to 255", "c:\\n." + Repeat('e', 256), "c:", "\\", "n", "." + Repeat('e', 254)},
        // Only 260 characters are looked at: the separator at 261 and the name after it vanish.
        {"260 characters considered", "c:\\" + Repeat('a', 257) + "\\b.txt", "c:", "\\", Repeat('a', 255), ""},
        {"260 counted after leading spaces", "  c:\\" + Repeat('a', 252) + ".txtxy", "c:", "\\", Repeat('a', 252),
         ".txtx"},
    };
    for (const SplitCase &c : cases) {
        SCOPED_TRACE(c.name);
        char drive[3] = "??", dir[256] = "??", base[256] = "??", ext[256] = "??";
        SplitPath(c.path.c_str(), drive, dir, base, ext);
        EXPECT_EQ(c.drive, drive);
        EXPECT_EQ(c.dir, dir);
        EXPECT_EQ(c.base, base);
        EXPECT_EQ(c.ext, ext);
    }
}

// The split must never write past its part buffers, however long the input:
// the guard bytes around each part stay untouched.
TEST(PathSplit, StaysInsideItsBuffers)
{
    struct Guarded {
        char before[8];
        char part[256];
        char after[8];
    };
    const std::string inputs[] = {
        std::string(1000, 'x'),
        "c:" + std::string(1000, '\\'),
        "c:\\" + std::string(600, '.'),
        "c:\\a." + std::string(600, 'e'),
    };
    for (const std::string &input : inputs) {
        SCOPED_TRACE(input.substr(0, 8));
        char drive[3 + 8];
        memset(drive, '#', sizeof drive);
        Guarded dir, base, ext;
        for (Guarded *g : {&dir, &base, &ext})
            memset(g, '#', sizeof *g);
        SplitPath(input.c_str(), drive, dir.part, base.part, ext.part);
        for (int i = 3; i < 11; ++i)
            EXPECT_EQ('#', drive[i]);
        for (Guarded *g : {&dir, &base, &ext}) {
            EXPECT_LE(strlen(g->part), 255u);
            for (char c : g->before)
                EXPECT_EQ('#', c);
            for (char c : g->after)
                EXPECT_EQ('#', c);
        }
    }
}

}  // namespace
