// The mksetup command line: build/list/extract end to end (also with items made
// by the classic compressor), reproducible output, codec interchange, and one
// clear error line with a non-zero exit and no output file for every failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "format/payload.h"
#include "format/szdd.h"
#include "tests/mksetup_run.h"
#include "tests/packer_fixture.h"
#include "tests/test_files.h"

namespace fs = std::filesystem;

namespace {

class MksetupCli : public MksetupFolderTest {
protected:
    void SetUp() override { MakeFolder("mksetup_cli"); }

    void ExpectExtractMatches(const std::string &installer, const fs::path &originals)
    {
        ToolRun extract = Mksetup("extract " + installer + " x");
        ASSERT_EQ(extract.status, 0) << extract.err;
        for (int i = 0; i < kPayloadItemCount; ++i)
            EXPECT_EQ(ReadWholeText(dir_ / "x" / PayloadItemName(i)), ReadWholeText(originals / PayloadItemName(i)))
                << PayloadItemName(i);
        fs::remove_all(dir_ / "x");
    }
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
    EXPECT_EQ(ReadWholeText(dir_ / "again.exe"), ReadWholeText(dir_ / "setup.exe"));
    ASSERT_EQ(Mksetup("build --stub stub.exe --out setup.exe payload").status, 0);
    EXPECT_EQ(ReadWholeText(dir_ / "again.exe"), ReadWholeText(dir_ / "setup.exe"));
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
    EXPECT_EQ(ReadWholeText(dir_ / "guide.back"), ReadWholeText(dir_ / "payload" / "guide.txt"));
    if (std::system("command -v msexpand >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "msexpand is not installed";
    std::string cmd = "msexpand < '" + (dir_ / "guide.tx_").string() + "' > '" + (dir_ / "ms.txt").string() + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(ReadWholeText(dir_ / "ms.txt"), ReadWholeText(dir_ / "payload" / "guide.txt"));
}

TEST_F(MksetupCli, HelpForTheToolAndEachCommand)
{
    for (const char *args :
         {"--help", "build --help", "list --help", "extract --help", "compress --help", "expand --help"}) {
        SCOPED_TRACE(args);
        ToolRun r = Mksetup(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find("usage: mksetup"), std::string::npos);
    }
}

TEST_F(MksetupCli, ErrorsGiveOneLineAndNoOutput)
{
    ASSERT_EQ(Mksetup("build --stub stub.exe --out good.exe payload").status, 0);
    std::string good = ReadWholeText(dir_ / "good.exe");
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
        {"output cannot be written", "build --stub stub.exe --out nodir/o.exe payload", "cannot write", "nodir/o.exe"},
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
    EXPECT_EQ(ReadWholeText(dir_ / "good.exe"), good);
}

// What is at a name, without following a link: "file", "link", "folder", "fifo", "device", "none".
std::string KindAt(const fs::path &p)
{
    std::error_code ec;
    fs::file_status st = fs::symlink_status(p, ec);
    switch (st.type()) {
    case fs::file_type::regular: return "file";
    case fs::file_type::symlink: return "link";
    case fs::file_type::directory: return "folder";
    case fs::file_type::fifo: return "fifo";
    case fs::file_type::character: return "device";
    case fs::file_type::block: return "device";
    case fs::file_type::not_found: return "none";
    default: return "other";
    }
}

// An output name that exists and is not a regular file is refused before any
// work, and stays what it was.
TEST_F(MksetupCli, RefusesOutputsThatAreNotRegularFiles)
{
    ASSERT_EQ(Mksetup("compress payload/guide.txt guide.tx_").status, 0);
    ASSERT_EQ(Sh("mkfifo fifo && mkdir folder"), 0);
    // A copy of a device node made here, never a system one: a faulty build
    // would replace the node it is given with a regular file.
    bool haveDevice = Sh("mknod fullcopy c 1 7 2>/dev/null") == 0;
    struct Case {
        const char *name;
        std::string args;
        const char *target;
        const char *message;
    };
    const Case cases[] = {
        {"build over a device", "build --stub stub.exe --out fullcopy payload", "fullcopy", "is a device"},
        {"build over a FIFO", "build --stub stub.exe --out fifo payload", "fifo", "is a FIFO"},
        {"build over a folder", "build --stub stub.exe --out folder payload", "folder", "is a folder"},
        {"compress over a device", "compress payload/guide.txt fullcopy", "fullcopy", "is a device"},
        {"compress over a FIFO", "compress payload/guide.txt fifo", "fifo", "is a FIFO"},
        {"expand over a folder", "expand guide.tx_ folder", "folder", "is a folder"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.target) == "fullcopy" && !haveDevice)
            continue;  // mknod needs root
        std::string before = KindAt(dir_ / c.target);
        ToolRun r = Mksetup(c.args, "", "timeout 20");
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(KindAt(dir_ / c.target), before);
    }
    for (const auto &entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
}

// The temporary file is created exclusively: a link planted under a
// predictable name is never written through.
TEST_F(MksetupCli, TemporaryFilesNeverFollowLinks)
{
    ASSERT_EQ(Mksetup("build --stub stub.exe --out good.exe payload").status, 0);
    ASSERT_TRUE(WriteWholeFile(dir_ / "victim.txt", std::string("keep me")));
    ASSERT_TRUE(WriteWholeFile(dir_ / "victim2.txt", std::string("keep me too")));
    fs::create_directories(dir_ / "x");
    fs::create_symlink("victim.txt", dir_ / "out.exe.partial");
    fs::create_symlink("../victim2.txt", dir_ / "x" / "guide.txt.partial");
    ASSERT_EQ(Mksetup("build --stub stub.exe --out out.exe payload").status, 0);
    ToolRun extract = Mksetup("extract good.exe x");
    ASSERT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(ReadWholeText(dir_ / "victim.txt"), "keep me");
    EXPECT_EQ(ReadWholeText(dir_ / "victim2.txt"), "keep me too");
    EXPECT_EQ(KindAt(dir_ / "out.exe"), "file");
    EXPECT_EQ(ReadWholeText(dir_ / "out.exe"), ReadWholeText(dir_ / "good.exe"));
    EXPECT_EQ(KindAt(dir_ / "x" / "guide.txt"), "file");
    EXPECT_EQ(ReadWholeText(dir_ / "x" / "guide.txt"), ReadWholeText(dir_ / "payload" / "guide.txt"));
    // An output name that is a link: the link is replaced, its target kept.
    fs::create_symlink("victim.txt", dir_ / "linked.exe");
    ASSERT_EQ(Mksetup("build --stub stub.exe --out linked.exe payload").status, 0);
    EXPECT_EQ(KindAt(dir_ / "linked.exe"), "file");
    EXPECT_EQ(ReadWholeText(dir_ / "victim.txt"), "keep me");
}

TEST_F(MksetupCli, RefusesToReplaceItsOwnInput)
{
    ASSERT_EQ(Mksetup("compress payload/guide.txt guide.tx_").status, 0);
    fs::create_symlink("payload/hosts.ini", dir_ / "alias.ini");
    struct Case {
        const char *name;
        std::string args;
        const char *input;
    };
    const Case cases[] = {
        {"compress in place", "compress payload/guide.txt payload/guide.txt", "payload/guide.txt"},
        {"expand in place", "expand guide.tx_ guide.tx_", "guide.tx_"},
        {"build over the stub", "build --stub stub.exe --out stub.exe payload", "stub.exe"},
        {"build over a payload file", "build --stub stub.exe --out payload/menus.ini payload", "payload/menus.ini"},
        {"compress through a link to the input", "compress payload/hosts.ini alias.ini", "payload/hosts.ini"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string before = ReadWholeText(dir_ / c.input);
        ToolRun r = Mksetup(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("is the input"), std::string::npos) << r.err;
        EXPECT_EQ(ReadWholeText(dir_ / c.input), before);
    }
}

// Inputs must be regular files, and their size fits the format before a byte
// is read: devices, FIFOs and a sparse 4 GiB file are refused at once.
TEST_F(MksetupCli, RefusesInputsThatAreNotRegularOrTooLarge)
{
    ASSERT_EQ(Sh("mkfifo fifo && truncate -s 4G huge.bin"), 0);
    ASSERT_EQ(Mksetup("build --stub stub.exe --out good.exe payload").status, 0);
    struct Case {
        const char *name;
        std::string args;
        const char *message;
    };
    const Case cases[] = {
        {"list a device", "list /dev/zero", "is a device"},
        {"expand a device", "expand /dev/zero o", "is a device"},
        {"compress a device", "compress /dev/urandom o", "is a device"},
        {"compress a FIFO without writer", "compress fifo o", "is a FIFO"},
        {"stub that is a FIFO", "build --stub fifo --out o payload", "is a FIFO"},
        {"compress past the length field", "compress huge.bin o", "more than the 4294967295"},
        {"extract a folder", "extract payload o", "is a folder"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Memory and time limits stand in for the machine the old reads exhausted.
        ToolRun r = Mksetup(c.args, "ulimit -v 1000000;", "timeout 20");
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "o"));
    }
}

// A failed extraction leaves none of the eleven files, whatever it had written.
TEST_F(MksetupCli, ExtractIsAllOrNothing)
{
    // The last item is large, so a file-size limit stops the extraction after
    // the first ten have been written out.
    ASSERT_TRUE(WriteWholeFile(dir_ / "payload" / "links.ini", std::string(200000, 'q')));
    ASSERT_EQ(Mksetup("build --stub stub.exe --out good.exe payload").status, 0);
    ToolRun r = Mksetup("extract good.exe x", "trap '' XFSZ; ulimit -f 64;");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("no file was extracted"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "x")) << "the folder it created stays behind";
    // Every folder it created goes, not only the last.
    r = Mksetup("extract good.exe n/a/b/c", "trap '' XFSZ; ulimit -f 64;");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "n")) << "folders it created stay behind";

