// The codec against programs written elsewhere: msexpand and libmspack must
// decode what we compress, and we must decode what mscompress writes.
#include "packer/compressor/compressor.h"
#include "packer/szdd_memory.h"
#include "tests/test_data.h"
#include "tests/test_files.h"

#include <gtest/gtest.h>
#include <mspack.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>

namespace {

std::vector<Sample> Corpus()
{
    std::string ini;
    for (int i = 0; i < 60; ++i)
        ini += "[server" + std::to_string(i) + "]\r\nhost=chat" + std::to_string(i % 7) +
               ".example.net\r\nport=7300\r\n\r\n";
    std::vector<Sample> corpus = {
        {"empty", {}},
        {"one byte", {'x'}},
        {"fifteen bytes", Repeat("abcde", 15)},
        {"spaces", Repeat(" ", 3000)},
        {"zeros", std::vector<uint8_t>(9000, 0)},
        {"ini text", std::vector<uint8_t>(ini.begin(), ini.end())},
        {"period 5 across the window", Repeat("ovra ", 12000)},
        {"random", Random(20000, 1)},
        {"small alphabet", Random(20000, 2, 4)},
    };
    // A real program from this machine, when one is there.
    for (const char *path : {"/usr/bin/msexpand", "/bin/ls"}) {
        auto bin = ReadWholeFile(path);
        if (!bin.empty()) {
            corpus.push_back({path, bin});
            break;
        }
    }
    return corpus;
}

struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/szdd_peers_XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir()
    {
        if (!path.empty())
            (void)std::system(("rm -rf '" + path + "'").c_str());
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

int RunShell(const std::string &command) { return std::system(command.c_str()); }

std::vector<uint8_t> ExpandWithLibmspack(const std::string &in, const std::string &out)
{
    msszdd_decompressor *d = mspack_create_szdd_decompressor(nullptr);
    EXPECT_NE(nullptr, d);
    if (d == nullptr)
        return {};
    int err = d->decompress(d, in.c_str(), out.c_str());
    mspack_destroy_szdd_decompressor(d);
    EXPECT_EQ(MSPACK_ERR_OK, err);
    return ReadWholeFile(out);
}

TEST(SzddPeers, ToolsArePresent)
{
    // The peers come from the mscompress package; without them the tests
    // below would say nothing.
    EXPECT_EQ(0, RunShell("command -v msexpand >/dev/null && command -v mscompress >/dev/null"))
        << "install the mscompress package (scripts/setup.sh)";
}

TEST(SzddPeers, MsexpandAndLibmspackDecodeOurFiles)
{
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    for (const Sample &s : Corpus()) {
        SCOPED_TRACE(s.name);
        std::vector<uint8_t> packed;
        ASSERT_TRUE(SzddCompress(s.data.data(), s.data.size(), packed));
        ASSERT_TRUE(WriteWholeFile(dir / "item.bin_", packed));

        ASSERT_EQ(0, RunShell("msexpand < '" + (dir / "item.bin_") + "' > '" + (dir / "msexpand.out") + "'"));
        EXPECT_TRUE(ReadWholeFile(dir / "msexpand.out") == s.data);
        EXPECT_TRUE(ExpandWithLibmspack(dir / "item.bin_", dir / "mspack.out") == s.data);
    }
}

TEST(SzddPeers, WeDecodeMscompressFilesAndAreNeverLarger)
{
    TempDir dir;
    ASSERT_FALSE(dir.path.empty());
    for (const Sample &s : Corpus()) {
        if (s.data.size() < 16)
            continue;  // mscompress 0.4 writes broken files for these
        SCOPED_TRACE(s.name);
        ASSERT_TRUE(WriteWholeFile(dir / "item.bin", s.data));
        ASSERT_EQ(0, RunShell("cd '" + dir.path + "' && rm -f item.bin_ && mscompress item.bin"));
        auto theirs = ReadWholeFile(dir / "item.bin_");
        ASSERT_GE(theirs.size(), kSzddHeaderSize);

        std::vector<uint8_t> back;
        EXPECT_EQ(long(s.data.size()), SzddExpandBuffer(theirs.data(), theirs.size(), back));
        EXPECT_TRUE(back == s.data);

        std::vector<uint8_t> ours;
        ASSERT_TRUE(SzddCompress(s.data.data(), s.data.size(), ours));
        EXPECT_LE(ours.size(), theirs.size());
    }
}

}  // namespace
