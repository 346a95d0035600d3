// SZDD codec benchmark: compressed sizes against mscompress, compression and
// expansion speed against mscompress, msexpand and libmspack, and the peak
// memory of expanding a 100 MB file (it must not grow with the file).
#include "packer/compressor/compressor.h"
#include "packer/files.h"
#include "packer/szdd_memory.h"
#include "format/byte_order.h"
#include "tests/test_data.h"
#include "tests/test_files.h"

#include <mspack.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace {

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::vector<Sample> Corpus(const char *stubPath)
{
    std::vector<Sample> corpus;
    auto add = [&](const std::string &name, std::vector<uint8_t> data) {
        if (!data.empty())
            corpus.push_back({name, std::move(data)});
        else
            std::fprintf(stderr, "szdd_bench: skipped %s (not found)\n", name.c_str());
    };
    add("GPL-3 (text)", ReadWholeFile("/usr/share/common-licenses/GPL-3"));
    add("notepad.exe (Win32)", ReadWholeFile("/usr/lib/i386-linux-gnu/wine/i386-windows/notepad.exe"));
    add("winhlp32.exe (Win32)", ReadWholeFile("/usr/lib/i386-linux-gnu/wine/i386-windows/winhlp32.exe"));
    add("cmd.exe (Win32)", ReadWholeFile("/usr/lib/i386-linux-gnu/wine/i386-windows/cmd.exe"));
    if (stubPath)
        add("setup32-stub.exe", ReadWholeFile(stubPath));

    std::string ini;
    std::mt19937 rng(5);
    for (int i = 0; ini.size() < 200000; ++i) {
        ini += "[server" + std::to_string(i) + "]\r\n";
        ini += "host=chat" + std::to_string(rng() % 50) + ".example.net\r\nport=" + std::to_string(6660 + rng() % 10) +
               "\r\ngroup=" + std::to_string(rng() % 9) + "\r\n\r\n";
    }
    add("hosts.ini-like", std::vector<uint8_t>(ini.begin(), ini.end()));

    std::vector<uint8_t> runs;
    while (runs.size() < 300000) {
        runs.insert(runs.end(), 1 + rng() % 400, ' ');
        runs.insert(runs.end(), 1 + rng() % 400, 0);
        runs.push_back(uint8_t(rng()));
    }
    add("runs of spaces and zeros", runs);

    // Random data of few symbols: every short match occurs all over the window,
    // the match finder's hardest case. Random bytes beside them for contrast.
    auto randomOf = [&](const char *symbols, size_t count) {
        std::vector<uint8_t> v(size_t(1) << 20);
        for (uint8_t &b : v)
            b = uint8_t(symbols[rng() % count]);
        return v;
    };
    add("random 0/1 bytes (1 MB)", randomOf("01", 2));
    add("random S/Z/D (1 MB)", randomOf("SZD", 3));
    std::vector<uint8_t> noise(size_t(1) << 20);
    for (uint8_t &b : noise)
        b = uint8_t(rng());
    add("random bytes (1 MB)", noise);
    return corpus;
}

size_t MscompressSize(const std::string &dir, const std::vector<uint8_t> &data, double &seconds)
{
    WriteWholeFile(dir + "/item", data);
    std::remove((dir + "/item_").c_str());
    auto t0 = std::chrono::steady_clock::now();
    if (std::system(("cd '" + dir + "' && mscompress item").c_str()) != 0)
        return 0;
    seconds = Seconds(t0);
    return ReadWholeFile(dir + "/item_").size();
}

long ExpandFileToFile(const std::string &in, const std::string &out)
{
    FILE *src = std::fopen(in.c_str(), "rb");
    FILE *dst = std::fopen(out.c_str(), "wb");
    long r = (src && dst) ? SzddExpand(ReadFromStream, src, WriteToStream, dst) : -100;
    if (src)
        std::fclose(src);
    if (dst)
        std::fclose(dst);
    return r;
}

