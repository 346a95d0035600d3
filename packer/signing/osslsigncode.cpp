// The osslsigncode driver: signing and balancing installers from files to files,
// osslsigncode run in a work folder of its own, the balance (packer/signing/balance.cpp)
// applied to its result, and the one write of the output.
#include "packer/signing/osslsigncode.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

#include "format/byte_order.h"
#include "format/payload.h"
#include "packer/files.h"
#include "packer/program.h"
#include "packer/pe_image.h"
#include "packer/signing/balance.h"
#include "packer/signing/der.h"

namespace {

constexpr size_t kPeHeadBytes = 4096;
// osslsigncode pads the file with zeros to 8 bytes before it appends the table.
constexpr uint64_t kLargestTablePadding = 7;

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
    // OpenSSL's error stack (decoder attempts on every key) is noise; the first
    // line of osslsigncode's own is the cause.
    size_t at = 0;
    std::string first;
    while (at < log.size() && first.empty()) {
        size_t end = std::min(log.find('\n', at), log.size());
        std::string line = log.substr(at, end - at);
        at = end + 1;
        if (line.find(":error:") == std::string::npos)
            first = line;
    }
    return "osslsigncode could not sign '" + r.installer + "'" + (first.empty() ? "" : ": " + first);
}

// osslsigncode says only that it cannot write or read its output when the disk
// is full; the room left beside the output tells.
bool DiskFullBeside(const std::string &work, uint64_t needed, std::string &reason)
{
    std::error_code ec;
    std::filesystem::space_info room = std::filesystem::space(work, ec);
    if (ec || room.available >= needed)
        return false;
    reason = std::to_string(room.available) + " bytes free, about " + std::to_string(needed) + " needed";
    return true;
}

std::string ReadLog(const std::string &path)
{
    std::vector<uint8_t> bytes;
    std::string ignored;
    if (!ReadFileBytes(path, bytes, 1u << 20, ignored))
        return "";
    return std::string(bytes.begin(), bytes.end());
}

// The signature fields from a file's first bytes: a file that is not a Windows
// program is refused from its headers, before the rest is read.
bool ReadHeadFields(const InstallerSource &src, const std::string &path, PeSignatureFields &pe, std::string &error)
{
    uint8_t head[kPeHeadBytes];
    size_t headBytes = size_t(std::min<uint64_t>(src.size, kPeHeadBytes));
    if (!ReadInstallerAt(src, 0, head, headBytes)) {
        error = "cannot read '" + path + "': read error";
        return false;
    }
    return ReadPeSignatureFields(head, headBytes, pe, error);
}

// The installer must be sound and not signed yet: signing a signed file would
// stack a second table on the first. It is read as it goes, never held.
bool CheckUnsignedInstaller(const std::string &path, uint64_t &size, PeSignatureFields &pe, std::string &error)
{
    InstallerSource src;
    if (!OpenInstaller(path, src, error))
        return false;
    size = src.size;
    std::string reason;
    InstallerInfo info;
    bool ok = ReadHeadFields(src, path, pe, reason);
    if (ok && pe.tableSize != 0) {
        error = path + ": already signed; sign the unsigned installer, or nest a second signature with "
                       "osslsigncode and run 'mksetup balance'";
        ok = false;
    } else if (!ok || !InspectInstallerSource(src, info, reason)) {
        error = path + ": not a sound installer: " + reason;
        ok = false;
    }
    std::fclose(src.file);
    return ok;
}

// The certificate, key and pass-phrase files are small; their limit is the table's.
bool CheckSigningInput(const std::string &path, std::string &error)
{
    std::FILE *f = nullptr;
    uint64_t size = 0;
    if (!OpenInputFile(path, f, size, error))
        return false;
    std::fclose(f);
    if (size > kLargestCertificateTable) {
        error = "cannot read '" + path + "': " + std::to_string(size) + " bytes, more than the " +
                std::to_string(kLargestCertificateTable) + " a certificate, key or pass-phrase file may hold";
        return false;
    }
    return true;
}

