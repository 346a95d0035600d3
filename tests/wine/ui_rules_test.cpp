// The user interface's pure rules: where a dialog goes on the desktop, and which
// suffix the chooser adds to the directory browsed to.
#include <gtest/gtest.h>

#include "ui/centre.h"
#include "ui/rules.h"

namespace {

TEST(CentredPosition, FollowsTheHalvingMarginAndNegativeRules)
{
    const RECT vga = {0, 0, 640, 480};
    struct Case {
        const char *name;
        RECT desktop;
        int width, height;
        int x, y;
    } cases[] = {
        {"630 wide ends 10 inside the right edge", vga, 630, 200, 0, 140},
        {"640 wide would start at -10: 1", vga, 640, 200, 1, 140},
        {"300 wide is centred", vga, 300, 200, 170, 140},
        {"470 high ends 10 inside the bottom", vga, 300, 470, 170, 0},
        {"480 high would start at -10: 1", vga, 300, 480, 170, 1},
        {"pulled back by the margin but still positive", vga, 625, 465, 5, 5},
        {"larger than the desktop both ways", vga, 800, 600, 1, 1},
        {"odd window sizes halve toward zero", vga, 301, 201, 170, 140},
        {"odd desktop sizes halve toward zero", RECT{0, 0, 1023, 767}, 301, 201, 361, 283},
        {"a desktop not at the origin", RECT{100, 50, 740, 530}, 300, 200, 270, 190},
        {"margin measured from the desktop's own edges", RECT{100, 50, 740, 530}, 635, 475, 95, 45},
        {"20 pixels smaller than the desktop is exactly centred", vga, 620, 460, 10, 10},
    };
    for (const Case &c : cases) {
        POINT at = CentredPosition(c.desktop, c.width, c.height);
        EXPECT_EQ(c.x, at.x) << c.name;
        EXPECT_EQ(c.y, at.y) << c.name;
    }
}

TEST(ChooserSuffix, AddsOvraOnceAndNeverDoublesTheBackslash)
{
    struct Case {
        const char *directory;
        const char *suffix;
    } cases[] = {
        {"c:\\games", "\\ovra"},        {"c:\\games\\", "ovra"},         {"d:\\", "ovra"},      {"c:\\ovra", ""},
        {"c:\\tools\\ovra32", ""},      {"c:\\ovrafiles", ""},           {"c:\\ovra\\old", ""}, {"c:\\ov", "\\ovra"},
        {"c:\\my ovra", "\\ovra"},  // ovra without the backslash before it
        {"c:\\games\\xovra", "\\ovra"}, {"\\\\server\\share", "\\ovra"},
    };
    for (const Case &c : cases)
        EXPECT_STREQ(c.suffix, ChooserSuffix(c.directory)) << c.directory;
}

}  // namespace
