// mksetup, the publisher's packer: builds an installer from a stub and eleven
// files, lists and unpacks installers without running them, and runs the codec.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "engine/payload.h"
#include "engine/szdd.h"
#include "tools/packer.h"

namespace {

const char kToolHelp[] =
    "usage: mksetup COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  build --stub STUB --out INSTALLER SOURCE...   pack eleven files into an installer\n"
    "  list INSTALLER                                show the items and check the checksum\n"
    "  extract INSTALLER DIR                         unpack the eleven files without running it\n"
    "  compress IN OUT                               compress one file to SZDD\n"
    "  expand IN OUT                                 expand one SZDD file\n"
    "\n"
    "'mksetup COMMAND --help' describes a command.\n";

const char kBuildHelp[] =
    "usage: mksetup build --stub STUB --out INSTALLER SOURCE...\n"
    "\n"
    "SOURCE is a folder holding the eleven payload file names, or eleven files in\n"
    "this order: ovra32.exe ovaux32.exe ovra.hlp netintro.hlp guide.txt changes.txt\n"
    "ovra.ini macros.ini menus.ini hosts.ini links.ini.\n"
    "A file already in SZDD form is embedded as it is; any other is compressed.\n"
    "The payload checksum is written into the stub's checksum slot. The same\n"
    "inputs always give the same installer, byte for byte.\n";

const char kListHelp[] =
    "usage: mksetup list INSTALLER\n"
    "\n"
    "Replays the installer's scan and prints each item's index, name, offset,\n"
    "stored bytes and expanded bytes, then the computed checksum against the\n"
    "program's constant. Exit status 0 only for a sound installer.\n";

const char kExtractHelp[] =
    "usage: mksetup extract INSTALLER DIR\n"
    "\n"
    "Writes the eleven expanded files of a sound installer into DIR under their\n"
    "payload names (DIR is created when missing).\n";

const char kCompressHelp[] =
    "usage: mksetup compress IN OUT\n"
    "\n"
    "Compresses IN to an SZDD file (mode A) that the classic EXPAND reads.\n";

const char kExpandHelp[] =
    "usage: mksetup expand IN OUT\n"
    "\n"
    "Expands an SZDD file (as written by COMPRESS or mksetup compress) to exactly\n"
    "the length its header states.\n";

int Fail(const std::string &message)
{
    std::fprintf(stderr, "mksetup: %s\n", message.c_str());
    return 1;
}

bool WantsHelp(const std::vector<std::string> &args)
{
    for (const std::string &a : args)
        if (a == "--help" || a == "-h")
            return true;
    return false;
}

int Usage(const char *help, const std::string &problem)
{
    return Fail(problem + " (see 'mksetup " + std::string(help) + " --help')");
}

int RunBuild(const std::vector<std::string> &args)
{
    std::string stubPath;
    std::string outPath;
    std::vector<std::string> sources;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--stub" || args[i] == "--out") {
            if (i + 1 >= args.size())
                return Usage("build", args[i] + " needs a value");
            (args[i] == "--stub" ? stubPath : outPath) = args[i + 1];
            ++i;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return Usage("build", "unknown option " + args[i]);
        } else {
            sources.push_back(args[i]);
        }
    }
    if (stubPath.empty() || outPath.empty())
        return Usage("build", "--stub and --out are required");
    std::string error;
    std::vector<uint8_t> stub;
    if (!ReadFileBytes(stubPath, stub, error))
        return Fail(error);
    std::vector<std::vector<uint8_t>> inputs;
    std::vector<std::string> paths;
    if (!CollectInputs(sources, inputs, paths, error))
        return Fail(error);
    std::vector<uint8_t> installer;
    BuildReport report;
    if (!BuildInstaller(stub, inputs, paths, installer, report, error))
        return Fail(error);
    if (!WriteFileReplacing(outPath, installer, error))
        return Fail(error);
    for (size_t i = 0; i < report.items.size(); ++i) {
        const StoredItem &item = report.items[i];
        if (item.bytes.size() != item.optimalSize)
            std::printf("%s: re-encoded around the item marker, %zu bytes instead of %zu\n",
                        PayloadItemName(int(i)), item.bytes.size(), item.optimalSize);
    }
    std::printf("%s: %zu bytes, 11 items after a %zu-byte program, checksum 0x%08X\n", outPath.c_str(),
                installer.size(), report.headSize, unsigned(report.checksum));
    return 0;
}

