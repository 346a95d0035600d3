// mksetup, the publisher's packer: builds an installer from a stub and eleven
// files, lists and unpacks installers without running them, and runs the codec.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "format/payload.h"
#include "packer/compressor.h"
#include "packer/files.h"
#include "packer/inputs.h"
#include "packer/installer_reader.h"
#include "packer/installer_writer.h"
#include "packer/program.h"
#include "packer/signing.h"
#include "packer/stored_item.h"

namespace {

const char kToolHelp[] =
    "usage: mksetup COMMAND [ARGS]\n"
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
    "'mksetup COMMAND --help' describes a command.\n";

const char kBuildHelp[] =
    "usage: mksetup build [--stub STUB] --out INSTALLER SOURCE...\n"
    "\n"
    "STUB is the installer program; without --stub the one installed with mksetup\n"
    "(PREFIX/share/setup32/setup32-stub.exe) or the one beside it in its build is\n"
    "used, and named.\n"
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

const char kSignHelp[] =
    "usage: mksetup sign --cert CERT --key KEY [--pass-file FILE] [--name TEXT] [--url URL]\n"
    "                    INSTALLER OUT\n"
    "\n"
    "Signs a sound, unsigned installer with Authenticode through osslsigncode (CERT\n"
    "and KEY in PEM or DER; FILE holds the key's pass phrase; TEXT and URL describe\n"
    "the program), then balances it (see 'mksetup balance --help') and writes OUT.\n";

const char kBalanceHelp[] =
    "usage: mksetup balance SIGNED OUT\n"
    "\n"
    "The installer checks a checksum over everything after its program, and a\n"
    "signature appended to the file changes it. balance adds an unauthenticated\n"
    "attribute to the signature whose bytes make the checksum hold again; the\n"
    "signature stays valid. For an installer signed by another tool or service.\n";

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

// List and extract read the installer as they go: memory stays flat whatever its size.
bool OpenInstaller(const std::string &path, InstallerSource &src, std::string &error)
{
    src = InstallerSource{nullptr, nullptr, 0};
    return OpenInputFile(path, src.file, src.size, error);
}

int RunBuild(const std::vector<std::string> &args)
{
    std::string stubPath;
    std::string outPath;
    std::vector<std::string> sources;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (optionsEnded) {
            sources.push_back(args[i]);
        } else if (args[i] == "--") {
            optionsEnded = true;
        } else if (args[i] == "--stub" || args[i] == "--out") {
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
    if (outPath.empty())
        return Usage("build", "--out is required");
    // Everything that can be checked without the work comes first.
    std::string error;
    if (stubPath.empty()) {
        if (!FindDefaultStub(stubPath, error))
            return Fail(error);
        std::printf("installer program: %s\n", stubPath.c_str());
    }
    std::vector<std::string> paths;
    if (!CheckOutputName(outPath, error) || !ListInputs(sources, paths, error))
        return Fail(error);
    std::vector<std::string> allInputs = paths;
    allInputs.push_back(stubPath);
    if (OutputIsAnInput(outPath, allInputs, error))
        return Fail(error);
    std::vector<uint8_t> stub;
    if (!ReadFileBytes(stubPath, stub, kLargestSzddInput, error) || !CheckInputs(paths, error))
        return Fail(error);
    // The inputs are read one at a time as the installer is written.
    BuildReport report;
    if (!BuildInstallerFile(stub, paths, outPath, report, error))
        return Fail(error);
    for (size_t i = 0; i < report.items.size(); ++i) {
        const StoredItem &item = report.items[i];
        if (item.storedSize != item.optimalSize)
            std::printf("%s: re-encoded around the item marker, %zu bytes instead of %zu\n",
                        PayloadItemName(int(i)), item.storedSize, item.optimalSize);
    }
    std::printf("%s: %llu bytes, 11 items after a %zu-byte program, checksum 0x%08X\n", outPath.c_str(),
                (unsigned long long)report.installerSize, report.headSize, unsigned(report.checksum));
    return 0;
}

int RunList(const std::vector<std::string> &args)
{
    if (args.size() != 1)
        return Usage("list", "expected one INSTALLER");
    std::string error;
    InstallerSource src;
    if (!OpenInstaller(args[0], src, error))
        return Fail(error);
    InstallerInfo info;
    std::string problem;
    bool sound = InspectInstallerSource(src, info, problem);
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
    SignatureStatus signature;
    bool signatureRead = ReadInstallerSignature(src, signature);
    std::fclose(src.file);
    bool balanced = info.haveSlot && info.scan.checksum == info.expectedChecksum;
    if (signature.signedFile && !signatureRead)
        std::printf("signature: unreadable: %s\n", signature.problem.c_str());
    else if (signature.signedFile)
        std::printf("signature: signed by %s%s; %s\n", signature.signer.c_str(),
                    signature.nested ? ", with a nested signature" : "",
                    balanced ? "the balance holds" : "NOT balanced");
    else
        std::printf("signature: none\n");
    if (signature.signedFile && signatureRead && !balanced)
        return Fail(args[0] + ": signed but not balanced, so the installer would refuse itself; "
                    "'mksetup balance " + args[0] + " OUT' makes the checksum hold");
    if (!sound)
        return Fail(args[0] + ": not a sound installer: " + problem);
    return 0;
}

long ReadStream(void *ctx, uint8_t *buf, long n)
{
    std::FILE *f = static_cast<std::FILE *>(ctx);
    size_t got = std::fread(buf, 1, size_t(n), f);
    return std::ferror(f) ? -1 : long(got);
}

long WriteStream(void *ctx, const uint8_t *buf, long n)
{
    return std::fwrite(buf, 1, size_t(n), static_cast<std::FILE *>(ctx)) == size_t(n) ? n : -1;
}

// Expands the eleven items all or nothing: every one goes to a temporary file
// first, and only when all are complete are they renamed into place.
bool ExtractAllOrNothing(const InstallerSource &src, const InstallerInfo &info, const std::string &dir,
                         bool dirIsNew, std::string &error)
{
    std::vector<OutputFile> outputs(info.items.size());
    bool ok = true;
    for (size_t i = 0; ok && i < info.items.size(); ++i) {
        std::string path = (std::filesystem::path(dir) / PayloadItemName(int(i))).string();
        ok = CreateOutput(path, outputs[i], error);
        if (!ok)
            break;
        long result = ExpandInstallerItem(src, info.items[i], WriteStream, outputs[i].stream);
        if (result < 0) {
            ok = false;
            error = result == SZDD_ERR_WRITE ? "cannot write '" + path + "': " + std::strerror(errno)
                                             : std::string(PayloadItemName(int(i))) + ": " + SzddErrorText(result);
        }
    }
    size_t committed = 0;
    while (ok && committed < outputs.size()) {
        ok = CommitOutput(outputs[committed], error);
        if (ok)
            ++committed;
    }
    if (ok)
        return true;
    for (size_t i = 0; i < committed; ++i)
        RemoveFile(outputs[i].path);
    for (OutputFile &out : outputs)
        DiscardOutput(out);
    if (dirIsNew) {
        std::error_code ec;
        std::filesystem::remove(dir, ec);  // removes only a folder left empty
    }
    return false;
}

int RunExtract(const std::vector<std::string> &args)
{
    if (args.size() != 2)
        return Usage("extract", "expected INSTALLER and DIR");
    const std::string &dir = args[1];
    std::string error;
    std::error_code ec;
    bool dirIsNew = !std::filesystem::exists(std::filesystem::symlink_status(dir, ec));
    if (!dirIsNew && !std::filesystem::is_directory(dir, ec))
        return Fail("cannot extract into '" + dir + "': it exists and is not a folder");
    for (int i = 0; i < kPayloadItemCount; ++i) {
        std::string path = (std::filesystem::path(dir) / PayloadItemName(i)).string();
        if (!CheckOutputName(path, error) || OutputIsAnInput(path, {args[0]}, error))
            return Fail(error);
    }
    InstallerSource src;
    if (!OpenInstaller(args[0], src, error))
        return Fail(error);
    InstallerInfo info;
    if (!InspectInstallerSource(src, info, error)) {
        SignatureStatus signature;
        if (ReadInstallerSignature(src, signature) && signature.signedFile)
            error += " (the installer is signed but not balanced: 'mksetup balance " + args[0] +
                     " OUT' makes the checksum hold)";
        std::fclose(src.file);
        return Fail(args[0] + ": " + error);
    }
    std::filesystem::create_directories(dir, ec);
    if (ec || !std::filesystem::is_directory(dir)) {
        std::fclose(src.file);
        return Fail("cannot create folder '" + dir + "': " + (ec ? ec.message() : "not a folder"));
    }
    bool ok = ExtractAllOrNothing(src, info, dir, dirIsNew, error);
    std::fclose(src.file);
    if (!ok)
        return Fail(error + "; no file was extracted");
    std::printf("%s: %zu files written\n", dir.c_str(), info.items.size());
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
    long result = SzddExpandCounted(ReadStream, in, WriteStream, out.stream, consumed);
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
    long result = SzddCompressTo(in.data(), in.size(), WriteStream, out.stream);
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

int RunSign(const std::vector<std::string> &args)
{
    SignRequest request;
    std::vector<std::string> files;
    bool optionsEnded = false;
    static const struct {
        const char *option;
        std::string SignRequest::*field;
    } options[] = {{"--cert", &SignRequest::cert}, {"--key", &SignRequest::key},
                   {"--pass-file", &SignRequest::passFile}, {"--name", &SignRequest::name},
                   {"--url", &SignRequest::url}};
    for (size_t i = 0; i < args.size(); ++i) {
        if (optionsEnded || args[i].empty() || args[i][0] != '-' || args[i] == "-") {
            files.push_back(args[i]);
            continue;
        }
        if (args[i] == "--") {
            optionsEnded = true;
            continue;
        }
        bool known = false;
        for (const auto &o : options) {
            if (args[i] != o.option)
                continue;
            if (i + 1 >= args.size())
                return Usage("sign", args[i] + " needs a value");
            if (!(request.*o.field).empty())
                return Usage("sign", args[i] + " given twice");
            request.*o.field = args[++i];
            known = true;
        }
        if (!known)
            return Usage("sign", "unknown option " + args[i]);
    }
    if (request.cert.empty() || request.key.empty())
        return Usage("sign", "--cert and --key are required");
    if (files.size() != 2)
        return Usage("sign", "expected INSTALLER and OUT");
    request.installer = files[0];
    request.out = files[1];
    std::string error;
    std::vector<std::string> inputs = {request.installer, request.cert, request.key};
    if (!request.passFile.empty())
        inputs.push_back(request.passFile);
    if (!CheckOutputName(request.out, error) || OutputIsAnInput(request.out, inputs, error))
        return Fail(error);
    SignOutcome outcome;
    if (!SignInstallerFile(request, outcome, error))
        return Fail(error);
    if (!outcome.codeSigning)
        std::fprintf(stderr, "mksetup: warning: the certificate '%s' does not name the code-signing usage; "
                             "Windows may not accept the signature\n", request.cert.c_str());
    std::printf("%s: %llu bytes, signed by %s, balanced with %zu bytes\n", request.out.c_str(),
                (unsigned long long)outcome.size, outcome.signer.c_str(), outcome.fillerBytes);
    return 0;
}

int RunBalance(const std::vector<std::string> &args)
{
    if (args.size() != 2)
        return Usage("balance", "expected SIGNED and OUT");
    std::string error;
    if (!CheckOutputName(args[1], error) || OutputIsAnInput(args[1], {args[0]}, error))
        return Fail(error);
    SignOutcome outcome;
    if (!BalanceInstallerFile(args[0], args[1], outcome, error))
        return Fail(error);
    std::printf("%s: %llu bytes, signed by %s, balanced with %zu bytes\n", args[1].c_str(),
                (unsigned long long)outcome.size, outcome.signer.c_str(), outcome.fillerBytes);
    return 0;
}

int RunCodec(const char *command, const std::vector<std::string> &args)
{
    if (args.size() != 2)
        return Usage(command, "expected IN and OUT");
    std::string error;
    if (!CheckOutputName(args[1], error) || OutputIsAnInput(args[1], {args[0]}, error))
        return Fail(error);
    if (std::strcmp(command, "expand") == 0)
        return RunExpand(args[0], args[1]);
    return RunCompress(args[0], args[1]);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Fail("no command (see 'mksetup --help')");
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
        {"build", kBuildHelp},       {"list", kListHelp},     {"extract", kExtractHelp},
        {"compress", kCompressHelp}, {"expand", kExpandHelp},   {"sign", kSignHelp},
        {"balance", kBalanceHelp},
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
        if (command == "sign")
            return RunSign(args);
        if (command == "balance")
            return RunBalance(args);
        return RunCodec(c.name, args);
    }
    return Fail("unknown command '" + command + "' (see 'mksetup --help')");
}
