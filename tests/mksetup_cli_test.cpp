// The mksetup command line: build/list/extract end to end (also with items made
// by the classic compressor), reproducible output, codec interchange, and one
// clear error line with a non-zero exit and no output file for every failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/payload.h"
#include "tests/packer_fixture.h"
#include "tests/test_files.h"

namespace fs = std::filesystem;

namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path &p)
{
    std::vector<uint8_t> bytes = ReadWholeFile(p);
    return std::string(bytes.begin(), bytes.end());
}

class MksetupCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *tool = std::getenv("SETUP32_MKSETUP");
        ASSERT_NE(tool, nullptr) << "SETUP32_MKSETUP is not set";
        tool_ = tool;
        dir_ = fs::temp_directory_path() / ("mksetup_cli_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "payload");
        ASSERT_TRUE(WriteWholeFile(dir_ / "stub.exe", packer_fixture::MakeStub()));
        std::vector<std::vector<uint8_t>> inputs = packer_fixture::PayloadTexts();
        for (int i = 0; i < kPayloadItemCount; ++i)
            ASSERT_TRUE(WriteWholeFile(dir_ / "payload" / PayloadItemName(i), inputs[i]));
    }
    void TearDown() override { fs::remove_all(dir_); }

    ToolRun Mksetup(const std::string &args)
    {
        std::string command = "cd '" + dir_.string() + "' && '" + tool_ + "' " + args + " >out.txt 2>err.txt";
        int raw = std::system(command.c_str());
        ToolRun r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(dir_ / "out.txt"), Slurp(dir_ / "err.txt")};
        fs::remove(dir_ / "out.txt");
        fs::remove(dir_ / "err.txt");
        return r;
    }

    void ExpectExtractMatches(const std::string &installer, const fs::path &originals)
    {
        ToolRun extract = Mksetup("extract " + installer + " x");
        ASSERT_EQ(extract.status, 0) << extract.err;
        for (int i = 0; i < kPayloadItemCount; ++i)
            EXPECT_EQ(Slurp(dir_ / "x" / PayloadItemName(i)), Slurp(originals / PayloadItemName(i)))
                << PayloadItemName(i);
        fs::remove_all(dir_ / "x");
    }

    std::string tool_;
    fs::path dir_;
};

TEST_F(MksetupCli, BuildListExtractRoundTrip)
{
    ToolRun build = Mksetup("build --stub stub.exe --out setup.exe payload");
    ASSERT_EQ(build.status, 0) << build.err;
    EXPECT_EQ(build.err, "");
    ToolRun list = Mksetup("list setup.exe");
    ASSERT_EQ(list.status, 0) << list.err;
    for (int i = 0; i < kPayloadItemCount; ++i)
        EXPECT_NE(list.out.find(PayloadItemName(i)), std::string::npos) << PayloadItemName(i);
    EXPECT_NE(list.out.find(": match"), std::string::npos) << list.out;
    ExpectExtractMatches("setup.exe", dir_ / "payload");

    // Eleven files in table order give the same installer, and so does a rebuild.
    std::string files;
    for (int i = 0; i < kPayloadItemCount; ++i)
        files += std::string(" payload/") + PayloadItemName(i);
    ASSERT_EQ(Mksetup("build --stub stub.exe --out again.exe" + files).status, 0);
    EXPECT_EQ(Slurp(dir_ / "again.exe"), Slurp(dir_ / "setup.exe"));
    ASSERT_EQ(Mksetup("build --stub stub.exe --out setup.exe payload").status, 0);
    EXPECT_EQ(Slurp(dir_ / "again.exe"), Slurp(dir_ / "setup.exe"));
}

