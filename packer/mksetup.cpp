// mksetup, the publisher's packer: builds an installer from a stub and eleven
// files, lists and unpacks installers without running them, and runs the codec.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "format/payload.h"
#include "packer/compressor/compressor.h"
#include "packer/checksum_slot.h"
#include "packer/extraction.h"
#include "packer/files.h"
#include "packer/inputs.h"
#include "packer/installer_reader.h"
#include "packer/installer_writer.h"
#include "packer/pe_image.h"
#include "packer/program.h"
#include "packer/progress.h"
#include "packer/scan_replay.h"
#include "packer/signing/osslsigncode.h"
#include "packer/stored_item.h"

namespace {

const char kToolHelp[] = "usage: mksetup COMMAND [ARGS]\n"
                         "       mksetup --version\n"
                         "\n"
                         "commands:\n"
                         "  build [--stub STUB] --out INSTALLER SOURCE... pack eleven files into an installer\n"
                         "  list INSTALLER                                show the items and check the checksum\n"
                         "  extract INSTALLER DIR                         unpack the eleven files without running it\n"
                         "  compress IN OUT                               compress one file to SZDD\n"
                         "  expand IN OUT                                 expand one SZDD file\n"
                         "  sign --cert CERT --key KEY INSTALLER OUT      sign with osslsigncode, then balance\n"
                         "  balance SIGNED OUT                            balance an installer signed elsewhere\n"
                         "\n"
                         "'mksetup COMMAND --help' describes a command; '--' ends the options. A read-only\n"
                         "output is replaced only with --force (every command but list).\n"
                         "\n"
                         "exit status: 0 done, 1 failed (one line on stderr says why), 2 usage error (an\n"
                         "unknown command or option, a missing or repeated option, a wrong number of\n"
                         "arguments).\n";

const char kBuildHelp[] = "usage: mksetup build [--force] [--quiet] [--stub STUB] --out INSTALLER [--] SOURCE...\n"
                          "\n"
                          "STUB is the installer program; without --stub the one installed with mksetup\n"
                          "(PREFIX/share/setup32/setup32-stub.exe) or the one beside it in its build is\n"
                          "used, and named.\n"
                          "SOURCE is a folder holding the eleven payload file names, or eleven files in\n"
                          "this order: ovra32.exe ovaux32.exe ovra.hlp netintro.hlp guide.txt changes.txt\n"
                          "ovra.ini macros.ini menus.ini hosts.ini links.ini (files named after the table\n"
                          "but given in another order are refused).\n"
                          "A file already in SZDD form is embedded as it is; any other is compressed.\n"
                          "The payload checksum is written into the stub's checksum slot. The same\n"
                          "inputs always give the same installer, byte for byte.\n"
                          "Each item is named as it is packed, with its bytes in and stored, then a\n"
                          "summary; on a terminal a large item shows its percentage as it goes, and the\n"
                          "summary the time taken. --quiet prints only errors.\n";

const char kListHelp[] = "usage: mksetup list [--] INSTALLER\n"
                         "\n"
                         "Replays the installer's scan and prints each item's index, name, offset,\n"
                         "stored bytes and expanded bytes, then the computed checksum against the\n"
                         "program's constant. Exit status 0 only for a sound installer.\n";

const char kExtractHelp[] = "usage: mksetup extract [--force] [--] INSTALLER DIR\n"
                            "\n"
                            "Writes the eleven expanded files of a sound installer into DIR under their\n"
                            "payload names (DIR is created when missing).\n";

const char kSignHelp[] = "usage: mksetup sign [--force] --cert CERT --key KEY [--pass-file FILE] [--name TEXT]\n"
                         "                    [--url URL] [--timeout SECONDS] [--] INSTALLER OUT\n"
                         "\n"
                         "Signs a sound, unsigned installer with Authenticode through osslsigncode (CERT\n"
                         "and KEY in PEM or DER; FILE holds the key's pass phrase; TEXT and URL describe\n"
                         "the program), then balances it (see 'mksetup balance --help') and writes OUT.\n"
                         "osslsigncode is stopped after SECONDS (default 300).\n";

const char kBalanceHelp[] = "usage: mksetup balance [--force] [--] SIGNED OUT\n"
                            "\n"
                            "The installer checks a checksum over everything after its program, and a\n"
                            "signature appended to the file changes it. balance adds an unauthenticated\n"
                            "attribute to the signature whose bytes make the checksum hold again; the\n"
                            "signature stays valid. For an installer signed by another tool or service.\n";

const char kCompressHelp[] = "usage: mksetup compress [--force] [--] IN OUT\n"
                             "\n"
                             "Compresses IN to an SZDD file (mode A) that the classic EXPAND reads.\n";

const char kExpandHelp[] = "usage: mksetup expand [--force] [--] IN OUT\n"
                           "\n"
                           "Expands an SZDD file (as written by COMPRESS or mksetup compress) to exactly\n"
                           "the length its header states.\n";

// A name may hold any byte but '/' and NUL: control and escape bytes (and bytes
// that are not UTF-8) are shown as \xNN, so a message cannot drive the terminal.
std::string Printable(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    char hex[8];
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        if (c >= 0x20 && c < 0x7F)
            length = 1;
        else if (c >= 0xC2 && c <= 0xF4)
            length = c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k)
            valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        // U+0080..U+009F are controls too (CSI among them).
        if (valid && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0)
            valid = false;
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", unsigned(c));
            out += hex;
            ++i;
        }
    }
    return out;
}

