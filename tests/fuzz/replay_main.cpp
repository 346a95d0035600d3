// Replays fuzzing corpora without libFuzzer: every file named on the command line, or
// found in a directory named there, goes through the target once. This is how the
// corpora run in CI under the sanitizers; scripts/fuzz.sh does the long runs.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static bool Replay(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", file.string().c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

int main(int argc, char **argv)
{
    size_t count = 0;
    for (int i = 1; i < argc; i++) {
        std::filesystem::path arg(argv[i]);
        if (std::filesystem::is_directory(arg)) {
            for (const auto &entry : std::filesystem::directory_iterator(arg)) {
                if (!entry.is_regular_file())
                    continue;
                if (!Replay(entry.path()))
                    return 1;
                count++;
            }
        } else if (!Replay(arg)) {
            return 1;
        } else {
            count++;
        }
    }
    if (count == 0) {
        std::fprintf(stderr, "replay: no input found\n");
        return 1;
    }
    std::printf("replayed %zu inputs\n", count);
    return 0;
}