    // Into an existing folder: a name taken by a folder is refused before any work.
    fs::create_directories(dir_ / "y" / "guide.txt");
    r = Mksetup("extract good.exe y");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is a folder"), std::string::npos) << r.err;
    for (int i = 0; i < kPayloadItemCount; ++i) {
        if (std::string(PayloadItemName(i)) != "guide.txt") {
            EXPECT_FALSE(fs::exists(dir_ / "y" / PayloadItemName(i))) << PayloadItemName(i);
        }
    }
}

// The installer and the compressed file go to the output as they are made: a
// write that fails part-way (here at a file-size limit) leaves neither the
// output nor a temporary file, keeps what was there, and names the output.
TEST_F(MksetupCli, AFailedWriteLeavesNothingBehind)
{
    // Bytes that never spell the marker letters and hardly compress.
    std::mt19937 rng(5);
    std::vector<uint8_t> noise(300000);
    for (uint8_t &b : noise)
        b = uint8_t(0x80 | (rng() & 0x7F));
    ASSERT_TRUE(WriteWholeFile(dir_ / "payload" / "ovra32.exe", noise));
    ASSERT_TRUE(WriteWholeFile(dir_ / "old.exe", std::string("an earlier installer")));
    struct Case {
        const char *name;
        std::string args;
        const char *output;
    };
    const Case cases[] = {
        {"build over an earlier installer", "build --stub stub.exe --out old.exe payload", "old.exe"},
        {"compress", "compress payload/ovra32.exe big.z", "big.z"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        bool existed = fs::exists(dir_ / c.output);
        ToolRun r = Mksetup(c.args, "trap '' XFSZ; ulimit -f 64;");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "mksetup: cannot write '" + std::string(c.output) + "': write failed (disk full?)\n");
        if (existed)
            EXPECT_EQ(ReadWholeText(dir_ / c.output), "an earlier installer");
        else
            EXPECT_FALSE(fs::exists(dir_ / c.output));
        for (const auto &entry : fs::directory_iterator(dir_))
            EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
    }
    // Without the limit both succeed.
    EXPECT_EQ(Mksetup("build --stub stub.exe --out old.exe payload").status, 0);
    EXPECT_EQ(Mksetup("compress payload/ovra32.exe big.z").status, 0);
}