// A failure exits 1 and a usage error 2, so a script can tell a typo on the
// command line from a build that failed.
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

// A build's live percentage stands on standard error without a line end; it is
// wiped before anything else is said there.
bool liveLineShown = false;
size_t liveLineWidth = 0;

void WipeLiveLine()
{
    if (!liveLineShown)
        return;
    std::fprintf(stderr, "\r%*s\r", int(liveLineWidth), "");
    std::fflush(stderr);
    liveLineShown = false;
}

int Fail(const std::string &message)
{
    WipeLiveLine();
    std::fprintf(stderr, "mksetup: %s\n", Printable(message).c_str());
    return kFailed;
}

int Usage(const char *help, const std::string &problem)
{
    Fail(problem + " (see 'mksetup " + std::string(help) + " --help')");
    return kUsageError;
}

// A command's arguments: options up to "--", operands after it (or wherever
// they stand before it). After "--", "-h" and "--help" are file names like any other.
struct Arguments {
    std::vector<std::string> operands;
    std::string stub;
    std::string out;
    std::string cert;
    std::string key;
    std::string passFile;
    std::string name;
    std::string url;
    std::string timeout;
    bool force;
    bool quiet;
    bool help;
};

// The options that take a value, and the commands that take them.
struct ValueOption {
    const char *command;
    const char *option;
    std::string Arguments::*field;
};
const ValueOption kValueOptions[] = {
    {"build", "--stub", &Arguments::stub},
    {"build", "--out", &Arguments::out},
    {"sign", "--cert", &Arguments::cert},
    {"sign", "--key", &Arguments::key},
    {"sign", "--pass-file", &Arguments::passFile},
    {"sign", "--name", &Arguments::name},
    {"sign", "--url", &Arguments::url},
    {"sign", "--timeout", &Arguments::timeout},
};

bool ParseArguments(const std::string &command, const std::vector<std::string> &args, Arguments &parsed,
                    std::string &problem)
{
    parsed = Arguments{};
    bool takesForce = command != "list";
    std::vector<std::string> seen;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            parsed.operands.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            parsed.help = true;
            return true;
        }
        if (std::find(seen.begin(), seen.end(), a) != seen.end()) {
            problem = a + " given twice";
            return false;
        }
        if (a == "--force" && takesForce) {
            parsed.force = true;
            seen.push_back(a);
            continue;
        }
        if (a == "--quiet" && command == "build") {
            parsed.quiet = true;
            seen.push_back(a);
            continue;
        }
        const ValueOption *option = nullptr;
        for (const ValueOption &v : kValueOptions)
            if (command == v.command && a == v.option)
                option = &v;
        if (option == nullptr) {
            problem = "unknown option '" + a + "'";
            return false;
        }
        if (i + 1 >= args.size()) {
            problem = a + " needs a value";
            return false;
        }
        parsed.*(option->field) = args[++i];
        seen.push_back(a);
    }
    return true;
}

