// mksetup against files a hostile user leaves: another user's file under root's
// output name, a large file that is no program at all, and crafted programs whose
// refusal must name the real cause in one line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "format/payload.h"
#include "tests/mksetup_run.h"
#include "tests/packer_fixture.h"
#include "tests/test_files.h"

namespace fs = std::filesystem;

namespace {

int Lines(const std::string &text) { return int(std::count(text.begin(), text.end(), '\n')); }

class MksetupHostile : public MksetupFolderTest {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(MakeFolder("mksetup_hostile"));
        ::chmod(dir_.c_str(), 0755);
        ToolRun build = Mksetup("build --stub stub.exe --out setup.exe payload");
        ASSERT_EQ(build.status, 0) << build.err;
    }
};

struct stat StatOf(const fs::path &p)
{
    struct stat st = {};
    ::stat(p.c_str(), &st);
    return st;
}

// Root writes into a world-writable sticky folder where another user left files
// under the output names: what root wrote must not become that user's, nor
// writable by them. A file of the folder's owner keeps its owner and mode.
TEST_F(MksetupHostile, RootsOutputsNeverPassToAnotherUser)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "replacing another user's file with root's output needs root";
    ASSERT_EQ(Sh("mkdir shared && chmod 1777 shared"), 0);
    struct Case {
        const char *name;
        std::string args;
        const char *target;
    };
    const Case cases[] = {
        {"build", "build --stub stub.exe --out shared/out.exe payload", "shared/out.exe"},
        {"compress", "compress payload/guide.txt shared/guide.tx_", "shared/guide.tx_"},
        {"extract", "extract setup.exe shared", "shared/links.ini"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Sh(std::string("runuser -u nobody -- sh -c 'umask 0; echo left by nobody >") + c.target +
                     " && chmod 666 " + c.target + "'"),
                  0);
        ASSERT_EQ(StatOf(dir_ / c.target).st_uid, 65534u);
        ToolRun r = Mksetup(c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        struct stat st = StatOf(dir_ / c.target);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 022, 0u) << std::oct << (st.st_mode & 07777);
        EXPECT_NE(ReadWholeText(dir_ / c.target), "left by nobody\n");
        // The user cannot change what root wrote.
        EXPECT_NE(Sh(std::string("runuser -u nobody -- sh -c 'echo changed >>") + c.target + "' 2>/dev/null"), 0);
    }
    // A folder that belongs to the file's owner: that user could replace the file
    // anyway, so it stays theirs, with its mode.
    ASSERT_EQ(Sh("mkdir theirs && chown nobody theirs && runuser -u nobody -- sh -c "
                 "'echo earlier >theirs/out.exe && chmod 640 theirs/out.exe'"),
              0);
    ToolRun r = Mksetup("build --stub stub.exe --out theirs/out.exe payload");
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st = StatOf(dir_ / "theirs" / "out.exe");
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Leftovers(dir_), "");
}

// A large file that is no program is refused from its first bytes by every
// command that reads installers, within a memory limit far below its size.
TEST_F(MksetupHostile, LargeFileThatIsNoProgramIsRefusedFromItsHeaders)
{
    ASSERT_EQ(Sh("truncate -s 1G zeros.bin && echo certificate >cert.pem && echo key >key.pem"), 0);
    struct Case {
        const char *name;
        std::string args;
        const char *output;
    };
    const Case cases[] = {
        {"list", "list zeros.bin", nullptr},
        {"extract", "extract zeros.bin x", "x"},
        {"balance", "balance zeros.bin o.exe", "o.exe"},
        {"sign", "sign --cert cert.pem --key key.pem zeros.bin o.exe", "o.exe"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun r = Mksetup(c.args, "ulimit -v 200000;", "timeout 120");
        EXPECT_EQ(r.status, 1) << r.err;
        if (std::string(c.name) == "sign" && r.err.find("osslsigncode is not installed") != std::string::npos)
            continue;
        EXPECT_NE(r.err.find("not a Windows program"), std::string::npos) << r.err;
        EXPECT_EQ(Lines(r.err), 1) << r.err;
        if (c.output != nullptr)
            EXPECT_FALSE(fs::exists(dir_ / c.output));
    }
    EXPECT_EQ(Leftovers(dir_), "");
}

// A program of 96 sections without names, one of them outside the file.
std::vector<uint8_t> ProgramWithNamelessSections()
{
    std::vector<uint8_t> f(0x40 + 24 + 96 * 40, 0);
    f[0] = 'M';
    f[1] = 'Z';
    packer_fixture::PutLe(f, kPeHeaderOffsetField, 0x40, 4);
    std::memcpy(&f[0x40], "PE\0\0", 4);
    packer_fixture::PutLe(f, 0x44, 0x14C, 2);
    packer_fixture::PutLe(f, 0x46, 96, 2);
    size_t table = 0x40 + 24;
    packer_fixture::PutLe(f, table + 2 * 40 + 16, 0x1000, 4);   // the third: raw size
    packer_fixture::PutLe(f, table + 2 * 40 + 20, 0x10000, 4);  // at an offset past the end
    return f;
}

// Each refusal is one line that names the file and the real cause.
TEST_F(MksetupHostile, RefusalsNameTheRealCause)
{
    std::vector<uint8_t> installer = ReadWholeFile(dir_ / "setup.exe");
    char marker[4];
    BuildMarker(marker);
    std::copy(marker, marker + 4, installer.begin() + 0x210);  // inside the program's .text
    ASSERT_TRUE(WriteWholeFile(dir_ / "marked.exe", installer));
    ASSERT_TRUE(WriteWholeFile(dir_ / "sections.exe", ProgramWithNamelessSections()));
    struct Case {
        const char *name;
        std::string args;
        const char *message;
        const char *misleading;  // what the refusal said before, or nullptr
    };
    const Case cases[] = {
        {"list: a marker inside the program", "list marked.exe",
         "marked.exe: not a sound installer: the program part (its first 1536 bytes) holds the item marker at "
         "offset 528",
         nullptr},
        {"extract: a marker inside the program", "extract marked.exe x",
         "the program part (its first 1536 bytes) holds the item marker at offset 528", nullptr},
        {"extract into an empty name", "extract setup.exe ''", "cannot extract into '': the folder name is empty",
         "exists and is not a folder"},
        {"list: nameless sections", "list sections.exe", "section number 3 (no name) outside the file",
         "section  outside"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun r = Mksetup(c.args);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        if (c.misleading != nullptr)
            EXPECT_EQ(r.err.find(c.misleading), std::string::npos) << r.err;
        EXPECT_EQ(Lines(r.err), 1) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "x"));
    }
}

}  // namespace