// The build holds one input at a time, never the payload: an item already
// compressed (kept as it is) of 48 MB builds within 200 MB of address space,
// where holding it as input, stored item, payload and installer at once cannot.
TEST_F(MksetupCli, BuildHoldsOneItemNotThePayload)
{
    // A compressed file of literals only: a flag byte before every eight bytes,
    // none of them a marker letter.
    const size_t groups = size_t(48) << 20 >> 3;
    std::vector<uint8_t> big(8);
    SzddMagic(big.data());
    big.push_back(kSzddModeA);
    big.push_back(0);
    for (int i = 0; i < 4; ++i)
        big.push_back(uint8_t((groups * 8) >> (8 * i)));
    big.reserve(big.size() + groups * 9);
    std::mt19937 rng(11);
    for (size_t g = 0; g < groups; ++g) {
        big.push_back(0xFF);
        for (int k = 0; k < 8; ++k)
            big.push_back(uint8_t(0x80 | (rng() & 0x7F)));
    }
    ASSERT_TRUE(WriteWholeFile(dir_ / "payload" / "ovra32.exe", big));
    std::vector<uint8_t>().swap(big);
    ToolRun r = Mksetup("build --stub stub.exe --out setup.exe payload", "ulimit -v 200000;", "timeout 60");
    ASSERT_EQ(r.status, 0) << r.err;
    ToolRun list = Mksetup("list setup.exe");
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find(" " + std::to_string(kSzddHeaderSize + groups * 9) + " "), std::string::npos)
        << "not kept as it is: " << list.out;
}

