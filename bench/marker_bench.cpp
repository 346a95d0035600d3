// Items whose data holds the marker letters: the time of a marker-free encoding
// against a plain compression of the same file without the letters, and the
// size it costs. Cases: an installer as a payload item (eleven markers), a 5 MB
// text with one compressed file inside, random data with the letters at each of
// the eight positions in a group.
#include "packer/compressor/compressor.h"
#include "tests/packer_fixture.h"
#include "tests/test_files.h"
#include "packer/installer_writer.h"
#include "packer/szdd_memory.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

namespace {

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The same bytes with every marker spelled in lower case: what a plain
// compression of "the same file without the letters" is timed on.
std::vector<uint8_t> WithoutLetters(std::vector<uint8_t> data)
{
    for (size_t i = 0; i + 4 <= data.size(); ++i)
        if (std::memcmp(&data[i], "SZDD", 4) == 0)
            std::memcpy(&data[i], "szdd", 4);
    return data;
}

bool Run(const std::string &name, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> plain, free;
    std::vector<uint8_t> without = WithoutLetters(data);
    // Small files are timed over several runs (the fastest of each counts), so a
    // millisecond's noise does not decide the ratio.
    int runs = int(std::max<size_t>(1, std::min<size_t>(50, size_t(2000000) / (data.size() + 1))));
    double tPlain = 1e9, tFree = 1e9;
    SzddMarkerFreeReport report;
    SzddMarkerFreeStatus status = SZDD_MARKER_FREE;
    for (int run = 0; run < runs; ++run) {
        auto t0 = std::chrono::steady_clock::now();
        SzddCompress(without.data(), without.size(), plain);
        tPlain = std::min(tPlain, Seconds(t0));
        t0 = std::chrono::steady_clock::now();
        status = SzddCompressMarkerFree(data.data(), data.size(), free, report);
        tFree = std::min(tFree, Seconds(t0));
    }
    const char *verdict = status == SZDD_MARKER_FREE          ? "encoded"
                          : status == SZDD_MARKER_UNAVOIDABLE ? "no encoding exists"
                                                              : "failed";
    std::printf("%-34s %9zu %8.4f %8.4f %6.2fx %9zu %+6ld %7zu %8zu  %s\n", name.c_str(), data.size(), tPlain, tFree,
                tFree / (tPlain > 0 ? tPlain : 1e-9), free.size(), long(free.size()) - long(report.optimalSize),
                report.repairs, report.widest, verdict);
    if (status != SZDD_MARKER_FREE)
        return status == SZDD_MARKER_UNAVOIDABLE;
    std::vector<uint8_t> back;
    return SzddExpandBuffer(free.data(), free.size(), back) == long(data.size()) && back == data;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: marker_bench [INSTALLER...]\n"
                    "Times marker-free encoding against plain compression of the same data without\n"
                    "the letters. A small installer packed from the test fixture, and each INSTALLER\n"
                    "given, is used as an item.\n");
        return 0;
    }
    bool ok = true;
    std::printf("%-34s %9s %8s %8s %7s %9s %6s %7s %8s\n", "case", "bytes", "plain s", "free s", "ratio", "stored",
                "+opt", "repairs", "widest");

    {
        std::vector<uint8_t> installer;
        BuildReport report;
        std::string error;
        if (!BuildInstaller(packer_fixture::MakeStub(), packer_fixture::PayloadTexts(), {}, installer, report, error)) {
            std::fprintf(stderr, "marker_bench: %s\n", error.c_str());
            return 1;
        }
        ok = Run("small installer as an item", installer) && ok;
    }
    for (int a = 1; a < argc; ++a) {
        std::vector<uint8_t> installer = ReadWholeFile(argv[a]);
        if (installer.empty()) {
            std::fprintf(stderr, "marker_bench: cannot read %s\n", argv[a]);
            return 1;
        }
        std::string base = argv[a];
        base = base.substr(base.find_last_of('/') + 1);
        ok = Run(base + " as an item", installer) && ok;
    }

    // 5 MB of text with one compressed file in the middle.
    std::string text;
    std::mt19937 rng(3);
    static const char *const words[] = {"the ",    "installer ", "reads ", "payload ", "items ",  "and ",
                                        "checks ", "sums.\n",    "Ovra ",  "chat ",    "server ", "channel "};
    while (text.size() < 5000000)
        text += words[rng() % 12];
    std::vector<uint8_t> inner;
    SzddCompress(reinterpret_cast<const uint8_t *>(text.data()), 20000, inner);
    {
        std::vector<uint8_t> big(text.begin(), text.end());
        big.insert(big.begin() + 2500000, inner.begin(), inner.end());
        ok = Run("5 MB text, one compressed file", big) && ok;
        // Whether its letters need a repair depends on where they fall in their
        // group; eight copies at different offsets make sure some do.
        for (size_t copy = 1; copy < 8; ++copy)
            big.insert(big.begin() + long(copy * 600000 + copy), inner.begin(), inner.end());
        ok = Run("5 MB text, eight compressed files", big) && ok;
    }

    // Random data with the letters at each alignment, 1 MB.
    std::vector<uint8_t> random(1 << 20);
    for (auto &b : random)
        b = uint8_t(rng());
    for (size_t shift = 0; shift < 8; ++shift) {
        std::vector<uint8_t> data = random;
        std::memcpy(&data[500000 + shift], "SZDD", 4);
        ok = Run("1 MB random, letters at +" + std::to_string(shift), data) && ok;
    }
    std::printf("ratio: marker-free time over plain compression of the file without the letters;\n"
                "+opt: bytes over the smallest encoding, marker or not.\n");
    return ok ? 0 : 1;
}
