// What `mksetup build` says as it works: each item as it is packed, a live
// percentage for large items on a terminal (checked on a pseudo-terminal), the
// summary, nothing with --quiet, and the notes a publisher should read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pty.h>
#include <random>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "format/payload.h"
#include "packer/compressor/compressor.h"
#include "tests/mksetup_run.h"
#include "tests/packer_fixture.h"
#include "tests/test_files.h"

namespace fs = std::filesystem;

namespace {

// Words drawn at random: compresses as text does, and slowly enough at a few MB
// for the live percentage to move.
std::string Words(size_t size, unsigned seed)
{
    static const char *const words[] = {"nick ", "server ", "channel ", "ovra ", "host ", "\n", "join ", "part "};
    std::mt19937 rng(seed);
    std::string text;
    while (text.size() < size)
        text += words[rng() % 8];
    text.resize(size);
    return text;
}

class MksetupProgress : public MksetupFolderTest {
protected:
    void SetUp() override { MakeFolder("mksetup_progress"); }

    // On a pseudo-terminal: standard error always, standard output too unless
    // outToFile, when it goes to out.txt. Line ends on the screen are "\r\n".
    ToolRun OnTerminal(const std::vector<std::string> &args, bool outToFile)
    {
        std::vector<std::string> words = {tool_};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        std::string outPath = (dir_ / "out.txt").string();
        int terminal = -1;
        pid_t pid = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        if (pid == 0) {
            if (::chdir(dir_.c_str()) != 0)
                ::_exit(126);
            if (outToFile) {
                int fd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd < 0 || ::dup2(fd, 1) < 0)
                    ::_exit(126);
            }
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ToolRun r{-1, "", ""};
        if (pid < 0)
            return r;
        std::string screen;
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(terminal, buf, sizeof buf);
            if (n > 0)
                screen.append(buf, size_t(n));
            else if (n < 0 && errno == EINTR)
                continue;
            else
                break;  // EIO once the program has ended and the terminal is closed
        }
        ::close(terminal);
        int raw = 0;
        ::waitpid(pid, &raw, 0);
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        if (outToFile) {
            r.out = ReadWholeText(dir_ / "out.txt");
            r.err = screen;
        } else {
            r.out = screen;
        }
        return r;
    }
};

// The item lines of a build's output, in order: name, bytes in, bytes stored.
struct ItemLine {
    std::string name;
    unsigned long long in;
    unsigned long long stored;
};
std::vector<ItemLine> ItemLines(const std::string &out)
{
    std::vector<ItemLine> lines;
    std::regex line(R"((?:^|\n)(\S+) +(\d+) bytes -> +(\d+) stored[^\n]*)");
    for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
        lines.push_back({(*it)[1], std::stoull((*it)[2]), std::stoull((*it)[3])});
    return lines;
}

TEST_F(MksetupProgress, ItemsAndSummaryOffATerminal)
{
    unsigned long long totalIn = 0;
    for (int i = 0; i < kPayloadItemCount; ++i)
        totalIn += fs::file_size(dir_ / "payload" / PayloadItemName(i));
    ToolRun r = Mksetup("build --stub stub.exe --out setup.exe payload");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");  // no live percentage, nothing else
    std::vector<ItemLine> items = ItemLines(r.out);
    ASSERT_EQ(items.size(), size_t(kPayloadItemCount)) << r.out;
    unsigned long long stored = 0;
    for (int i = 0; i < kPayloadItemCount; ++i) {
        EXPECT_EQ(items[i].name, PayloadItemName(i));
        EXPECT_EQ(items[i].in, fs::file_size(dir_ / "payload" / PayloadItemName(i)));
        stored += items[i].stored;
    }
    // The items are stored back to back after the program, with the tail (and
    // at most one alignment byte each) besides.
    unsigned long long size = fs::file_size(dir_ / "setup.exe");
    EXPECT_GE(size, 0x600 + stored + 8);
    EXPECT_LE(size, 0x600 + stored + 8 + 12);
    std::smatch summary;
    ASSERT_TRUE(
        std::regex_search(r.out, summary, std::regex(R"(\n11 items: (\d+) bytes in, (\d+) stored \((\d+)\.(\d)%\)\n)")))
        << r.out;
    EXPECT_EQ(std::stoull(summary[1]), totalIn);
    EXPECT_EQ(std::stoull(summary[2]), stored);
    EXPECT_EQ(std::stoull(summary[3]) * 10 + std::stoull(summary[4]), stored * 1000 / totalIn);
    // The same inputs give the same output, line for line.
    EXPECT_EQ(Mksetup("build --stub stub.exe --out setup.exe payload").out, r.out);

    ToolRun quiet = Mksetup("build --quiet --stub stub.exe --out quiet.exe payload");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(ReadWholeText(dir_ / "quiet.exe"), ReadWholeText(dir_ / "setup.exe"));
}