// The installer program that goes with this mksetup: installed beside it under
// share/, or, in the build, beside it in out/ or in the i686 tree next to this one.
bool FindDefaultStub(std::string &stub, std::string &error)
{
    std::string self = OwnProgramPath();
    if (!self.empty()) {
        std::filesystem::path dir = std::filesystem::path(self).parent_path();
        const std::filesystem::path candidates[] = {
            dir / ".." / "share" / "setup32" / "setup32-stub.exe",
            dir / "setup32-stub.exe",
            dir / ".." / "target" / "setup32-stub.exe",
        };
        for (const std::filesystem::path &c : candidates) {
            std::error_code ec;
            if (std::filesystem::is_regular_file(c, ec)) {
                stub = c.lexically_normal().string();
                return true;
            }
        }
    }
    error = "no installer program found beside mksetup (PREFIX/share/setup32/setup32-stub.exe); give one with --stub";
    return false;
}

// Refuses an output that would replace one of the inputs.
bool OutputIsAnInput(const std::string &out, const std::vector<std::string> &inputs, std::string &error)
{
    for (const std::string &in : inputs) {
        if (SameFile(out, in)) {
            error = "cannot write '" + out + "': it is the input '" + in + "' itself";
            return true;
        }
    }
    return false;
}

// The stub as list and extract will read it from the installer: its headers from
// at most the first 16 MiB, every section inside the program part. A stub they
// would refuse is refused here, so every installer built is one they accept.
bool CheckStubAsListed(const std::string &path, const std::vector<uint8_t> &stub, std::string &error)
{
    size_t readable = std::min(stub.size(), kLargestProgram);
    size_t end = 0;
    size_t slot = 0;
    std::string reason;
    // A file that is no Windows program, or a program without the checksum slot,
    // is some other file given by mistake: its sections mean nothing to the publisher.
    bool program = PeImageEnd(stub.data(), stub.size(), end, reason) || reason.rfind("not a Windows program", 0) != 0;
    const char *fix = "give --stub the setup32-stub.exe that comes with mksetup, or leave --stub out to use the "
                      "installed one";
    if (!program || (!FindChecksumSlot(stub.data(), stub.size(), slot, reason) && reason.rfind("damaged", 0) != 0)) {
        error = "stub: '" + path + "' is not a setup32 installer program; " + fix;
        return false;
    }
    // An installer built before carries its items behind the program.
    if (ContainsMarkerBytes(stub.data(), stub.size())) {
        error = "stub: '" + path + "' is an installer with its payload, not the installer program alone; " + fix;
        return false;
    }
    if (!PeImageEnd(stub.data(), readable, end, reason)) {
        std::string whole;
        if (readable < stub.size() && PeImageEnd(stub.data(), stub.size(), end, whole))
            reason += ": a section lies past the first 16 MiB, where list and extract read a program's headers";
        else
            reason += "; the installer's program part would run into the items (list: the program part holds "
                      "the item marker)";
        error = "stub: " + reason;
        return false;
    }
    if (!FindChecksumSlot(stub.data(), readable, slot, reason)) {
        error = "stub: " + reason;
        return false;
    }
    return true;
}

// Files in the payload folder besides the eleven are left out of the installer:
// said in one line, so that a publisher who meant them to go in knows.
void SayWhatIsLeftOut(const std::string &folder)
{
    std::vector<std::string> others;
    for (const std::string &name : FolderNames(folder, true)) {
        bool item = false;
        for (int i = 0; i < kPayloadItemCount; ++i)
            item = item || name == PayloadItemName(i);
        if (!item)
            others.push_back(name);
    }
    if (others.empty())
        return;
    constexpr size_t kNamed = 8;
    size_t more = others.size() > kNamed ? others.size() - kNamed : 0;
    others.resize(others.size() - more);
    if (more > 0)
        others.push_back(std::to_string(more) + " more");
    bool one = others.size() == 1;
    std::fprintf(stderr, "mksetup: '%s' also holds %s, which %s not among the eleven items: %s left out\n",
                 Printable(folder).c_str(), Printable(JoinNames(others)).c_str(), one ? "is" : "are",
                 one ? "it is" : "they are");
}