int RunList(const std::vector<std::string> &args)
{
    if (args.size() != 1)
        return Usage("list", "expected one INSTALLER");
    std::string error;
    std::vector<uint8_t> file;
    if (!ReadFileBytes(args[0], file, error))
        return Fail(error);
    InstallerInfo info;
    std::string problem;
    bool sound = InspectInstaller(file.data(), file.size(), info, problem);
    std::printf("%-5s %-12s %10s %10s %10s\n", "index", "name", "offset", "stored", "expanded");
    for (size_t i = 0; i < info.items.size(); ++i) {
        const ListedItem &item = info.items[i];
        const char *name = PayloadItemName(int(i));
        std::printf("%-5zu %-12s %10zu %10zu %10u%s\n", i, name ? name : "-", item.offset, item.storedSize,
                    unsigned(item.expandedSize), item.expands ? "" : "  damaged");
    }
    if (!info.items.empty()) {
        const ListedItem &last = info.items.back();
        size_t padding = 0;
        for (const ListedItem &item : info.items)
            if (item.expands && item.size > item.storedSize)
                padding += item.size - item.storedSize;
        std::printf("program %zu bytes, alignment and tail %zu bytes, file %zu bytes\n",
                    info.items.front().offset, padding, last.offset + last.size);
    }
    if (info.haveSlot)
        std::printf("checksum 0x%08X, program expects 0x%08X: %s\n", unsigned(info.scan.checksum),
                    unsigned(info.expectedChecksum),
                    info.scan.checksum == info.expectedChecksum ? "match" : "MISMATCH");
    else
        std::printf("checksum 0x%08X, program has no checksum slot\n", unsigned(info.scan.checksum));
    if (!sound)
        return Fail(args[0] + ": not a sound installer: " + problem);
    return 0;
}

int RunExtract(const std::vector<std::string> &args)
{
    if (args.size() != 2)
        return Usage("extract", "expected INSTALLER and DIR");
    std::string error;
    std::vector<uint8_t> file;
    if (!ReadFileBytes(args[0], file, error))
        return Fail(error);
    std::vector<std::vector<uint8_t>> files;
    if (!ExtractInstaller(file.data(), file.size(), files, error))
        return Fail(args[0] + ": " + error);
    std::error_code ec;
    std::filesystem::create_directories(args[1], ec);
    if (ec || !std::filesystem::is_directory(args[1]))
        return Fail("cannot create folder '" + args[1] + "': " + (ec ? ec.message() : "not a folder"));
    for (size_t i = 0; i < files.size(); ++i) {
        std::string path = (std::filesystem::path(args[1]) / PayloadItemName(int(i))).string();
        if (!WriteFileReplacing(path, files[i], error))
            return Fail(error);
    }
    std::printf("%s: %zu files written\n", args[1].c_str(), files.size());
    return 0;
}

int RunCodec(const char *command, const std::vector<std::string> &args)
{
    if (args.size() != 2)
        return Usage(command, "expected IN and OUT");
    std::string error;
    std::vector<uint8_t> in;
    if (!ReadFileBytes(args[0], in, error))
        return Fail(error);
    std::vector<uint8_t> out;
    if (std::strcmp(command, "compress") == 0) {
        if (!SzddCompress(in.data(), in.size(), out))
            return Fail(args[0] + ": too large for the SZDD format");
    } else {
        if (!SzddHasMagic(in.data(), in.size()))
            return Fail(args[0] + ": not an SZDD compressed file");
        long result = SzddExpandBuffer(in.data(), in.size(), out);
        if (result < 0)
            return Fail(args[0] + ": damaged SZDD file (error " + std::to_string(result) + ")");
    }
    if (!WriteFileReplacing(args[1], out, error))
        return Fail(error);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Fail("no command (see 'mksetup --help')");
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kToolHelp, stdout);
        return 0;
    }
    struct Command {
        const char *name;
        const char *help;
    };
    static const Command commands[] = {
        {"build", kBuildHelp},       {"list", kListHelp},     {"extract", kExtractHelp},
        {"compress", kCompressHelp}, {"expand", kExpandHelp},
    };
    for (const Command &c : commands) {
        if (command != c.name)
            continue;
        if (WantsHelp(args)) {
            std::fputs(c.help, stdout);
            return 0;
        }
        if (command == "build")
            return RunBuild(args);
        if (command == "list")
            return RunList(args);
        if (command == "extract")
            return RunExtract(args);
        return RunCodec(c.name, args);
    }
    return Fail("unknown command '" + command + "' (see 'mksetup --help')");
}