TEST_F(MksetupProgress, LivePercentageOnATerminal)
{
    ASSERT_TRUE(WriteWholeFile(dir_ / "payload" / "ovra32.exe", Words(2 << 20, 1)));
    const std::string live = R"(\rovra32\.exe +2097152 bytes -> +(\d+)%)";

    // Both streams on the terminal: the percentage moves, is wiped, and the item
    // line and a summary with the time follow.
    ToolRun both = OnTerminal({"build", "--stub", "stub.exe", "--out", "setup.exe", "payload"}, false);
    ASSERT_EQ(both.status, 0) << both.out;
    std::vector<int> seen;
    std::regex liveLine(live);
    for (std::sregex_iterator it(both.out.begin(), both.out.end(), liveLine), end; it != end; ++it)
        seen.push_back(std::stoi((*it)[1]));
    ASSERT_GE(seen.size(), 3u) << both.out;
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_LE(seen.back(), 100);
    EXPECT_TRUE(std::regex_search(both.out, std::regex(R"(%\r +\rovra32\.exe +2097152 bytes -> +\d+ stored\r\n)")))
        << both.out;
    EXPECT_TRUE(std::regex_search(
        both.out, std::regex(R"(\r\n11 items: \d+ bytes in, \d+ stored \(\d+\.\d%\) in \d+\.\d s\r\n)")))
        << both.out;
    // Only the large item has a live line.
    EXPECT_EQ(both.out.find("\rguide.txt"), std::string::npos);

    // Standard output in a file: the percentage stays on the terminal (standard
    // error), and the file has the lines without it, and without the time.
    ToolRun split = OnTerminal({"build", "--stub", "stub.exe", "--out", "setup.exe", "payload"}, true);
    ASSERT_EQ(split.status, 0) << split.err;
    EXPECT_TRUE(std::regex_search(split.err, std::regex(live))) << split.err;
    EXPECT_EQ(split.err.find("stored"), std::string::npos) << split.err;
    EXPECT_EQ(split.out.find('\r'), std::string::npos);
    EXPECT_EQ(std::count(split.out.begin(), split.out.end(), '%'), 1) << split.out;  // the summary's ratio
    EXPECT_EQ(ItemLines(split.out).size(), size_t(kPayloadItemCount)) << split.out;
    EXPECT_TRUE(std::regex_search(split.out, std::regex(R"(\n11 items: \d+ bytes in, \d+ stored \(\d+\.\d%\)\n)")))
        << split.out;

    // --quiet: nothing at all, on the terminal too.
    ToolRun quiet = OnTerminal({"build", "--quiet", "--stub", "stub.exe", "--out", "setup.exe", "payload"}, false);
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, "");

    // A refusal on the terminal is its one line, no percentage or item before it.
    ToolRun refused = OnTerminal({"build", "--stub", "payload/guide.txt", "--out", "o.exe", "payload"}, false);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out.rfind("mksetup: stub: ", 0), 0u) << refused.out;
    EXPECT_EQ(std::count(refused.out.begin(), refused.out.end(), '\n'), 1) << refused.out;
}

// Files in the payload folder that are not among the eleven are named once, as
// left out. Keeping the item marker out of an item is said only when it cost
// something worth saying: a byte or two is not.
TEST_F(MksetupProgress, NotesAPublisherShouldRead)
{
    ASSERT_TRUE(WriteWholeFile(dir_ / "payload" / "README.txt", std::string("not an item")));
    fs::create_directories(dir_ / "payload" / "old");
    // Compressed files at 4 KB intervals inside an item (an archive of many):
    // each spells the marker in the item's smallest form, and each repair costs
    // about a byte. Fourteen hundred of them cost more than a KB.
    auto withCompressedFiles = [](int count) {
        std::vector<uint8_t> data;
        for (int k = 0; k < count; ++k) {
            std::string text = Words(4150, unsigned(k));
            data.insert(data.end(), text.begin(), text.end());
            std::string inner = "[hosts]\nirc=" + std::to_string(k * 7919) + "\n";
            std::vector<uint8_t> packed;
            EXPECT_TRUE(SzddCompress(reinterpret_cast<const uint8_t *>(inner.data()), inner.size(), packed));
            data.insert(data.end(), packed.begin(), packed.end());
        }
        return data;
    };
    ASSERT_TRUE(WriteWholeFile(dir_ / "payload" / "ovra.hlp", withCompressedFiles(1400)));
    ASSERT_TRUE(WriteWholeFile(dir_ / "payload" / "netintro.hlp", withCompressedFiles(3)));

    ToolRun r = Mksetup("build --stub stub.exe --out setup.exe payload");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "mksetup: 'payload' also holds README.txt and old/, which are not among the eleven items: "
                     "they are left out\n");
    std::smatch note;
    ASSERT_TRUE(std::regex_search(
        r.out, note,
        std::regex(
            R"(\novra\.hlp +\d+ bytes -> +\d+ stored, (\d+) bytes more than its smallest form, which spelled the letters the installer finds its files by\n)")))
        << r.out;
    EXPECT_GE(std::stoul(note[1]), 1024u);
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\nnetintro\.hlp +\d+ bytes -> +\d+ stored\n)"))) << r.out;
    EXPECT_EQ(r.out.find("marker"), std::string::npos) << r.out;

    // An item already compressed is said to be kept as it is.
    ASSERT_EQ(Mksetup("compress payload/guide.txt guide.tx_").status, 0);
    fs::copy_file(dir_ / "guide.tx_", dir_ / "payload" / "guide.txt", fs::copy_options::overwrite_existing);
    fs::remove_all(dir_ / "payload" / "old");
    fs::remove(dir_ / "payload" / "README.txt");
    ToolRun kept = Mksetup("build --stub stub.exe --out setup.exe payload");
    ASSERT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(kept.err, "");
    EXPECT_TRUE(std::regex_search(
        kept.out, std::regex(R"(\nguide\.txt +(\d+) bytes -> +\1 stored, as it is \(already compressed\)\n)")))
        << kept.out;
}

}  // namespace