// What a build shows as it goes (see kBuildHelp): each item on standard output
// once packed; a large item's percentage, live on standard error when that is a
// terminal; then the summary, with the time only on a terminal, so that the same
// inputs give the same output in a log.
struct BuildDisplay {
    bool live;
    size_t index;
    uint64_t bytesIn;
    unsigned percent;
    uint64_t totalIn;
    uint64_t totalStored;
};
BuildDisplay display;

// Items smaller than this are packed in well under a second.
constexpr uint64_t kLiveItemBytes = uint64_t(1) << 20;
// Keeping the marker out of an item costs a byte or two each time its smallest
// form spells it, not worth a word; this much (an item holding hundreds of
// compressed files) is.
constexpr size_t kNotableCost = 1024;

void ShowItemStarted(size_t index, uint64_t bytesIn)
{
    display.index = index;
    display.bytesIn = bytesIn;
    display.percent = ~0u;
}

void ShowItemWork(unsigned permille)
{
    if (!display.live || display.bytesIn < kLiveItemBytes || permille / 10 == display.percent)
        return;
    display.percent = permille / 10;
    int width = std::fprintf(stderr, "\r%-12s %10llu bytes -> %3u%%", PayloadItemName(int(display.index)),
                             (unsigned long long)display.bytesIn, display.percent);
    std::fflush(stderr);
    liveLineShown = true;
    liveLineWidth = width > 1 ? size_t(width - 1) : 0;
}

void ShowItemDone(size_t index, const StoredItem &item)
{
    WipeLiveLine();
    display.totalIn += display.bytesIn;
    display.totalStored += item.storedSize;
    std::string note;
    size_t cost = item.storedSize > item.optimalSize ? item.storedSize - item.optimalSize : 0;
    if (item.embeddedAsIs)
        note = ", as it is (already compressed)";
    else if (cost >= kNotableCost)
        note = ", " + std::to_string(cost) +
               " bytes more than its smallest form, which spelled the letters "
               "the installer finds its files by";
    std::printf("%-12s %10llu bytes -> %10llu stored%s\n", PayloadItemName(int(index)),
                (unsigned long long)display.bytesIn, (unsigned long long)item.storedSize, note.c_str());
    std::fflush(stdout);
}

int RunBuild(Arguments a)
{
    if (a.out.empty())
        return Usage("build", "--out is required");
    // Everything that can be checked without the work comes first, and nothing
    // is said before it has passed.
    std::string error;
    if (!CheckSourceCount(a.operands, error))
        return Usage("build", error);
    bool defaultStub = a.stub.empty();
    if (defaultStub && !FindDefaultStub(a.stub, error))
        return Fail(error);
    std::error_code ec;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(a.out, ec)))
        return Fail("cannot write '" + a.out + "': it is a folder; to write the installer into it, give --out " +
                    (std::filesystem::path(a.out) / "setup32.exe").string());
    std::vector<std::string> paths;
    if (!CheckOutputFolder(a.out, error) || !CheckOutputName(a.out, a.force, error) ||
        !ListInputs(a.operands, paths, error))
        return Fail(error);
    bool fromFolder = a.operands.size() == 1;
    if (fromFolder && !CheckPayloadFolder(a.operands[0], error))
        return Fail(error);
    if (a.operands.size() == size_t(kPayloadItemCount) && !CheckTableOrder(a.operands, error))
        return Fail(error);
    std::vector<std::string> allInputs = paths;
    allInputs.push_back(a.stub);
    if (OutputIsAnInput(a.out, allInputs, error))
        return Fail(error);
    std::vector<uint8_t> stub;
    if (!ReadFileBytes(a.stub, stub, kLargestSzddInput, error) || !CheckStubAsListed(a.stub, stub, error) ||
        !CheckInputs(paths, error))
        return Fail(error);
    if (fromFolder && !a.quiet)
        SayWhatIsLeftOut(a.operands[0]);
    // The inputs are read one at a time as the installer is written.
    auto started = std::chrono::steady_clock::now();
    display = BuildDisplay{!a.quiet && IsTerminal(stderr), 0, 0, 0, 0, 0};
    if (!a.quiet)
        progressListener = ProgressListener{ShowItemStarted, ShowItemWork, ShowItemDone};
    BuildReport report;
    bool built = BuildInstallerFile(stub, paths, a.out, report, error);
    progressListener = ProgressListener{nullptr, nullptr, nullptr};
    if (!built)
        return Fail(error);
    if (a.quiet)
        return 0;
    unsigned long long permille = display.totalIn ? display.totalStored * 1000 / display.totalIn : 1000;
    std::printf("%zu items: %llu bytes in, %llu stored (%llu.%llu%%)", report.items.size(),
                (unsigned long long)display.totalIn, (unsigned long long)display.totalStored, permille / 10,
                permille % 10);
    if (IsTerminal(stdout)) {
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::printf(" in %.1f s", seconds);
    }
    std::printf("\n");
    if (defaultStub)
        std::printf("installer program: %s\n", Printable(a.stub).c_str());
    std::printf("%s: %llu bytes, 11 items after a %zu-byte program, checksum 0x%08X\n", Printable(a.out).c_str(),
                (unsigned long long)report.installerSize, report.headSize, unsigned(report.checksum));
    return 0;
}