// osslsigncode's output must be the installer with a table appended: the same
// bytes but for the PE checksum and the certificate table's directory entry,
// then at most the padding and the largest table. That is checked as it is read,
// so a wrong output is never read further than the installer's size plus that.
bool ReadSignedCopy(const std::string &signedPath, const std::string &installer, uint64_t installerSize,
                    const PeSignatureFields &pe, std::vector<uint8_t> &signedFile, std::string &error)
{
    InstallerSource out;
    std::string ignored;
    if (!OpenInstaller(signedPath, out, ignored)) {
        error = "osslsigncode reported success but wrote no signed copy of '" + installer + "'";
        return false;
    }
    bool ok = true;
    if (out.size == 0) {
        error = "osslsigncode wrote an empty file instead of a signed copy of '" + installer + "'";
        ok = false;
    } else if (out.size <= installerSize) {
        error = "osslsigncode wrote " + std::to_string(out.size) + " bytes, no more than the " +
                std::to_string(installerSize) + " of '" + installer + "' itself: no signature was appended";
        ok = false;
    } else if (out.size - installerSize > kLargestTablePadding + kLargestCertificateTable) {
        error = "osslsigncode wrote " + std::to_string(out.size) + " bytes, more than '" + installer +
                "' with the largest certificate table (" + std::to_string(kLargestCertificateTable) + " bytes)";
        ok = false;
    }
    InstallerSource in{nullptr, nullptr, 0};
    ok = ok && OpenInstaller(installer, in, error);
    if (ok && in.size != installerSize) {
        error = "'" + installer + "' changed while it was signed";
        ok = false;
    }
    if (ok) {
        try {
            signedFile.resize(size_t(out.size));
        } catch (const std::bad_alloc &) {
            error = "not enough memory to hold the signed copy of '" + installer + "' (" + std::to_string(out.size) +
                    " bytes)";
            ok = false;
        }
    }
    std::vector<uint8_t> original(kPeHeadBytes * 16);
    for (uint64_t at = 0; ok && at < out.size; at += original.size()) {
        size_t n = size_t(std::min<uint64_t>(original.size(), out.size - at));
        if (!ReadInstallerAt(out, at, signedFile.data() + at, n)) {
            error = "osslsigncode's signed copy of '" + installer + "' cannot be read";
            ok = false;
            break;
        }
        if (at >= installerSize)
            continue;
        size_t compare = size_t(std::min<uint64_t>(n, installerSize - at));
        if (!ReadInstallerAt(in, at, original.data(), compare)) {
            error = "cannot read '" + installer + "': read error";
            ok = false;
            break;
        }
        for (size_t i = 0; i < compare; ++i) {
            uint64_t offset = at + i;
            bool patched = (offset >= pe.checksumOffset && offset < pe.checksumOffset + 4) ||
                           (offset >= pe.directoryOffset && offset < pe.directoryOffset + 8);
            if (!patched && signedFile[i + at] != original[i]) {
                error = "osslsigncode's output differs from '" + installer + "' at offset " + std::to_string(offset) +
                        ": it must only append a signature";
                ok = false;
                break;
            }
        }
    }
    if (in.file != nullptr)
        std::fclose(in.file);
    std::fclose(out.file);
    if (!ok)
        std::vector<uint8_t>().swap(signedFile);
    return ok;
}

// `cert`, when given, is the certificate file a refusal for its own bytes names.
bool BalanceToFile(std::vector<uint8_t> &signedFile, const std::string &name, const std::string &cert,
                   const std::string &out, bool force, SignOutcome &outcome, std::string &error)
{
    BalancedTable balance;
    if (!BalanceSignedInstaller(signedFile, balance, error)) {
        bool certificate = balance.markerIn == SIGNATURE_PART_CERTIFICATE && !cert.empty();
        error = (certificate ? cert : name) + ": " + error;
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
        if (!CheckSigningInput(path, error))
            return false;
    uint64_t installerSize = 0;
    PeSignatureFields pe;
    if (!CheckUnsignedInstaller(r.installer, installerSize, pe, error))
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
    int code = RunProgram(argv, logPath, r.timeoutSeconds ? r.timeoutSeconds : kDefaultSignTimeout, error);
    bool ok = code == 0;
    std::string room;
    if (code > 0) {
        error = SignFailure(r, ReadLog(logPath));
        if (error.rfind("osslsigncode could not sign", 0) == 0 &&
            DiskFullBeside(work, installerSize + kLargestCertificateTable, room))
            error = "osslsigncode could not write the signed copy of '" + r.installer + "': the disk holding '" +
                    r.out + "' is full (" + room + ")";
    }
    std::vector<uint8_t> signedFile;
    ok = ok && ReadSignedCopy(signedPath, r.installer, installerSize, pe, signedFile, error);
    // The work folder goes before the balance; an interruption held meanwhile ends the program here.
    RemoveWorkFolder(work);
    return ok && BalanceToFile(signedFile, r.installer, r.cert, r.out, r.force, outcome, error);
}

bool BalanceInstallerFile(const std::string &in, const std::string &out, bool force, SignOutcome &outcome,
                          std::string &error)
{
    // The headers decide before the whole file is read.
    InstallerSource src;
    if (!OpenInstaller(in, src, error))
        return false;
    PeSignatureFields pe;
    bool ok = ReadHeadFields(src, in, pe, error) && CheckTablePlace(pe, src.size, error) &&
              CheckTableSize(pe.tableSize, error);
    std::fclose(src.file);
    if (!ok) {
        error = in + ": " + error;
        return false;
    }
    std::vector<uint8_t> signedFile;
    if (!ReadFileBytes(in, signedFile, error))
        return false;
    return BalanceToFile(signedFile, in, "", out, force, outcome, error);
}

bool ReadInstallerSignature(const InstallerSource &src, SignatureStatus &status)
{
    status = SignatureStatus{};
    PeSignatureFields pe;
    std::string error;
    if (!ReadHeadFields(src, "", pe, error) || pe.tableSize == 0)
        return true;
    status.signedFile = true;
    status.tableOffset = pe.tableOffset;
    if (!CheckTablePlace(pe, src.size, status.problem) || !CheckTableSize(pe.tableSize, status.problem))
        return false;
    std::vector<uint8_t> table(pe.tableSize);
    SignatureInfo info;
    if (!ReadInstallerAt(src, pe.tableOffset, table.data(), table.size())) {
        status.problem = "the certificate table cannot be read";
        return false;
    }
    if (!ReadSignatureTable(table.data(), table.size(), info, status.problem))
        return false;
    status.signer = info.signer;
    status.nested = info.nested;
    return true;
}

bool BalanceWouldMend(const InstallerSource &src, const InstallerInfo &whole)
{
    SignatureStatus status;
    return ReadInstallerSignature(src, status) && BalanceWouldMend(src, status, whole);
}

bool BalanceWouldMend(const InstallerSource &src, const SignatureStatus &status, const InstallerInfo &whole)
{
    if (!status.signedFile || whole.scan.items.size() != size_t(kPayloadItemCount))
        return false;
    InstallerSource front = src;
    front.size = status.tableOffset;
    InstallerInfo info;
    std::string ignored;
    return InspectInstallerSource(front, info, ignored);
}