long VmHwmKiB()
{
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1)
            break;
    std::fclose(f);
    return kib;
}

// A valid SZDD file of the given expanded size, written group by group so the
// bench itself never holds it: groups of eight literals alternate with groups
// of eight 18-byte matches.
bool WriteLargeItem(const std::string &path, uint32_t length)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    uint8_t header[kSzddHeaderSize];
    SzddMagic(header);
    header[8] = kSzddModeA;
    header[9] = 0;
    WriteLe32(header + kSzddLengthOffset, length);
    std::fwrite(header, 1, sizeof header, f);
    std::mt19937 rng(9);
    uint32_t produced = 0;
    for (uint64_t group = 0; produced < length; ++group) {
        uint8_t buf[17];
        if (group % 2 == 0) {
            buf[0] = 0xFF;
            for (int k = 1; k <= 8; ++k)
                buf[k] = uint8_t(rng());
            std::fwrite(buf, 1, 9, f);
            produced += 8;
        } else {
            buf[0] = 0x00;
            for (int k = 0; k < 8; ++k) {
                uint32_t src = rng() & 0xFFF;
                buf[1 + 2 * k] = uint8_t(src);
                buf[2 + 2 * k] = uint8_t(((src >> 4) & 0xF0) | 15);
            }
            std::fwrite(buf, 1, 17, f);
            produced += 8 * 18;
        }
    }
    return std::fclose(f) == 0;
}