// Messages say what is wrong, and "--" ends the options.
TEST_F(MksetupCli, MessagesNameTheProblem)
{
    ASSERT_EQ(Mksetup("compress payload/guide.txt guide.tx_").status, 0);
    std::string packed = ReadWholeText(dir_ / "guide.tx_");
    ASSERT_TRUE(WriteWholeFile(dir_ / "cut.tx_", packed.substr(0, packed.size() - 10)));
    struct Case {
        const char *name;
        std::string args;
        const char *message;
    };
    const Case cases[] = {
        {"expand a cut file", "expand cut.tx_ o", "ends before the length its header states"},
        {"payload folder that does not exist", "build --stub stub.exe --out o nothere",
         "payload folder 'nothere' does not exist"},
        {"output is a folder", "build --stub stub.exe --out payload payload", "is a folder"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun r = Mksetup(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "o"));
    }
    fs::rename(dir_ / "payload", dir_ / "-payload");
    ToolRun r = Mksetup("build --stub stub.exe --out o.exe -- -payload");
    EXPECT_EQ(r.status, 0) << r.err;
}

// A payload file of SZDD streams back to back is refused, not cut to its first.
TEST_F(MksetupCli, ConcatenatedStreamsAreRefusedNotCut)
{
    ASSERT_EQ(Mksetup("compress payload/guide.txt a.tx_").status, 0);
    ASSERT_EQ(Mksetup("compress payload/hosts.ini b.tx_").status, 0);
    ASSERT_EQ(Sh("cat a.tx_ b.tx_ a.tx_ > payload/guide.txt"), 0);
    ToolRun r = Mksetup("build --stub stub.exe --out setup.exe payload");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("guide.txt: it holds a compressed file of"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "setup.exe"));
}

// Other files that hold a compressed file inside their data (a tar of one, the
// built installer itself) are items like any other: the letters inside them are
// kept out of the stored encoding, and extract gives every byte back.
TEST_F(MksetupCli, ItemsHoldingCompressedFilesInsideTheirData)
{
    ASSERT_EQ(Mksetup("compress payload/menus.ini menus.in_").status, 0);
    ASSERT_EQ(Sh("tar -cf inner.tar menus.in_"), 0);
    ASSERT_EQ(Mksetup("build --stub stub.exe --out first.exe payload").status, 0);
    struct Case {
        const char *what;
        const char *file;
    };
    const Case cases[] = {{"a tar holding one compressed file", "inner.tar"},
                          {"an installer built before", "first.exe"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_ / "items");
        fs::copy(dir_ / "payload", dir_ / "items");
        fs::copy_file(dir_ / c.file, dir_ / "items" / "guide.txt", fs::copy_options::overwrite_existing);
        ToolRun build = Mksetup("build --stub stub.exe --out setup.exe items");
        ASSERT_EQ(build.status, 0) << build.err;
        ToolRun list = Mksetup("list setup.exe");
        EXPECT_EQ(list.status, 0) << list.err;
        ExpectExtractMatches("setup.exe", dir_ / "items");
        fs::remove(dir_ / "setup.exe");
    }
}

// The eleven files are all written out before any is renamed, and an earlier
// file is replaced only when every one can be: a disk that fills up part-way
// leaves the earlier files as they were and nothing else.
TEST_F(MksetupCli, ExtractKeepsEarlierFilesWhenTheDiskFills)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a full disk is a tmpfs mount here, which needs root";
    ASSERT_EQ(Mksetup("build --stub stub.exe --out good.exe payload").status, 0);
    SmallDisk disk(dir_ / "small", "64k");
    ASSERT_TRUE(disk.mounted());
    fs::create_directories(dir_ / "small" / "x");
    ASSERT_TRUE(WriteWholeFile(dir_ / "small" / "x" / "ovra32.exe", std::string("earlier program")));
    ASSERT_TRUE(WriteWholeFile(dir_ / "small" / "x" / "ovaux32.exe", std::string("earlier helper")));
    // Fill the disk, then free three pages: room for a few items, not eleven.
    Sh("cat /dev/zero > small/filler 2>/dev/null");
    ASSERT_EQ(Sh("truncate -s -12288 small/filler"), 0);
    ToolRun r = Mksetup("extract good.exe small/x");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("No space left on device; no file was extracted"), std::string::npos) << r.err;
    EXPECT_EQ(ReadWholeText(dir_ / "small" / "x" / "ovra32.exe"), "earlier program");
    EXPECT_EQ(ReadWholeText(dir_ / "small" / "x" / "ovaux32.exe"), "earlier helper");
    std::vector<std::string> left;
    for (const auto &entry : fs::directory_iterator(dir_ / "small" / "x"))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"ovaux32.exe", "ovra32.exe"}));
    // With room again, the same extraction replaces both.
    fs::remove(dir_ / "small" / "filler");
    ToolRun again = Mksetup("extract good.exe small/x");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(ReadWholeText(dir_ / "small" / "x" / "ovra32.exe"), ReadWholeText(dir_ / "payload" / "ovra32.exe"));
}