int RunList(const Arguments &a)
{
    if (a.operands.size() != 1)
        return Usage("list", "expected one INSTALLER");
    const std::string &path = a.operands[0];
    std::string error;
    InstallerSource src;
    if (!OpenInstaller(path, src, error))
        return Fail(error);
    InstallerInfo info;
    std::string problem;
    bool sound = InspectInstallerSource(src, info, problem);
    // A file without a single item is no installer: no table for it.
    if (!sound && info.items.empty()) {
        std::fclose(src.file);
        return Fail(path + ": not a sound installer: " + problem);
    }
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
        std::printf("program %zu bytes, alignment and tail %zu bytes, file %zu bytes\n", info.items.front().offset,
                    padding, last.offset + last.size);
    }
    if (info.haveSlot)
        std::printf("checksum 0x%08X, program expects 0x%08X: %s\n", unsigned(info.scan.checksum),
                    unsigned(info.expectedChecksum),
                    info.scan.checksum == info.expectedChecksum ? "match" : "MISMATCH");
    else
        std::printf("checksum 0x%08X, program has no checksum slot\n", unsigned(info.scan.checksum));
    SignatureStatus signature;
    bool signatureRead = ReadInstallerSignature(src, signature);
    bool balanced = info.haveSlot && info.scan.checksum == info.expectedChecksum;
    bool mendable = signature.signedFile && signatureRead && !balanced && BalanceWouldMend(src, signature, info);
    std::fclose(src.file);
    if (signature.signedFile && !signatureRead)
        std::printf("signature: unreadable: %s\n", signature.problem.c_str());
    else if (signature.signedFile)
        std::printf("signature: signed by %s%s; %s\n", signature.signer.c_str(),
                    signature.nested ? ", with a nested signature" : "",
                    sound      ? "the balance holds"
                    : balanced ? "the checksum holds, the installer is not sound"
                               : "NOT balanced");
    else
        std::printf("signature: none\n");
    if (signature.signedFile && !signatureRead)
        return Fail(path + ": the signature cannot be read: " + signature.problem);
    if (mendable)
        return Fail(path +
                    ": signed but not balanced, so the installer would refuse itself; "
                    "'mksetup balance " +
                    path + " OUT' makes the checksum hold");
    if (!sound)
        return Fail(path + ": not a sound installer: " + problem);
    return 0;
}