// Peak memory growth of one expansion, measured in a fresh child process.
long ExpansionPeakGrowthKiB(const std::string &in, const std::string &out, long &result)
{
    int pipefd[2];
    if (pipe(pipefd) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        long before = VmHwmKiB();
        long r = ExpandFileToFile(in, out);
        long after = VmHwmKiB();
        long msg[2] = {after - before, r};
        ssize_t w = write(pipefd[1], msg, sizeof msg);
        _exit(w == sizeof msg ? 0 : 1);
    }
    close(pipefd[1]);
    long msg[2] = {-1, -1};
    ssize_t got = read(pipefd[0], msg, sizeof msg);
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result = msg[1];
    return got == sizeof msg ? msg[0] : -1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("usage: szdd_bench [setup32-stub.exe]\n"
                    "Compares the SZDD codec with mscompress, msexpand and libmspack on a small corpus\n"
                    "and measures the peak memory of expanding a 100 MB file.\n");
        return 0;
    }
    char tmpl[] = "/tmp/szdd_bench_XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::fprintf(stderr, "szdd_bench: cannot create a temporary directory\n");
        return 1;
    }
    const std::string dir = tmpl;
    auto corpus = Corpus(argc > 1 ? argv[1] : nullptr);
    bool ok = true;

    std::printf("%-26s %10s %10s %12s %8s %10s %10s\n", "file", "bytes", "ours", "mscompress", "ratio", "ours MB/s",
                "msc MB/s");
    size_t totalIn = 0, totalOurs = 0, totalTheirs = 0;
    double oursSeconds = 0, theirsSeconds = 0;
    std::vector<std::vector<uint8_t>> packedFiles;
    for (const Sample &s : corpus) {
        std::vector<uint8_t> packed;
        auto t0 = std::chrono::steady_clock::now();
        if (!SzddCompress(s.data.data(), s.data.size(), packed)) {
            std::fprintf(stderr, "szdd_bench: compressing %s failed\n", s.name.c_str());
            return 1;
        }
        double t = Seconds(t0);
        double tm = 0;
        size_t theirs = MscompressSize(dir, s.data, tm);
        std::vector<uint8_t> back;
        if (SzddExpandBuffer(packed.data(), packed.size(), back) != long(s.data.size()) || back != s.data) {
            std::fprintf(stderr, "szdd_bench: round trip of %s failed\n", s.name.c_str());
            ok = false;
        }
        if (theirs == 0 || packed.size() > theirs)
            ok = false;
        std::printf("%-26s %10zu %10zu %12zu %8.4f %10.2f %10.2f\n", s.name.c_str(), s.data.size(), packed.size(),
                    theirs, theirs ? double(packed.size()) / double(theirs) : 0.0, s.data.size() / t / 1e6,
                    tm > 0 ? s.data.size() / tm / 1e6 : 0.0);
        totalIn += s.data.size();
        totalOurs += packed.size();
        totalTheirs += theirs;
        oursSeconds += t;
        theirsSeconds += tm;
        packedFiles.push_back(std::move(packed));
    }
    std::printf("%-26s %10zu %10zu %12zu %8.4f %10.2f %10.2f\n", "total", totalIn, totalOurs, totalTheirs,
                double(totalOurs) / double(totalTheirs), totalIn / oursSeconds / 1e6, totalIn / theirsSeconds / 1e6);
    std::printf("ours is the exact optimum of the format (shortest path over exact token and flag-byte costs);\n"
                "mscompress times include starting its process.\n\n");

    // Expansion speed on the whole corpus, each tool from file to file.
    std::string all;
    double oursExp = 0, msexpandExp = 0, mspackExp = 0;
    for (size_t k = 0; k < packedFiles.size(); ++k) {
        std::string in = dir + "/p" + std::to_string(k) + "_";
        WriteWholeFile(in, packedFiles[k]);
        const int reps = 5;
        auto t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < reps; ++r)
            if (ExpandFileToFile(in, dir + "/ours.out") != long(corpus[k].data.size()))
                ok = false;
        oursExp += Seconds(t0) / reps;
        t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < reps; ++r)
            if (std::system(("msexpand < '" + in + "' > '" + dir + "/msexpand.out'").c_str()) != 0)
                ok = false;
        msexpandExp += Seconds(t0) / reps;
        msszdd_decompressor *d = mspack_create_szdd_decompressor(nullptr);
        t0 = std::chrono::steady_clock::now();
        for (int r = 0; r < reps; ++r)
            if (d->decompress(d, in.c_str(), (dir + "/mspack.out").c_str()) != MSPACK_ERR_OK)
                ok = false;
        mspackExp += Seconds(t0) / reps;
        mspack_destroy_szdd_decompressor(d);
        if (ReadWholeFile(dir + "/msexpand.out") != corpus[k].data ||
            ReadWholeFile(dir + "/mspack.out") != corpus[k].data)
            ok = false;
    }
    std::printf("expansion of the corpus (%.2f MB out), file to file:\n", totalIn / 1e6);
    std::printf("  ours      %8.1f MB/s\n  msexpand  %8.1f MB/s (process start included)\n  libmspack %8.1f MB/s\n\n",
                totalIn / oursExp / 1e6, totalIn / msexpandExp / 1e6, totalIn / mspackExp / 1e6);

    // Peak memory: a 1 MB and a 100 MB item must cost the same.
    const uint32_t sizes[] = {1u << 20, 100u << 20};
    for (uint32_t size : sizes) {
        std::string in = dir + "/large_", out = dir + "/large.out";
        if (!WriteLargeItem(in, size)) {
            std::fprintf(stderr, "szdd_bench: cannot write %s\n", in.c_str());
            return 1;
        }
        long result = 0;
        auto t0 = std::chrono::steady_clock::now();
        long growth = ExpansionPeakGrowthKiB(in, out, result);
        double t = Seconds(t0);
        std::printf("expanding %4u MB: result %ld bytes, peak memory growth %ld KiB, %.1f MB/s\n", size >> 20, result,
                    growth, size / t / 1e6);
        if (result != long(size))
            ok = false;
        std::remove(in.c_str());
        std::remove(out.c_str());
    }
    (void)std::system(("rm -rf '" + dir + "'").c_str());
    if (!ok) {
        std::fprintf(stderr, "szdd_bench: a check failed (round trip, peer output or size)\n");
        return 1;
    }
    return 0;
}