// Out of memory is one line naming the input and what it needed, exit 1, and no
// temporary file; a file that grows while read is refused, not followed.
TEST_F(MksetupCli, OutOfMemoryNamesTheInput)
{
    // Holding the 300 MB input fits in 500 MB of address space; compressing it does not.
    ASSERT_EQ(Sh("truncate -s 300M big.bin && cp --sparse=always big.bin payload/ovra32.exe"), 0);
    struct Case {
        const char *name;
        std::string args;
        const char *limits;
        const char *message;
        const char *output;
    };
    const Case cases[] = {
        {"compress", "compress big.bin o", "ulimit -v 500000;",
         "not enough memory to compress 'big.bin': its 314572800 bytes need about", "o"},
        {"build", "build --stub stub.exe --out o.exe payload", "ulimit -v 500000;",
         "not enough memory to encode 'payload/ovra32.exe': its 314572800 bytes need about", "o.exe"},
        // Its size says 0 bytes and reading gives more.
        {"a file that grows while read", "compress /proc/self/status o", "", "grew past its 0 bytes", "o"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun r = Mksetup(c.args, c.limits, "timeout 120");
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / c.output));
        for (const auto &entry : fs::directory_iterator(dir_))
            EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
    }
}

// A stub that list and extract would refuse in the installer is refused by the
// build: sections past the stub's end, or past the 16 MiB they read headers from.
TEST_F(MksetupCli, BuildRefusesStubsThatListRefuses)
{
    auto withThirdSection = [](uint32_t rawOffset, size_t fileSize) {
        std::vector<uint8_t> stub = packer_fixture::MakeStub();
        size_t table = 0x40 + 24 + 0xE0;
        packer_fixture::PutLe(stub, 0x46, 3, 2);
        std::memcpy(&stub[table + 80], ".data", 5);
        packer_fixture::PutLe(stub, table + 80 + 8, 0x200, 4);
        packer_fixture::PutLe(stub, table + 80 + 16, 0x200, 4);
        packer_fixture::PutLe(stub, table + 80 + 20, rawOffset, 4);
        stub.resize(fileSize, 0);
        return stub;
    };
    struct Case {
        const char *name;
        std::vector<uint8_t> stub;
        const char *message;
    };
    const Case cases[] = {
        {"cut short", withThirdSection(0x600, 0x600), "section .data outside the file"},
        {"a section past 16 MiB", withThirdSection(0x1000000, 0x1000200), "past the first 16 MiB"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteWholeFile(dir_ / "odd.exe", c.stub));
        ToolRun r = Mksetup("build --stub odd.exe --out o.exe payload");
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err.rfind("mksetup: stub: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "o.exe"));
    }
    // The same stub whole (the third section inside it) builds one that list accepts.
    ASSERT_TRUE(WriteWholeFile(dir_ / "odd.exe", withThirdSection(0x600, 0x800)));
    ASSERT_EQ(Mksetup("build --stub odd.exe --out o.exe payload").status, 0);
    EXPECT_EQ(Mksetup("list o.exe").status, 0);
}

// "--" ends the options for every command; after it "-h" and "--help" are names.
// An option given twice is refused.
TEST_F(MksetupCli, OptionsEndAtDoubleDash)
{
    ASSERT_TRUE(WriteWholeFile(dir_ / "-h", std::string("a file called -h")));
    ASSERT_TRUE(WriteWholeFile(dir_ / "--help", std::string("a file called --help")));
    ASSERT_EQ(Mksetup("build --stub stub.exe --out setup.exe payload").status, 0);
    struct Case {
        const char *name;
        std::string args;
        const char *output;
    };
    const Case cases[] = {
        {"compress", "compress -- payload/guide.txt g.z", "g.z"},
        {"expand", "expand -- g.z g.txt", "g.txt"},
        {"extract", "extract -- setup.exe x", "x/guide.txt"},
        {"list", "list -- setup.exe", ""},
        {"a file called -h", "compress -- -h h.z", "h.z"},
        {"a file called --help", "compress -- --help help.z", "help.z"},
        {"a file called -h as the output", "compress -- payload/guide.txt -h", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun r = Mksetup(c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find("usage:"), std::string::npos) << r.out;
        if (*c.output) {
            EXPECT_TRUE(fs::exists(dir_ / c.output));
        }
    }
    EXPECT_EQ(ReadWholeText(dir_ / "g.txt"), ReadWholeText(dir_ / "payload" / "guide.txt"));
    ASSERT_EQ(Mksetup("expand h.z h.txt").status, 0);
    EXPECT_EQ(ReadWholeText(dir_ / "h.txt"), "a file called -h");

    const Case twice[] = {
        {"--out twice", "build --stub stub.exe --out a.exe --out b.exe payload", "--out given twice"},
        {"--stub twice", "build --stub stub.exe --stub stub.exe --out a.exe payload", "--stub given twice"},
    };
    for (const Case &c : twice) {
        SCOPED_TRACE(c.name);
        ToolRun r = Mksetup(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.output), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "a.exe"));
        EXPECT_FALSE(fs::exists(dir_ / "b.exe"));
    }
}