int RunExtract(const Arguments &a)
{
    if (a.operands.size() != 2)
        return Usage("extract", "expected INSTALLER and DIR");
    const std::string &installer = a.operands[0];
    const std::string &dir = a.operands[1];
    std::string error;
    std::error_code ec;
    if (dir.empty())
        return Fail("cannot extract into '': the folder name is empty");
    std::vector<std::filesystem::path> missing = MissingFolders(dir);
    if (missing.empty() && !std::filesystem::is_directory(dir, ec))
        return Fail("cannot extract into '" + dir + "': it exists and is not a folder");
    for (int i = 0; i < kPayloadItemCount; ++i) {
        std::string path = (std::filesystem::path(dir) / PayloadItemName(i)).string();
        if (!CheckOutputName(path, a.force, error) || OutputIsAnInput(path, {installer}, error))
            return Fail(error);
    }
    InstallerSource src;
    if (!OpenInstaller(installer, src, error))
        return Fail(error);
    InstallerInfo info;
    if (!InspectInstallerSource(src, info, error)) {
        // Only where the balance would mend it: the installer in front of the signature is sound.
        if (BalanceWouldMend(src, info))
            error += " (the installer is signed but not balanced: 'mksetup balance " + installer +
                     " OUT' makes the checksum hold)";
        std::fclose(src.file);
        return Fail(installer + ": " + error);
    }
    std::filesystem::create_directories(dir, ec);
    bool ok = !ec && std::filesystem::is_directory(dir, ec);
    if (!ok)
        error = "cannot create folder '" + dir + "': " + (ec ? ec.message() : "not a folder");
    else
        ok = ExtractAllOrNothing(src, info, dir, error);
    std::fclose(src.file);
    if (!ok) {
        for (const std::filesystem::path &folder : missing)
            std::filesystem::remove(folder, ec);  // removes only a folder left empty
        return Fail(error + "; no file was extracted");
    }
    std::printf("%s: %zu files written\n", Printable(dir).c_str(), info.items.size());
    return 0;
}

// Expansion streams from file to file: memory stays flat whatever the size.
int RunExpand(const std::string &inPath, const std::string &outPath)
{
    std::string error;
    std::FILE *in = nullptr;
    uint64_t size = 0;
    if (!OpenInputFile(inPath, in, size, error))
        return Fail(error);
    uint8_t magic[8];
    size_t got = std::fread(magic, 1, sizeof magic, in);
    if (!SzddHasMagic(magic, got) || std::fseek(in, 0, SEEK_SET) != 0) {
        std::fclose(in);
        return Fail(inPath + ": not an SZDD compressed file");
    }
    OutputFile out;
    if (!CreateOutput(outPath, out, error)) {
        std::fclose(in);
        return Fail(error);
    }
    unsigned long long consumed = 0;
    long result = SzddExpandCounted(ReadFromStream, in, WriteToStream, out.stream, consumed);
    std::fclose(in);
    if (result < 0) {
        DiscardOutput(out);
        if (result == SZDD_ERR_WRITE)
            return Fail("cannot write '" + outPath + "': write failed (disk full?)");
        return Fail(inPath + ": damaged SZDD file: " + SzddErrorText(result));
    }
    if (!CommitOutput(out, error))
        return Fail(error);
    return 0;
}

// The compressed file goes straight to the output as it is encoded, never held whole.
int RunCompress(const std::string &inPath, const std::string &outPath)
{
    std::string error;
    std::vector<uint8_t> in;
    if (!ReadFileBytes(inPath, in, kLargestSzddInput, error))
        return Fail(error);
    OutputFile out;
    if (!CreateOutput(outPath, out, error))
        return Fail(error);
    long result = 0;
    try {
        result = SzddCompressTo(in.data(), in.size(), WriteToStream, out.stream);
    } catch (const std::bad_alloc &) {
        DiscardOutput(out);
        return Fail("not enough memory to compress '" + inPath + "': its " + std::to_string(in.size()) +
                    " bytes need about " + std::to_string(SzddMemoryNeeded(in.size()) >> 20) + " MB");
    }
    if (result < 0) {
        DiscardOutput(out);
        if (result == SZDD_ERR_WRITE)
            return Fail("cannot write '" + outPath + "': write failed (disk full?)");
        return Fail(inPath + ": too large for the SZDD format");
    }
    if (!CommitOutput(out, error))
        return Fail(error);
    return 0;
}

void PrintBalanced(const std::string &out, const SignOutcome &outcome)
{
    std::printf("%s: %llu bytes, signed by %s, balanced with %zu bytes\n", Printable(out).c_str(),
                (unsigned long long)outcome.size, outcome.signer.c_str(), outcome.fillerBytes);
}

