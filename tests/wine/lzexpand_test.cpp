// Our LZ expansion layer on real files, side by side with the system's LZ32:
// same output up to the header's length, same unchanged copy of plain files,
// and errors where LZ32 quietly writes too much or too little.
#include "engine/lzexpand.h"
#include "packer/compressor/compressor.h"
#include "tests/test_files.h"

#include <gtest/gtest.h>
#include <lzexpand.h>
#include <windows.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

std::string TestDir()
{
    static std::string dir;
    if (dir.empty()) {
        char tmp[MAX_PATH];
        DWORD n = GetTempPathA(MAX_PATH, tmp);
        EXPECT_GT(n, 0u);
        char name[MAX_PATH];
        snprintf(name, sizeof name, "%slzexpand_test_%lu", tmp, GetCurrentProcessId());
        CreateDirectoryA(name, nullptr);
        dir = name;
    }
    return dir;
}

std::string PathOf(const char *name) { return TestDir() + "\\" + name; }

std::vector<uint8_t> SampleContent(size_t n, uint32_t seed)
{
    static const char *words[] = {"[ovra]\r\n", "nick=", "server=", "chat.example.net ", "    ", "7300\r\n", "channel ",
                                  "\0\0\0\0",   "MZ",    "PE\0\0"};
    std::mt19937 rng(seed);
    std::vector<uint8_t> v;
    while (v.size() < n) {
        const char *w = words[rng() % 10];
        size_t len = w[0] ? strlen(w) : 4;
        v.insert(v.end(), w, w + len);
        if (rng() % 5 == 0)
            v.push_back(uint8_t(rng()));
    }
    v.resize(n);
    return v;
}

struct CopyResult {
    LONG result;
    std::vector<uint8_t> output;
};

CopyResult CopyWithOurs(const std::string &source, const std::string &target)
{
    OFSTRUCT a = {}, b = {};
    a.cBytes = b.cBytes = 136;
    INT in = OvraLZOpenFile(source.c_str(), &a, 0);
    INT out = OvraLZOpenFile(target.c_str(), &b, 0x1000);
    EXPECT_GT(in, 0);
    EXPECT_GT(out, 0);
    LONG r = OvraLZCopy(in, out);
    OvraLZClose(in);
    OvraLZClose(out);
    return {r, ReadWholeFile(target)};
}

CopyResult CopyWithSystem(const std::string &source, const std::string &target)
{
    OFSTRUCT a = {}, b = {};
    a.cBytes = b.cBytes = 136;
    INT in = LZOpenFileA(const_cast<LPSTR>(source.c_str()), &a, 0);
    INT out = LZOpenFileA(const_cast<LPSTR>(target.c_str()), &b, 0x1000);
    EXPECT_GE(in, 0);
    EXPECT_GE(out, 0);
    LONG r = LZCopy(in, out);
    LZClose(in);
    LZClose(out);
    return {r, ReadWholeFile(target)};
}

std::vector<uint8_t> Compressed(const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> f;
    EXPECT_TRUE(SzddCompress(data.data(), data.size(), f));
    return f;
}

TEST(OvraLZ, ExpandsItemsLikeTheSystemButStopsAtTheHeaderLength)
{
    struct Case {
        const char *name;
        size_t size;
        size_t trailing;  // alignment bytes or the installer's tail after the item
    };
    const Case cases[] = {
        {"settings file, no trailing bytes", 782, 0},
        {"alignment bytes", 1029, 3},
        {"the installer's tail", 2567, 1663},
        {"larger than the window", 49152, 1},
        {"empty file with tail", 0, 1663},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto data = SampleContent(c.size, uint32_t(c.size));
        auto item = Compressed(data);
        std::mt19937 rng(7);
        for (size_t k = 0; k < c.trailing; ++k)
            item.push_back(k < 43 ? uint8_t(rng()) : 0);
        ASSERT_TRUE(WriteWholeFile(PathOf("item.tmp"), item));

        CopyResult ours = CopyWithOurs(PathOf("item.tmp"), PathOf("ours.out"));
        CopyResult sys = CopyWithSystem(PathOf("item.tmp"), PathOf("system.out"));
        EXPECT_EQ(LONG(data.size()), ours.result);
        EXPECT_TRUE(ours.output == data);
        // The system's output runs on through the trailing bytes; up to the
        // header's length the two agree.
        ASSERT_GE(sys.output.size(), data.size());
        EXPECT_TRUE(std::vector<uint8_t>(sys.output.begin(), sys.output.begin() + long(data.size())) == ours.output);
    }
}