TEST_F(MksetupCli, ItemsMadeByTheClassicCompressor)
{
    if (std::system("command -v mscompress >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "mscompress is not installed";
    fs::create_directories(dir_ / "packed");
    for (int i = 0; i < kPayloadItemCount; ++i) {
        fs::path src = dir_ / "payload" / PayloadItemName(i);
        fs::path dst = dir_ / "packed" / PayloadItemName(i);
        // mscompress writes NAME_ next to the file.
        std::string cmd = "mscompress '" + src.string() + "' && mv '" + src.string() + "_' '" + dst.string() + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    ASSERT_EQ(Mksetup("build --stub stub.exe --out setup.exe packed").status, 0);
    ASSERT_EQ(Mksetup("list setup.exe").status, 0);
    ExpectExtractMatches("setup.exe", dir_ / "payload");
}

TEST_F(MksetupCli, CodecInterchangesWithTheClassicTools)
{
    ASSERT_EQ(Mksetup("compress payload/guide.txt guide.tx_").status, 0);
    ASSERT_EQ(Mksetup("expand guide.tx_ guide.back").status, 0);
    EXPECT_EQ(Slurp(dir_ / "guide.back"), Slurp(dir_ / "payload" / "guide.txt"));
    if (std::system("command -v msexpand >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "msexpand is not installed";
    std::string cmd = "msexpand < '" + (dir_ / "guide.tx_").string() + "' > '" + (dir_ / "ms.txt").string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(Slurp(dir_ / "ms.txt"), Slurp(dir_ / "payload" / "guide.txt"));
}

TEST_F(MksetupCli, HelpForTheToolAndEachCommand)
{
    for (const char *args : {"--help", "build --help", "list --help", "extract --help", "compress --help",
                             "expand --help"}) {
        SCOPED_TRACE(args);
        ToolRun r = Mksetup(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("usage: mksetup"), std::string::npos);
    }
}

TEST_F(MksetupCli, ErrorsGiveOneLineAndNoOutput)
{
    ASSERT_EQ(Mksetup("build --stub stub.exe --out good.exe payload").status, 0);
    std::string good = Slurp(dir_ / "good.exe");
    ASSERT_TRUE(WriteWholeFile(dir_ / "cut.exe", std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2)));
    std::vector<uint8_t> flipped(good.begin(), good.end());
    flipped[flipped.size() - 40] ^= 0x10;
    ASSERT_TRUE(WriteWholeFile(dir_ / "flipped.exe", flipped));
    fs::create_directories(dir_ / "short");
    for (int i = 0; i < kPayloadItemCount - 1; ++i)
        fs::copy_file(dir_ / "payload" / PayloadItemName(i), dir_ / "short" / PayloadItemName(i));

    struct Case {
        const char *name;
        std::string args;
        const char *message;
        const char *output;  // must not exist afterwards
    };
    const Case cases[] = {
        {"missing input in the folder", "build --stub stub.exe --out o.exe short", "links.ini", "o.exe"},
        {"wrong number of files", "build --stub stub.exe --out o.exe payload/guide.txt payload/hosts.ini",
         "got 2 files", "o.exe"},
        {"missing stub", "build --stub none.exe --out o.exe payload", "cannot read 'none.exe'", "o.exe"},
        {"stub without slot", "build --stub payload/guide.txt --out o.exe payload", "stub:", "o.exe"},
        {"output cannot be written", "build --stub stub.exe --out nodir/o.exe payload", "cannot write",
         "nodir/o.exe"},
        {"list a cut installer", "list cut.exe", "not a sound installer", ""},
        {"list a changed installer", "list flipped.exe", "differs from the program's", ""},
        {"extract a cut installer", "extract cut.exe x", "cut.exe:", "x"},
        {"extract a changed installer", "extract flipped.exe x", "differs", "x"},
        {"list a missing file", "list none.exe", "cannot read 'none.exe'", ""},
        {"expand a plain file", "expand payload/guide.txt o.txt", "not an SZDD", "o.txt"},
        {"unknown command", "pack payload", "unknown command", ""},
        {"no command", "", "no command", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun r = Mksetup(c.args);
        EXPECT_NE(r.status, 0);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("mksetup: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        if (*c.output) {
            EXPECT_FALSE(fs::exists(dir_ / c.output));
            EXPECT_FALSE(fs::exists(dir_ / (std::string(c.output) + ".partial")));
        }
    }
    // A failed build leaves an existing installer untouched.
    ASSERT_NE(Mksetup("build --stub stub.exe --out good.exe short").status, 0);
    EXPECT_EQ(Slurp(dir_ / "good.exe"), good);
}

}  // namespace