// Output names up to the longest a folder takes work: the temporary name is
// cut short to fit beside them.
TEST_F(MksetupCli, LongOutputNames)
{
    for (size_t length : {241u, 248u, 255u}) {
        SCOPED_TRACE(length);
        std::string name(length - 2, 'n');
        for (const std::string &args :
             {"compress payload/guide.txt " + name + ".z", "build --stub stub.exe --out " + name + ".x payload"}) {
            SCOPED_TRACE(args);
            ToolRun r = Mksetup(args);
            EXPECT_EQ(r.status, 0) << r.err;
        }
        EXPECT_TRUE(fs::exists(dir_ / (name + ".z")));
        EXPECT_TRUE(fs::exists(dir_ / (name + ".x")));
        // Again over the existing ones.
        EXPECT_EQ(Mksetup("compress payload/guide.txt " + name + ".z").status, 0);
    }
    for (const auto &entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().find(".partial"), std::string::npos) << entry.path();
}

// Names reach messages with their control and escape bytes shown, never raw.
TEST_F(MksetupCli, MessagesShowControlBytesEscaped)
{
    struct Case {
        const char *name;
        std::string args;
        const char *shown;
    };
    const Case cases[] = {
        {"escape sequence", "compress \"$(printf 'in\\033[2Jname')\" o", "'in\\x1B[2Jname'"},
        {"line break", "list \"$(printf 'two\\nlines')\"", "'two\\x0Alines'"},
        {"C1 control as UTF-8", "expand \"$(printf 'a\\302\\233b')\" o", "'a\\xC2\\x9Bb'"},
        {"UTF-8 letters stay", "list \"$(printf 'caf\\303\\251')\"", "'caf\xC3\xA9'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun r = Mksetup(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.find('\033'), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.shown), std::string::npos) << r.err;
    }
}

// Eleven files named after the table but in another order (the shell's sorted
// payload/*) are refused with the order to give; a folder finds each name.
TEST_F(MksetupCli, FilesInAnotherOrderThanTheTable)
{
    std::vector<std::string> names;
    for (int i = 0; i < kPayloadItemCount; ++i)
        names.push_back(PayloadItemName(i));
    std::sort(names.begin(), names.end());
    std::string files;
    for (const std::string &n : names)
        files += " payload/" + n;
    ToolRun r = Mksetup("build --stub stub.exe --out o.exe" + files);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("'payload/" + names[0] + "' is given as item 1 (ovra32.exe)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("in this order: ovra32.exe ovaux32.exe ovra.hlp"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "o.exe"));
    // Files under other names are taken in the order given.
    fs::create_directories(dir_ / "renamed");
    std::string renamed;
    for (int i = 0; i < kPayloadItemCount; ++i) {
        std::string to = "renamed/item" + std::to_string(i);
        fs::copy_file(dir_ / "payload" / PayloadItemName(i), dir_ / to);
        renamed += " " + to;
    }
    EXPECT_EQ(Mksetup("build --stub stub.exe --out o.exe" + renamed).status, 0);
}

// Each refusal is one line naming the cause and what to do, exit status 2 when
// the command line itself is wrong and 1 for any other failure, and nothing on
// standard output before it.
TEST_F(MksetupCli, RefusalsSayWhatToDo)
{
    std::string ten;
    for (int i = 0; i < kPayloadItemCount - 1; ++i)
        ten += std::string(" payload/") + PayloadItemName(i);
    fs::create_directories(dir_ / "outdir");
    fs::copy(dir_ / "payload", dir_ / "upper");
    fs::rename(dir_ / "upper" / "ovra32.exe", dir_ / "upper" / "OVRA32.EXE");
    fs::rename(dir_ / "upper" / "hosts.ini", dir_ / "upper" / "Hosts.ini");
    fs::copy(dir_ / "payload", dir_ / "short");
    fs::remove(dir_ / "short" / "ovra.ini");
    fs::remove(dir_ / "short" / "links.ini");
    ASSERT_EQ(Mksetup("build --stub stub.exe --out built.exe payload").status, 0);
    packer_fixture::StubShape other;
    other.sectionName = ".rsrc";
    ASSERT_TRUE(WriteWholeFile(dir_ / "other.exe", packer_fixture::MakeStub(other)));
    const std::string notAStub = "is not a setup32 installer program; give --stub the setup32-stub.exe that comes "
                                 "with mksetup, or leave --stub out to use the installed one";
    struct Case {
        const char *name;
        std::string args;
        int status;
        std::string line;    // after "mksetup: "
        const char *output;  // must not exist afterwards
    };
    const Case cases[] = {
        // The command line.
        {"no command", "", 2, "no command (see 'mksetup --help')", ""},
        {"unknown command", "pack payload", 2, "unknown command 'pack' (see 'mksetup --help')", ""},
        {"an option where the command goes", "-x", 2, "unknown option '-x' (see 'mksetup --help')", ""},
        {"unknown option", "build --frob --stub stub.exe --out o.exe payload", 2,
         "unknown option '--frob' (see 'mksetup build --help')", "o.exe"},
        {"an option another command takes", "list --force setup.exe", 2,
         "unknown option '--force' (see 'mksetup list --help')", ""},
        {"--out missing", "build --stub stub.exe payload", 2, "--out is required (see 'mksetup build --help')", ""},
        {"--out without its value", "build --stub stub.exe payload --out", 2,
         "--out needs a value (see 'mksetup build --help')", ""},
        {"--quiet twice", "build --quiet --quiet --stub stub.exe --out o.exe payload", 2,
         "--quiet given twice (see 'mksetup build --help')", "o.exe"},
        {"two installers to list", "list a.exe b.exe", 2, "expected one INSTALLER (see 'mksetup list --help')", ""},
        {"compress without OUT", "compress payload/guide.txt", 2, "expected IN and OUT (see 'mksetup compress --help')",
         ""},
        {"ten files", "build --stub stub.exe --out o.exe" + ten, 2,
         "expected a folder or 11 files in table order, got 10 files: links.ini is missing "
         "(see 'mksetup build --help')",
         "o.exe"},
        // Failures.
        {"output in a folder that does not exist", "build --stub stub.exe --out nodir/o.exe payload", 1,
         "cannot write 'nodir/o.exe': the folder 'nodir' does not exist (make it first, or write elsewhere)", "nodir"},
        {"compressed file in a folder that does not exist", "compress payload/guide.txt nodir/g.tx_", 1,
         "cannot write 'nodir/g.tx_': the folder 'nodir' does not exist (make it first, or write elsewhere)", "nodir"},
        {"output inside a file", "build --stub stub.exe --out stub.exe/o.exe payload", 1,
         "cannot write 'stub.exe/o.exe': 'stub.exe' is not a folder", ""},
        {"a folder as the output", "build --stub stub.exe --out outdir payload", 1,
         "cannot write 'outdir': it is a folder; to write the installer into it, give --out outdir/setup32.exe",
         "outdir/setup32.exe"},
        {"names that differ only in case", "build --stub stub.exe --out o.exe upper", 1,
         "the payload folder 'upper' has names that differ from the table's only in case: OVRA32.EXE (ovra32.exe) "
         "and Hosts.ini (hosts.ini); rename them as the table spells the names",
         "o.exe"},
        {"names missing from the folder", "build --stub stub.exe --out o.exe short", 1,
         "the payload folder 'short' has no ovra.ini and links.ini; it must hold all eleven: ovra32.exe "
         "ovaux32.exe ovra.hlp netintro.hlp guide.txt changes.txt ovra.ini macros.ini menus.ini hosts.ini links.ini",
         "o.exe"},
        {"a text file as the stub", "build --stub payload/guide.txt --out o.exe payload", 1,
         "stub: 'payload/guide.txt' " + notAStub, "o.exe"},
        {"a program without the checksum slot as the stub", "build --stub other.exe --out o.exe payload", 1,
         "stub: 'other.exe' " + notAStub, "o.exe"},
        {"an installer as the stub", "build --stub built.exe --out o.exe payload", 1,
         "stub: 'built.exe' is an installer with its payload, not the installer program alone; give --stub the "
         "setup32-stub.exe that comes with mksetup, or leave --stub out to use the installed one",
         "o.exe"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun r = Mksetup(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err, "mksetup: " + c.line + "\n");
        EXPECT_EQ(r.out, "");
        if (*c.output)
            EXPECT_FALSE(fs::exists(dir_ / c.output));
    }
    // A file that is no installer gets no table before the refusal.
    ToolRun list = Mksetup("list payload/guide.txt");
    EXPECT_EQ(list.status, 1);
    EXPECT_EQ(list.out, "");
    EXPECT_NE(list.err.find("not a sound installer"), std::string::npos) << list.err;
    // Nor does a build without --stub name the installer program it would have used.
    ToolRun build = Mksetup("build --out o.exe upper");
    EXPECT_EQ(build.status, 1) << build.err;
    EXPECT_EQ(build.out, "");
}

// A read-only output is replaced only with --force; a replaced output keeps its
// mode (and, for root, its owner).
TEST_F(MksetupCli, ReplacedOutputsKeepTheirMode)
{
    ASSERT_EQ(Mksetup("build --stub stub.exe --out setup.exe payload").status, 0);
    auto modeOf = [](const fs::path &p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 ? unsigned(st.st_mode & 07777) : 0u;
    };
    ASSERT_TRUE(WriteWholeFile(dir_ / "ro.z", std::string("earlier")));
    ::chmod((dir_ / "ro.z").c_str(), 0444);
    fs::create_directories(dir_ / "x");
    ASSERT_TRUE(WriteWholeFile(dir_ / "x" / "guide.txt", std::string("earlier guide")));
    ::chmod((dir_ / "x" / "guide.txt").c_str(), 0400);
    struct Case {
        const char *name;
        std::string args;
        const char *target;
    };
    const Case cases[] = {
        {"compress", "compress payload/guide.txt ro.z", "ro.z"},
        {"extract", "extract setup.exe x", "x/guide.txt"},
        {"build", "build --stub stub.exe --out ro.z payload", "ro.z"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string before = ReadWholeText(dir_ / c.target);
        unsigned mode = modeOf(dir_ / c.target);
        ToolRun r = Mksetup(c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("it is read-only (--force replaces it)"), std::string::npos) << r.err;
        EXPECT_EQ(ReadWholeText(dir_ / c.target), before);
        r = Mksetup(std::string(c.args).insert(std::string(c.args).find(' '), " --force"));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(ReadWholeText(dir_ / c.target), before);
        EXPECT_EQ(modeOf(dir_ / c.target), mode);
    }
    ASSERT_TRUE(WriteWholeFile(dir_ / "shared.z", std::string("earlier")));
    ::chmod((dir_ / "shared.z").c_str(), 0640);
    bool otherOwner = ::geteuid() == 0 && ::chown((dir_ / "shared.z").c_str(), 65534, 65534) == 0;
    ASSERT_EQ(Mksetup("compress payload/guide.txt shared.z").status, 0);
    EXPECT_EQ(modeOf(dir_ / "shared.z"), 0640u);
    if (otherOwner) {
        struct stat st;
        ASSERT_EQ(::stat((dir_ / "shared.z").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
}

// Ctrl-C, SIGTERM or SIGHUP in the middle of a build or an extraction: the tool
// removes what it had not finished, puts back what extract had replaced, says so
// in one line and exits 128 + the signal; the earlier output stays as it was.
TEST_F(MksetupCli, InterruptionLeavesNothingBehind)
{
    // A large, poorly compressible main program: the build takes a few seconds.
    ASSERT_EQ(Sh("head -c 15000000 /dev/urandom | base64 > payload/ovra32.exe"), 0);
    ASSERT_TRUE(WriteWholeFile(dir_ / "setup.exe", std::string("the earlier installer")));
    auto Interrupt = [&](const std::string &args, const std::string &partials, const char *signal) {
        // The signal goes once the temporary file exists, so the tool is mid-work.
        std::string script = "{ '" + tool_ + "' " + args +
                             " >out.txt 2>err.txt & pid=$!; "
                             "for i in $(seq 2000); do ls " +
                             partials +
                             " >/dev/null 2>&1 && break; sleep 0.005; done; "
                             "kill -" +
                             signal + " $pid; wait $pid; echo $? >rc.txt; }";
        Sh(script);
        ToolRun r{std::stoi(ReadWholeText(dir_ / "rc.txt")), ReadWholeText(dir_ / "out.txt"),
                  ReadWholeText(dir_ / "err.txt")};
        fs::remove(dir_ / "rc.txt");
        return r;
    };
    const struct {
        const char *signal;
        int status;
    } cases[] = {{"INT", 130}, {"TERM", 143}, {"HUP", 129}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.signal);
        ToolRun r = Interrupt("build --stub stub.exe --out setup.exe payload", "setup.exe.partial-*", c.signal);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err,
                  std::string("mksetup: interrupted by SIG") + c.signal + "; nothing unfinished was left behind\n");
        EXPECT_EQ(ReadWholeText(dir_ / "setup.exe"), "the earlier installer");
        EXPECT_EQ(Leftovers(dir_), "");
    }

    // An extraction over the user's earlier files, stopped while it writes.
    ASSERT_EQ(Mksetup("build --stub stub.exe --out big.exe payload").status, 0);
    fs::create_directories(dir_ / "mine");
    for (int i = 0; i < kPayloadItemCount; ++i)
        ASSERT_TRUE(WriteWholeFile(dir_ / "mine" / PayloadItemName(i), std::string("mine ") + PayloadItemName(i)));
    ToolRun r = Interrupt("extract big.exe mine", "mine/*.partial-*", "INT");
    EXPECT_EQ(r.status, 130) << r.err;
    for (int i = 0; i < kPayloadItemCount; ++i)
        EXPECT_EQ(ReadWholeText(dir_ / "mine" / PayloadItemName(i)), std::string("mine ") + PayloadItemName(i))
            << PayloadItemName(i);
    EXPECT_EQ(Leftovers(dir_ / "mine"), "");
}

}  // namespace