TEST(OvraLZ, PlainSourceIsCopiedUnchangedByBoth)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> data;
    };
    const std::string ini = "[ovra]\r\nnick=guest\r\nserver=chat.example.net\r\n";
    const Case cases[] = {
        {"old settings file", std::vector<uint8_t>(ini.begin(), ini.end())},
        {"empty file", {}},
        {"binary larger than the buffers", SampleContent(30000, 3)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteWholeFile(PathOf("plain.ini"), c.data));
        CopyResult ours = CopyWithOurs(PathOf("plain.ini"), PathOf("ours.out"));
        CopyResult sys = CopyWithSystem(PathOf("plain.ini"), PathOf("system.out"));
        EXPECT_EQ(LONG(c.data.size()), ours.result);
        EXPECT_TRUE(ours.output == c.data);
        EXPECT_TRUE(sys.output == c.data);
    }
}

TEST(OvraLZ, DamagedItemsGiveANegativeResult)
{
    auto data = SampleContent(5000, 11);
    auto item = Compressed(data);
    auto cut = [&](size_t n) { return std::vector<uint8_t>(item.begin(), item.begin() + long(n)); };
    auto badMode = item;
    badMode[8] = 'Q';
    struct Case {
        const char *name;
        std::vector<uint8_t> file;
        LONG expected;
    };
    const Case cases[] = {
        {"data cut short", cut(item.size() / 2), SZDD_ERR_TRUNCATED},
        {"header cut short", cut(11), SZDD_ERR_SHORT_HEADER},
        {"unknown mode", badMode, SZDD_ERR_BAD_MODE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteWholeFile(PathOf("damaged.tmp"), c.file));
        EXPECT_EQ(c.expected, CopyWithOurs(PathOf("damaged.tmp"), PathOf("ours.out")).result);
    }
}

TEST(OvraLZ, OpenAndHandleErrors)
{
    OFSTRUCT rec = {};
    rec.cBytes = 136;
    EXPECT_EQ(-1, OvraLZOpenFile(PathOf("no such file").c_str(), &rec, 0));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, rec.nErrCode);
    EXPECT_EQ(-1, OvraLZOpenFile(PathOf("no such dir\\out.txt").c_str(), &rec, 0x1000));
    EXPECT_EQ(-1, OvraLZOpenFile(PathOf("x").c_str(), &rec, 0x0002));  // a mode we do not offer

    ASSERT_TRUE(WriteWholeFile(PathOf("src.txt"), std::vector<uint8_t>{'a', 'b', 'c'}));
    INT in = OvraLZOpenFile(PathOf("src.txt").c_str(), &rec, 0);
    ASSERT_GT(in, 0);
    EXPECT_STREQ(PathOf("src.txt").c_str(), rec.szPathName);
    INT out = OvraLZOpenFile(PathOf("dst.txt").c_str(), &rec, 0x1000);
    ASSERT_GT(out, 0);
    EXPECT_EQ(SZDD_ERR_BAD_ARGUMENT, OvraLZCopy(out, in));  // directions swapped
    EXPECT_EQ(SZDD_ERR_BAD_ARGUMENT, OvraLZCopy(in, 0));
    EXPECT_EQ(SZDD_ERR_BAD_ARGUMENT, OvraLZCopy(99, out));
    OvraLZClose(in);
    OvraLZClose(out);
    EXPECT_EQ(SZDD_ERR_BAD_ARGUMENT, OvraLZCopy(in, out));  // closed handles
    OvraLZClose(in);                                        // closing twice is harmless

    // Creating truncates an existing file.
    ASSERT_TRUE(WriteWholeFile(PathOf("dst.txt"), std::vector<uint8_t>(100, 'x')));
    EXPECT_EQ(3, CopyWithOurs(PathOf("src.txt"), PathOf("dst.txt")).result);
    EXPECT_EQ(3u, ReadWholeFile(PathOf("dst.txt")).size());

    // Handles are given back on close: many expansions in a row never run out.
    for (int round = 0; round < 50; ++round)
        ASSERT_EQ(3, CopyWithOurs(PathOf("src.txt"), PathOf("dst.txt")).result) << "round " << round;
}

// Removes the files the cases wrote, and their directory.
class TestDirCleanup : public ::testing::Environment {
public:
    void TearDown() override
    {
        for (const char *name :
             {"item.tmp", "ours.out", "system.out", "plain.ini", "damaged.tmp", "src.txt", "dst.txt"})
            DeleteFileA(PathOf(name).c_str());
        RemoveDirectoryA(TestDir().c_str());
    }
};
const ::testing::Environment *const cleanup = ::testing::AddGlobalTestEnvironment(new TestDirCleanup);

}  // namespace