int RunSign(const Arguments &a)
{
    if (a.cert.empty() || a.key.empty())
        return Usage("sign", "--cert and --key are required");
    if (a.operands.size() != 2)
        return Usage("sign", "expected INSTALLER and OUT");
    unsigned timeout = kDefaultSignTimeout;
    if (!a.timeout.empty()) {
        char *end = nullptr;
        unsigned long seconds = std::strtoul(a.timeout.c_str(), &end, 10);
        if (a.timeout[0] < '0' || a.timeout[0] > '9' || *end != '\0' || seconds < 1 || seconds > 86400)
            return Usage("sign", "--timeout takes whole seconds from 1 to 86400, not '" + a.timeout + "'");
        timeout = unsigned(seconds);
    }
    SignRequest request{a.operands[0], a.operands[1], a.cert, a.key, a.passFile, a.name, a.url, a.force, timeout};
    std::string error;
    std::vector<std::string> inputs = {request.installer, request.cert, request.key};
    if (!request.passFile.empty())
        inputs.push_back(request.passFile);
    if (!CheckOutputFolder(request.out, error) || !CheckOutputName(request.out, a.force, error) ||
        OutputIsAnInput(request.out, inputs, error))
        return Fail(error);
    SignOutcome outcome;
    if (!SignInstallerFile(request, outcome, error))
        return Fail(error);
    if (!outcome.codeSigning)
        std::fprintf(stderr,
                     "mksetup: warning: the certificate '%s' does not name the code-signing usage; "
                     "Windows may not accept the signature\n",
                     Printable(request.cert).c_str());
    PrintBalanced(request.out, outcome);
    return 0;
}

int RunBalance(const Arguments &a)
{
    if (a.operands.size() != 2)
        return Usage("balance", "expected SIGNED and OUT");
    const std::string &in = a.operands[0];
    const std::string &out = a.operands[1];
    std::string error;
    if (!CheckOutputFolder(out, error) || !CheckOutputName(out, a.force, error) || OutputIsAnInput(out, {in}, error))
        return Fail(error);
    SignOutcome outcome;
    if (!BalanceInstallerFile(in, out, a.force, outcome, error))
        return Fail(error);
    PrintBalanced(out, outcome);
    return 0;
}

int RunCodec(const char *command, const Arguments &a)
{
    if (a.operands.size() != 2)
        return Usage(command, "expected IN and OUT");
    const std::string &in = a.operands[0];
    const std::string &out = a.operands[1];
    std::string error;
    if (!CheckOutputFolder(out, error) || !CheckOutputName(out, a.force, error) || OutputIsAnInput(out, {in}, error))
        return Fail(error);
    if (std::strcmp(command, "expand") == 0)
        return RunExpand(in, out);
    return RunCompress(in, out);
}

}  // namespace

int main(int argc, char **argv)
{
    CatchInterruptions();
    if (argc < 2) {
        Fail("no command (see 'mksetup --help')");
        return kUsageError;
    }
    std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--version" || command == "-V") {
        std::printf("mksetup %s\n", MKSETUP_VERSION);
        return 0;
    }
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kToolHelp, stdout);
        return 0;
    }
    struct Command {
        const char *name;
        const char *help;
    };
    static const Command commands[] = {
        {"build", kBuildHelp},   {"list", kListHelp}, {"extract", kExtractHelp}, {"compress", kCompressHelp},
        {"expand", kExpandHelp}, {"sign", kSignHelp}, {"balance", kBalanceHelp},
    };
    for (const Command &c : commands) {
        if (command != c.name)
            continue;
        Arguments parsed;
        std::string problem;
        if (!ParseArguments(command, args, parsed, problem))
            return Usage(c.name, problem);
        if (parsed.help) {
            std::fputs(c.help, stdout);
            return 0;
        }
        // The places that can run out of memory name the input and what it
        // needed; this is the last resort for any other.
        try {
            if (command == "build")
                return RunBuild(parsed);
            if (command == "list")
                return RunList(parsed);
            if (command == "extract")
                return RunExtract(parsed);
            if (command == "sign")
                return RunSign(parsed);
            if (command == "balance")
                return RunBalance(parsed);
            return RunCodec(c.name, parsed);
        } catch (const std::bad_alloc &) {
            return Fail("not enough memory for " + command);
        }
    }
    Fail(std::string(command.size() > 1 && command[0] == '-' ? "unknown option '" : "unknown command '") + command +
         "' (see 'mksetup --help')");
    return kUsageError;
}
