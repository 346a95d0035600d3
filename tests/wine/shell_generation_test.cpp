// The shell-generation rule on the GetVersion values that Wine's version settings
// report, and on the corners of the rule itself.
#include <gtest/gtest.h>

#include "ui/app.h"

namespace {

TEST(ShellGeneration, FromGetVersion)
{
    struct Case {
        const char *name;
        DWORD version;
        bool newShell;
    } cases[] = {
        {"win95, 4.0", 0xC0000004, true},
        {"nt40, 4.0", 0x05650004, true},
        {"win98, 4.10", 0xC0000A04, true},
        {"winme, 4.90", 0xC0005A04, true},
        {"4.255", 0x0000FF04, true},
        {"3.95", 0x00005F03, true},
        {"3.94", 0x00005E03, false},
        {"nt351, 3.51", 0x04213303, false},
        {"win31, 3.10", 0x80000A03, false},
        {"3.0", 0x00000003, false},
        {"win2k, 5.0", 0x08930005, false},
        {"winxp, 5.1", 0x0A280105, false},
        {"win7, 6.1", 0x1DB10106, false},
        {"win8 and win10 without a manifest, 6.2", 0x23F00206, false},
        {"10.0", 0x4A61000A, false},
        // The minor byte is unsigned: 200 counts as 95 or more.
        {"5.200", 0x0000C805, true},
        // The high word (build, platform) plays no part.
        {"4.0 with every high bit set", 0xFFFF0004, true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.newShell, IsNewShell(c.version)) << c.name;
}

}  // namespace
