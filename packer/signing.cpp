// Signing and balancing installers from files to files: osslsigncode run in a work
// folder of its own, the balance, and the one write of the result.
#include "packer/signing.h"

#include <cstring>
#include <vector>

#include "format/byte_order.h"
#include "packer/files.h"
#include "packer/program.h"
#include "packer/signature.h"

namespace {

constexpr size_t kPeHeadBytes = 4096;
// A certificate table larger than this is not one osslsigncode writes for us.
constexpr uint32_t kLargestTable = 1u << 20;

const char kSigner[] = "osslsigncode";

// osslsigncode's own words for the failures a publisher can fix, as ours.
std::string SignFailure(const SignRequest &r, const std::string &log)
{
    if (log.find("key values mismatch") != std::string::npos)
        return "the key '" + r.key + "' does not match the certificate '" + r.cert + "'";
    if (log.find("Wrong password") != std::string::npos || log.find("bad decrypt") != std::string::npos ||
        log.find("bad password read") != std::string::npos)
        return r.passFile.empty() ? "the key '" + r.key + "' is protected by a pass phrase: give it with --pass-file"
                                  : "cannot read the key '" + r.key + "' with the pass phrase in '" + r.passFile +
                                        "': wrong pass phrase";
    if (log.find("Failed to read key or certificates") != std::string::npos ||
        log.find("Failed to read certificate") != std::string::npos)
        return "osslsigncode cannot read the certificate '" + r.cert + "' or the key '" + r.key + "'";
    std::string first = log.substr(0, log.find('\n'));
    return "osslsigncode could not sign '" + r.installer + "'" + (first.empty() ? "" : ": " + first);
}

std::string ReadLog(const std::string &path)
{
    std::vector<uint8_t> bytes;
    std::string ignored;
    if (!ReadFileBytes(path, bytes, 1u << 20, ignored))
        return "";
    return std::string(bytes.begin(), bytes.end());
}

// The installer must be sound and not signed yet: signing a signed file would
// stack a second table on the first.
bool CheckUnsignedInstaller(const std::string &path, std::string &error)
{
    std::vector<uint8_t> file;
    if (!ReadFileBytes(path, file, error))
        return false;
    PeSignatureFields pe;
    if (ReadPeSignatureFields(file.data(), file.size(), pe, error) && pe.tableSize != 0) {
        error = path + ": already signed; sign the unsigned installer, or nest a second signature with "
                       "osslsigncode and run 'mksetup balance'";
        return false;
    }
    InstallerInfo info;
    std::string problem;
    if (!InspectInstaller(file.data(), file.size(), info, problem)) {
        error = path + ": not a sound installer: " + problem;
        return false;
    }
    return true;
}

bool BalanceToFile(std::vector<uint8_t> &signedFile, const std::string &name, const std::string &out, bool force,
                   SignOutcome &outcome, std::string &error)
{
    BalancedTable balance;
    if (!BalanceSignedInstaller(signedFile, balance, error)) {
        error = name + ": " + error;
        return false;
    }
    outcome.signer = balance.signature.signer;
    outcome.codeSigning = balance.signature.codeSigning;
    outcome.fillerBytes = balance.fillerBytes;
    ApplyBalance(signedFile, balance);
    outcome.size = signedFile.size() + balance.table.size();
    if (!CheckOutputName(out, force, error))
        return false;
    OutputFile file;
    if (!CreateOutput(out, file, error))
        return false;
    if (!WriteOutput(file, signedFile.data(), signedFile.size(), error) ||
        !WriteOutput(file, balance.table.data(), balance.table.size(), error)) {
        DiscardOutput(file);
        return false;
    }
    return CommitOutput(file, error);
}

}  // namespace

bool SignInstallerFile(const SignRequest &r, SignOutcome &outcome, std::string &error)
{
    if (!FindProgram(kSigner)) {
        error = "osslsigncode is not installed (Debian package osslsigncode)";
        return false;
    }
    std::vector<std::string> inputs = {r.cert, r.key};
    if (!r.passFile.empty())
        inputs.push_back(r.passFile);
    for (const std::string &path : inputs)
        if (!CheckInputFile(path, kLargestTable, error))
            return false;
    if (!CheckUnsignedInstaller(r.installer, error))
        return false;
    std::string work;
    if (!MakeWorkFolder(r.out, work, error))
        return false;
    std::string signedPath = work + "/signed.exe";
    std::string logPath = work + "/osslsigncode.log";
    std::vector<std::string> argv = {kSigner, "sign", "-certs", r.cert, "-key", r.key};
    if (!r.passFile.empty())
        argv.insert(argv.end(), {"-readpass", r.passFile});
    if (!r.name.empty())
        argv.insert(argv.end(), {"-n", r.name});
    if (!r.url.empty())
        argv.insert(argv.end(), {"-i", r.url});
    argv.insert(argv.end(), {"-in", r.installer, "-out", signedPath});
    int code = RunProgram(argv, logPath, error);
    bool ok = code == 0;
    if (code > 0)
        error = SignFailure(r, ReadLog(logPath));
    std::vector<uint8_t> signedFile;
    ok = ok && ReadFileBytes(signedPath, signedFile, error);
    ok = ok && BalanceToFile(signedFile, r.installer, r.out, r.force, outcome, error);
    RemoveWorkFolder(work);
    return ok;
}

bool BalanceInstallerFile(const std::string &in, const std::string &out, bool force, SignOutcome &outcome,
                          std::string &error)
{
    std::vector<uint8_t> signedFile;
    if (!ReadFileBytes(in, signedFile, error))
        return false;
    return BalanceToFile(signedFile, in, out, force, outcome, error);
}

bool ReadInstallerSignature(const InstallerSource &src, SignatureStatus &status)
{
    status = SignatureStatus{};
    uint8_t head[kPeHeadBytes];
    size_t headBytes = src.size < kPeHeadBytes ? size_t(src.size) : kPeHeadBytes;
    PeSignatureFields pe;
    std::string error;
    if (!ReadInstallerAt(src, 0, head, headBytes) || !ReadPeSignatureFields(head, headBytes, pe, error) ||
        pe.tableSize == 0)
        return true;
    status.signedFile = true;
    if (pe.tableOffset > src.size || src.size - pe.tableOffset != pe.tableSize || pe.tableSize > kLargestTable) {
        status.problem = "the certificate table is not at the end of the file";
        return false;
    }
    std::vector<uint8_t> table(pe.tableSize);
    SignatureInfo info;
    if (!ReadInstallerAt(src, pe.tableOffset, table.data(), table.size()) ||
        !ReadSignatureTable(table.data(), table.size(), info, status.problem))
        return false;
    status.signer = info.signer;
    status.nested = info.nested;
    return true;
}
