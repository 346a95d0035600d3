// The installer's bounded formatter and string functions (runtime/text.h): what the
// installer's texts and paths rely on when a text does not fit, and the edges of the search.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "runtime/text.h"

namespace {

TEST(FormatText, FormatsWhatTheInstallerUses)
{
    auto run = [](const char *expected, int expectedResult, auto call) {
        char out[64];
        memset(out, '#', sizeof out);
        int result = call(out, sizeof out);
        EXPECT_EQ(expectedResult, result);
        EXPECT_STREQ(expected, out);
    };
    run("c:\\ovra\\guide.txt", 17,
        [](char *o, size_t n) { return FormatText(o, n, "%s\\%s", "c:\\ovra", "guide.txt"); });
    run("Ovra Installation Error [13]", 28,
        [](char *o, size_t n) { return FormatText(o, n, "Ovra Installation Error [%d]", 13); });
    run("0%", 2, [](char *o, size_t n) { return FormatText(o, n, "0%%"); });
    run("100%", 4, [](char *o, size_t n) { return FormatText(o, n, "%d%%", 100); });
    run("-2147483648%", 12, [](char *o, size_t n) { return FormatText(o, n, "%d%%", INT_MIN); });
    run("0", 1, [](char *o, size_t n) { return FormatText(o, n, "%d", 0); });
    run("c:\\", 3, [](char *o, size_t n) { return FormatText(o, n, "%s%s%s", "c:\\", "", ""); });
    // A format without conversions ignores the arguments it is given.
    run("[CreateGroup(\"Ovra\")]", 21,
        [](char *o, size_t n) { return FormatText(o, n, "[CreateGroup(\"Ovra\")]", "x", "y"); });
}

TEST(FormatText, CutsAtTheCapacityAndReportsTheWholeLength)
{
    struct Case {
        size_t capacity;
        const char *kept;
    } cases[] = {{1, ""}, {2, "a"}, {7, "abcdef"}, {8, "abcdefg"}, {9, "abcdefg"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.capacity);
        char out[16];
        memset(out, '#', sizeof out);
        EXPECT_EQ(7, FormatText(out, c.capacity, "%s%s", "abc", "defg"));
        EXPECT_STREQ(c.kept, out);
        for (size_t i = c.capacity; i < sizeof out; ++i)
            ASSERT_EQ('#', out[i]) << "written past the capacity at " << i;
    }
    char untouched = '#';
    EXPECT_EQ(3, FormatText(&untouched, 0, "abc"));
    EXPECT_EQ('#', untouched) << "a capacity of 0 writes nothing";
}

TEST(FormatText, RefusesAConversionItDoesNotKnow)
{
    for (const char *format : {"%x", "size %ld", "%", "%5s"}) {
        SCOPED_TRACE(format);
        char out[16] = "previous";
        EXPECT_EQ(-1, FormatText(out, sizeof out, format, 1));
        EXPECT_STREQ("", out);
    }
}

TEST(TextSearch, FindsTheFirstOccurrence)
{
    const char *path = "c:\\ovra\\ovra.ini";
    EXPECT_EQ(path + 8, TextFind(path, "ovra.ini"));
    EXPECT_EQ(path + 12, TextFind(path, ".ini"));
    EXPECT_EQ(path + 2, TextFind(path, "\\ovra"));
    EXPECT_EQ(path, TextFind(path, ""));
    EXPECT_EQ(nullptr, TextFind(path, ".INI")) << "case matters";
    EXPECT_EQ(nullptr, TextFind(path, "ovra.ini2")) << "a part running past the end";
    EXPECT_EQ(nullptr, TextFind("", "a"));
    EXPECT_EQ(nullptr, TextFind("ovr", "ovra"));
    EXPECT_EQ(path + 2, TextFindChar(path, '\\'));
    EXPECT_EQ(nullptr, TextFindChar(path, ' '));
    EXPECT_EQ(path + 16, TextFindChar(path, '\0'));
    EXPECT_EQ(16u, TextLength(path));
    EXPECT_EQ(0u, TextLength(""));
}

}  // namespace
