// Signed installers: the demo installer signed by `mksetup sign`, or by osslsigncode
// and then balanced, verifies as Authenticode and keeps its payload checksum; the
// refusals leave nothing behind. Certificates are made by openssl at test time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "format/byte_order.h"
#include "format/payload.h"
#include "packer/installer_reader.h"
#include "packer/pe_image.h"
#include "packer/scan_replay.h"
#include "packer/signing/balance.h"
#include "tests/mksetup_run.h"
#include "tests/test_files.h"

namespace fs = std::filesystem;

namespace {

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Where a signed file keeps its certificate table, or why the file is no Windows program.
::testing::AssertionResult ReadsSignatureFields(const std::vector<uint8_t> &file, PeSignatureFields &pe)
{
    pe = PeSignatureFields{};
    std::string error;
    if (ReadPeSignatureFields(file.data(), file.size(), pe, error))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << error;
}

class SignedInstaller : public ::testing::Test {
protected:
    static fs::path dir_;
    static std::string tool_;
    static fs::path demo_;

    // One CA, a code-signing certificate it issued, a certificate without that
    // usage, a key that matches neither, and a key behind a pass phrase.
    static void SetUpTestSuite()
    {
        const char *tool = std::getenv("SETUP32_MKSETUP");
        const char *demo = std::getenv("SETUP32_DEMO_DIR");
        ASSERT_NE(tool, nullptr) << "SETUP32_MKSETUP is not set";
        ASSERT_NE(demo, nullptr) << "SETUP32_DEMO_DIR is not set";
        tool_ = tool;
        demo_ = demo;
        ASSERT_TRUE(fs::exists(demo_ / "setup32.exe")) << demo_ / "setup32.exe"
                                                       << " is missing: scripts/build.sh makes the demo installer";
        dir_ = fs::temp_directory_path() / ("signing_test_" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        WriteWholeFile((dir_ / "code.ext").string(), std::string("extendedKeyUsage=codeSigning\n"));
        WriteWholeFile((dir_ / "plain.ext").string(), std::string("keyUsage=digitalSignature\n"));
        WriteWholeFile((dir_ / "pass.txt").string(), std::string("secret\n"));
        WriteWholeFile((dir_ / "wrong.txt").string(), std::string("not the pass phrase\n"));
        const char *steps[] = {
            "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj '/CN=Ovra Test CA'"
            " -addext basicConstraints=critical,CA:true -addext keyUsage=critical,keyCertSign,cRLSign",
            "openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj '/CN=Ovra Test Publisher/O=Ovra'",
            "openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile code.ext"
            " -out signer.pem",
            "openssl req -newkey rsa:2048 -nodes -keyout plain.key -out plain.csr -subj '/CN=Ovra Plain'",
            "openssl x509 -req -in plain.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile plain.ext"
            " -out plain.pem",
            "openssl genrsa -out other.key 2048",
            "openssl genrsa -aes256 -passout pass:secret -out locked.key 2048",
            "openssl req -new -key locked.key -passin pass:secret -out locked.csr -subj '/CN=Ovra Locked'",
            "openssl x509 -req -in locked.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 -extfile code.ext"
            " -out locked.pem",
        };
        for (const char *step : steps)
            ASSERT_EQ(Sh(std::string(step) + " >>openssl.log 2>&1"), 0) << step << "\n"
                                                                        << ReadWholeText(dir_ / "openssl.log");
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }

    static int Sh(const std::string &command) { return ShellIn(dir_, command); }

    // mksetup in the suite's folder; `prefix` runs before it in the same shell.
    static ToolRun Tool(const std::string &args, const std::string &prefix = "")
    {
        return MksetupIn(tool_, dir_, args, prefix);
    }

    static std::string Demo() { return "'" + (demo_ / "setup32.exe").string() + "'"; }

    // Everything a publisher and a user rely on in a signed installer.
    static void ExpectSoundSignedInstaller(const std::string &name, const std::string &signer)
    {
        SCOPED_TRACE(name);
        ASSERT_EQ(Sh("osslsigncode verify -CAfile ca.pem -in " + name + " >verify.txt 2>&1"), 0)
            << ReadWholeText(dir_ / "verify.txt");
        std::string verify = ReadWholeText(dir_ / "verify.txt");
        EXPECT_TRUE(Contains(verify, "Signature verification: ok")) << verify;
        EXPECT_FALSE(Contains(verify, "invalid PE checksum")) << verify;
        EXPECT_FALSE(Contains(verify, "MISMATCH")) << verify;

        // The certificate table: at the end, one entry, nothing after the DER blob
        // but zero padding to 8 bytes.
        std::vector<uint8_t> file = ReadWholeFile((dir_ / name).string());
        ASSERT_GT(file.size(), 0x200u);
        PeSignatureFields pe;
        ASSERT_TRUE(ReadsSignatureFields(file, pe));
        uint32_t tableAt = pe.tableOffset;
        uint32_t tableSize = pe.tableSize;
        ASSERT_EQ(size_t(tableAt) + tableSize, file.size());
        uint32_t entryLength = ReadLe32(&file[tableAt]);
        const uint8_t *der = &file[tableAt + 8];
        ASSERT_EQ(der[0], 0x30);
        ASSERT_EQ(der[1] & 0x80, 0x80);
        size_t count = der[1] & 0x7F, length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | der[2 + i];
        size_t blob = 2 + count + length;
        EXPECT_EQ(entryLength, 8 + blob);
        EXPECT_EQ(tableSize, (8 + blob + 7) & ~size_t(7));
        for (size_t i = tableAt + 8 + blob; i < file.size(); ++i)
            EXPECT_EQ(file[i], 0) << "byte " << i << " after the blob";

        ToolRun list = Tool("list " + name);
        EXPECT_EQ(list.status, 0) << list.out << list.err;
        EXPECT_TRUE(Contains(list.out, ": match")) << list.out;
        EXPECT_TRUE(Contains(list.out, "signed by " + signer)) << list.out;
        EXPECT_TRUE(Contains(list.out, "the balance holds")) << list.out;

        ToolRun extract = Tool("extract " + name + " x");
        ASSERT_EQ(extract.status, 0) << extract.err;
        for (int i = 0; i < kPayloadItemCount; ++i)
            EXPECT_EQ(ReadWholeText(dir_ / "x" / PayloadItemName(i)),
                      ReadWholeText(demo_ / "payload" / PayloadItemName(i)))
                << PayloadItemName(i);
        fs::remove_all(dir_ / "x");
    }
};

fs::path SignedInstaller::dir_;
std::string SignedInstaller::tool_;
fs::path SignedInstaller::demo_;

TEST_F(SignedInstaller, SignedByMksetupVerifiesAndInstallsItsPayload)
{
    ToolRun sign = Tool("sign --cert signer.pem --key signer.key --name Ovra --url https://ovra.example " + Demo() +
                        " signed.exe");
    ASSERT_EQ(sign.status, 0) << sign.err;
    EXPECT_EQ(sign.err, "");
    EXPECT_TRUE(Contains(sign.out, "signed by CN=Ovra Test Publisher, O=Ovra")) << sign.out;
    ExpectSoundSignedInstaller("signed.exe", "CN=Ovra Test Publisher, O=Ovra");

    // Balancing again replaces the attribute rather than adding one: same bytes.
    ASSERT_EQ(Tool("balance signed.exe again.exe").status, 0);
    EXPECT_EQ(ReadWholeText(dir_ / "again.exe"), ReadWholeText(dir_ / "signed.exe"));

    // A key behind a pass phrase, given in a file.
    ToolRun locked = Tool("sign --cert locked.pem --key locked.key --pass-file pass.txt " + Demo() + " locked.exe");
    ASSERT_EQ(locked.status, 0) << locked.err;
    ExpectSoundSignedInstaller("locked.exe", "CN=Ovra Locked");
    EXPECT_EQ(Leftovers(dir_), "");
}

TEST_F(SignedInstaller, SignedElsewhereIsRefusedUntilBalanced)
{
    ASSERT_EQ(Sh("osslsigncode sign -certs signer.pem -key signer.key -in " + Demo() + " -out raw.exe >sign.log 2>&1"),
              0)
        << ReadWholeText(dir_ / "sign.log");
    // The fault the balance mends: the installer would refuse itself.
    ToolRun list = Tool("list raw.exe");
    EXPECT_NE(list.status, 0);
    EXPECT_TRUE(Contains(list.out, "NOT balanced")) << list.out;
    EXPECT_TRUE(Contains(list.err, "mksetup balance raw.exe OUT")) << list.err;
    ToolRun extract = Tool("extract raw.exe x");
    EXPECT_NE(extract.status, 0);
    EXPECT_TRUE(Contains(extract.err, "not balanced")) << extract.err;
    EXPECT_FALSE(fs::exists(dir_ / "x"));

    ToolRun balance = Tool("balance raw.exe balanced.exe");
    ASSERT_EQ(balance.status, 0) << balance.err;
    ExpectSoundSignedInstaller("balanced.exe", "CN=Ovra Test Publisher, O=Ovra");
}

TEST_F(SignedInstaller, NestedSignatureIsBalancedTheSameWay)
{
    ASSERT_EQ(Tool("sign --cert signer.pem --key signer.key " + Demo() + " first.exe").status, 0);
    ASSERT_EQ(Sh("osslsigncode sign -nest -h sha1 -certs locked.pem -key locked.key -pass secret -in first.exe"
                 " -out nested.exe >nest.log 2>&1"),
              0)
        << ReadWholeText(dir_ / "nest.log");
    ToolRun list = Tool("list nested.exe");
    EXPECT_NE(list.status, 0);
    EXPECT_TRUE(Contains(list.out, "with a nested signature; NOT balanced")) << list.out;
    ASSERT_EQ(Tool("balance nested.exe nested-balanced.exe").status, 0);
    ExpectSoundSignedInstaller("nested-balanced.exe", "CN=Ovra Test Publisher, O=Ovra");
    ASSERT_EQ(Sh("osslsigncode verify -CAfile ca.pem -in nested-balanced.exe >nested.txt 2>&1"), 0);
    EXPECT_TRUE(Contains(ReadWholeText(dir_ / "nested.txt"), "Number of verified signatures: 2"))
        << ReadWholeText(dir_ / "nested.txt");
}

TEST_F(SignedInstaller, CertificateWithoutCodeSigningUsageIsWarnedAbout)
{
    ToolRun sign = Tool("sign --cert plain.pem --key plain.key " + Demo() + " plain.exe");
    ASSERT_EQ(sign.status, 0) << sign.err;
    EXPECT_TRUE(Contains(sign.err, "warning: the certificate 'plain.pem' does not name the code-signing usage"))
        << sign.err;
    EXPECT_EQ(std::count(sign.err.begin(), sign.err.end(), '\n'), 1) << sign.err;
}

// A signature whose bytes spell the marker would start a twelfth item.
TEST_F(SignedInstaller, SignatureThatSpellsTheMarkerIsNeverWritten)
{
    ASSERT_EQ(
        Sh("osslsigncode sign -certs signer.pem -key signer.key -in " + Demo() + " -out raw2.exe >/dev/null 2>&1"), 0);
    std::vector<uint8_t> file = ReadWholeFile((dir_ / "raw2.exe").string());
    PeSignatureFields pe;
    ASSERT_TRUE(ReadsSignatureFields(file, pe));
    uint32_t tableAt = pe.tableOffset;
    uint32_t entryLength = ReadLe32(&file[tableAt]);
    // The last bytes of the blob are the signature value's (no unsigned attributes yet).
    char marker[4];
    BuildMarker(marker);
    std::copy(marker, marker + 4, file.begin() + tableAt + entryLength - 4);
    ASSERT_TRUE(WriteWholeFile((dir_ / "spelled.exe").string(), file));
    ToolRun balance = Tool("balance spelled.exe spelled-out.exe");
    EXPECT_NE(balance.status, 0);
    EXPECT_TRUE(Contains(balance.err, "spells the item marker")) << balance.err;
    EXPECT_FALSE(fs::exists(dir_ / "spelled-out.exe"));
    EXPECT_EQ(Leftovers(dir_), "");
}

struct Refusal {
    const char *what;
    std::string args;
    const char *prefix;  // run before the tool, in the same shell
    const char *message;
};

TEST_F(SignedInstaller, RefusalsSayWhyAndWriteNothing)
{
    ASSERT_EQ(
        Sh("osslsigncode sign -certs signer.pem -key signer.key -in " + Demo() + " -out already.exe >/dev/null 2>&1"),
        0);
    const std::string demo = Demo();
    const Refusal cases[] = {
        {"key of another certificate", "sign --cert signer.pem --key other.key " + demo + " out.exe", "",
         "the key 'other.key' does not match the certificate 'signer.pem'"},
        {"wrong pass phrase", "sign --cert locked.pem --key locked.key --pass-file wrong.txt " + demo + " out.exe", "",
         "wrong pass phrase"},
        {"pass phrase missing", "sign --cert locked.pem --key locked.key " + demo + " out.exe", "",
         "is protected by a pass phrase: give it with --pass-file"},
        {"certificate missing", "sign --cert none.pem --key signer.key " + demo + " out.exe", "", "none.pem"},
        {"not an installer", "sign --cert signer.pem --key signer.key ca.pem out.exe", "", "not a sound installer"},
        {"signed already", "sign --cert signer.pem --key signer.key already.exe out.exe", "", "already signed"},
        {"osslsigncode missing", "sign --cert signer.pem --key signer.key " + demo + " out.exe",
         "env PATH=/nonexistent", "osslsigncode is not installed (Debian package osslsigncode)"},
        {"balance of a file that is not a program", "balance ca.pem out.exe", "", "not a Windows program"},
        {"balance of an unsigned installer", "balance " + demo + " out.exe", "", "the file is not signed"},
        {"output is the input", "balance already.exe already.exe", "", "already.exe"},
        {"sign without a key", "sign --cert signer.pem " + demo + " out.exe", "", "--cert and --key are required"},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.what);
        ToolRun r = Tool(c.args, c.prefix);
        EXPECT_NE(r.status, 0);
        EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
        EXPECT_EQ(Leftovers(dir_), "");
    }
}

// The table is untrusted input: every cut of it is refused with a reason, under
// the sanitizers, and nothing is balanced.
TEST_F(SignedInstaller, DamagedCertificateTablesAreRefused)
{
    ASSERT_EQ(Sh("osslsigncode sign -certs signer.pem -key signer.key -in " + Demo() + " -out cut.exe >/dev/null 2>&1"),
              0);
    std::vector<uint8_t> file = ReadWholeFile((dir_ / "cut.exe").string());
    PeSignatureFields pe;
    ASSERT_TRUE(ReadsSignatureFields(file, pe));
    std::string error;
    BalancedTable balance;
    ASSERT_TRUE(BalanceSignedInstaller(file, balance, error)) << error;
    for (uint32_t keep = 0; keep < pe.tableSize; keep += 7) {
        std::vector<uint8_t> cut(file.begin(), file.begin() + pe.tableOffset + keep);
        WriteLe32(&cut[pe.directoryOffset + 4], keep);
        error.clear();
        EXPECT_FALSE(BalanceSignedInstaller(cut, balance, error)) << "table cut to " << keep;
        EXPECT_FALSE(error.empty()) << "table cut to " << keep;
    }
}

// An installer cut before it was signed, then signed as it is by osslsigncode: the
// table would be read as part of the cut item, and balancing it would make the
// damage look sound. balance and sign refuse it, naming the damage; list and
// extract send nobody to balance it.
TEST_F(SignedInstaller, InstallerDamagedBeforeSigningIsNeverBalanced)
{
    std::vector<uint8_t> demo = ReadWholeFile((demo_ / "setup32.exe").string());
    InstallerInfo info;
    std::string problem;
    ASSERT_TRUE(InspectInstaller(demo.data(), demo.size(), info, problem)) << problem;
    struct Case {
        const char *name;
        size_t keep;
        const char *cause;
    };
    const Case cases[] = {
        {"cut inside the last item", info.items[10].offset + info.items[10].storedSize / 2,
         "item 10 (links.ini) is not a complete compressed file"},
        {"cut inside an item's header", info.items[5].offset + 7, "item 5 (changes.txt) is not a complete"},
        {"cut inside the tail", demo.size() - 3, "its tail (OvraEnd and the adjust byte) is missing or cut short"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir_ / "cut-signed.exe");  // osslsigncode writes no existing output
        ASSERT_TRUE(WriteWholeFile((dir_ / "cut.exe").string(), demo.data(), c.keep));
        ASSERT_EQ(
            Sh("osslsigncode sign -certs signer.pem -key signer.key -in cut.exe -out cut-signed.exe >/dev/null 2>&1"),
            0);
        ToolRun balance = Tool("balance cut-signed.exe out.exe");
        EXPECT_EQ(balance.status, 1);
        EXPECT_TRUE(Contains(balance.err, "cut-signed.exe: the installer was not sound when it was signed: "))
            << balance.err;
        EXPECT_TRUE(Contains(balance.err, c.cause)) << balance.err;
        EXPECT_EQ(std::count(balance.err.begin(), balance.err.end(), '\n'), 1) << balance.err;
        EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
        for (const std::string &command : {"list cut-signed.exe", "extract cut-signed.exe x"}) {
            ToolRun r = Tool(command);
            EXPECT_EQ(r.status, 1) << command;
            EXPECT_FALSE(Contains(r.err, "mksetup balance")) << command << ": " << r.err;
            EXPECT_FALSE(Contains(r.out, "the balance holds")) << command << ": " << r.out;
        }
        EXPECT_FALSE(fs::exists(dir_ / "x"));
        EXPECT_EQ(Leftovers(dir_), "");
    }
}

// A certificate whose subject spells the marker: every signature with it would,
// so the refusal names the certificate and asks for another, never to sign again.
TEST_F(SignedInstaller, CertificateThatSpellsTheMarkerIsNamed)
{
    ASSERT_EQ(
        Sh("openssl req -x509 -newkey rsa:2048 -nodes -keyout szdd.key -out szdd.pem -days 30 -subj '/CN=SZDD Corp'"
           " -addext extendedKeyUsage=codeSigning >/dev/null 2>&1"),
        0);
    ToolRun sign = Tool("sign --cert szdd.pem --key szdd.key " + Demo() + " out.exe");
    EXPECT_EQ(sign.status, 1);
    EXPECT_TRUE(Contains(sign.err, "mksetup: szdd.pem: the certificate 'CN=SZDD Corp'")) << sign.err;
    EXPECT_TRUE(Contains(sign.err, "twelfth item, so it needs another certificate")) << sign.err;
    EXPECT_FALSE(Contains(sign.err, "sign again")) << sign.err;
    EXPECT_EQ(std::count(sign.err.begin(), sign.err.end(), '\n'), 1) << sign.err;
    EXPECT_FALSE(fs::exists(dir_ / "out.exe"));

    ASSERT_EQ(
        Sh("osslsigncode sign -certs szdd.pem -key szdd.key -in " + Demo() + " -out szdd-signed.exe >/dev/null 2>&1"),
        0);
    ToolRun balance = Tool("balance szdd-signed.exe out.exe");
    EXPECT_EQ(balance.status, 1);
    EXPECT_TRUE(Contains(balance.err, "szdd-signed.exe: the certificate 'CN=SZDD Corp'")) << balance.err;
    EXPECT_TRUE(Contains(balance.err, "needs another certificate")) << balance.err;
    EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
    EXPECT_EQ(Leftovers(dir_), "");
}

// A stand-in for osslsigncode, first on PATH, doing what FAKE_SIGNER says.
void WriteStandInSigner(const fs::path &dir)
{
    fs::create_directories(dir / "fake");
    WriteWholeFile((dir / "fake" / "osslsigncode").string(), std::string(R"(#!/bin/sh
out=; in=
while [ $# -gt 0 ]; do
    case "$1" in -out) out=$2; shift ;; -in) in=$2; shift ;; esac
    shift
done
case "$FAKE_SIGNER" in
hang) echo $$ >"$FAKE_PIDS"; sleep 1000 & echo $! >>"$FAKE_PIDS"; wait ;;
empty) : >"$out" ;;
none) ;;
huge) truncate -s 2G "$out" ;;
changed) cp "$in" "$out"; printf 'XXXX' | dd of="$out" bs=1 seek=1000 conv=notrunc 2>/dev/null
         head -c 2000 /dev/zero >>"$out" ;;
esac
)"));
    ::chmod((dir / "fake" / "osslsigncode").c_str(), 0755);
}

// True while any process named in the file still runs (a zombie has ended).
bool AnyRunningNow(const fs::path &pids)
{
    std::string text = ReadWholeText(pids);
    size_t at = 0;
    bool running = false;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string pid = text.substr(at, end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        std::string stat = ReadWholeText(fs::path("/proc") / pid / "stat");
        size_t close = stat.rfind(')');
        if (!pid.empty() && close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z')
            running = true;
    }
    return running;
}

// A process sent SIGKILL takes a moment to end: up to 5 s are allowed.
bool AnyRunning(const fs::path &pids)
{
    for (int i = 0; i < 100 && AnyRunningNow(pids); ++i)
        ::usleep(50 * 1000);
    return AnyRunningNow(pids);
}

// An osslsigncode that hangs is stopped after the time limit, and on an
// interruption, with everything it started; its work folder goes with it and
// the one line says what happened.
TEST_F(SignedInstaller, HangingSignerIsStoppedWithItsWorkFolder)
{
    WriteStandInSigner(dir_);
    const std::string fake = "env PATH=" + (dir_ / "fake").string() + ":$PATH FAKE_SIGNER=hang FAKE_PIDS=pids";
    ToolRun timed = Tool("sign --timeout 1 --cert signer.pem --key signer.key " + Demo() + " out.exe", fake);
    EXPECT_EQ(timed.status, 1);
    EXPECT_TRUE(Contains(timed.err, "osslsigncode did not finish within 1 second and was stopped")) << timed.err;
    EXPECT_EQ(std::count(timed.err.begin(), timed.err.end(), '\n'), 1) << timed.err;
    EXPECT_FALSE(AnyRunning(dir_ / "pids")) << ReadWholeText(dir_ / "pids");
    EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
    EXPECT_EQ(Leftovers(dir_), "");

    fs::remove(dir_ / "pids");
    int status = Sh(fake + " '" + tool_ + "' sign --cert signer.pem --key signer.key " + Demo() +
                    " out.exe 2>err.txt & tool=$!; n=0; while [ ! -s pids ] && [ $n -lt 200 ]; do sleep 0.05;"
                    " n=$((n+1)); done; sleep 0.2; kill -TERM $tool; wait $tool");
    std::string err = ReadWholeText(dir_ / "err.txt");
    fs::remove(dir_ / "err.txt");
    EXPECT_EQ(status, 143);
    EXPECT_EQ(err, "mksetup: interrupted by SIGTERM; nothing unfinished was left behind\n");
    EXPECT_FALSE(AnyRunning(dir_ / "pids")) << ReadWholeText(dir_ / "pids");
    EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
    EXPECT_EQ(Leftovers(dir_), "");
}

// What osslsigncode wrote is checked before it is read: it must be the installer
// with a table appended. A wrong output is blamed on osslsigncode, in one line.
TEST_F(SignedInstaller, WrongSignerOutputIsBlamedOnTheSigner)
{
    WriteStandInSigner(dir_);
    struct Case {
        const char *mode;
        const char *message;
    };
    const Case cases[] = {
        {"empty", "osslsigncode wrote an empty file instead of a signed copy of"},
        {"none", "osslsigncode reported success but wrote no signed copy of"},
        {"huge", "osslsigncode wrote 2147483648 bytes, more than"},
        {"changed", "osslsigncode's output differs from"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        ToolRun r = Tool("sign --cert signer.pem --key signer.key " + Demo() + " out.exe",
                         "ulimit -v 1000000; env PATH=" + (dir_ / "fake").string() + ":$PATH FAKE_SIGNER=" + c.mode);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
        EXPECT_EQ(Leftovers(dir_), "");
    }
}

// Output names up to the longest a folder takes work for sign as for build.
TEST_F(SignedInstaller, LongOutputNamesAreSigned)
{
    for (size_t length : {244u, 250u, 255u}) {
        SCOPED_TRACE(length);
        std::string name = std::string(length - 4, 'n') + ".exe";
        ToolRun r = Tool("sign --cert signer.pem --key signer.key " + Demo() + " " + name);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(fs::exists(dir_ / name));
        fs::remove(dir_ / name);
        EXPECT_EQ(Leftovers(dir_), "");
    }
}

// DER length header.
std::vector<uint8_t> DerHead(uint8_t tag, size_t length)
{
    std::vector<uint8_t> head = {tag};
    if (length < 0x80) {
        head.push_back(uint8_t(length));
        return head;
    }
    std::vector<uint8_t> bytes;
    for (size_t v = length; v != 0; v >>= 8)
        bytes.insert(bytes.begin(), uint8_t(v));
    head.push_back(uint8_t(0x80 | bytes.size()));
    head.insert(head.end(), bytes.begin(), bytes.end());
    return head;
}

// The element at p rebuilt with `extra` appended to the element `depth` levels
// down its chain of last children.
std::vector<uint8_t> GrowLast(const uint8_t *p, int depth, const std::vector<uint8_t> &extra)
{
    size_t length = p[1], header = 2;
    if (length & 0x80) {
        size_t count = length & 0x7F;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | p[2 + i];
        header = 2 + count;
    }
    std::vector<uint8_t> contents(p + header, p + header + length);
    if (depth == 0) {
        contents.insert(contents.end(), extra.begin(), extra.end());
    } else {
        size_t last = 0;
        for (size_t at = 0; at < contents.size();) {
            last = at;
            size_t l = contents[at + 1], h = 2;
            if (l & 0x80) {
                size_t count = l & 0x7F;
                l = 0;
                for (size_t i = 0; i < count; ++i)
                    l = (l << 8) | contents[at + 2 + i];
                h = 2 + count;
            }
            at += h + l;
        }
        std::vector<uint8_t> child = GrowLast(contents.data() + last, depth - 1, extra);
        contents.resize(last);
        contents.insert(contents.end(), child.begin(), child.end());
    }
    std::vector<uint8_t> out = DerHead(p[0], contents.size());
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

// One limit for the certificate table in every command: a table past it is
// neither balanced nor listed as sound, and list fails whenever it cannot read
// a signature, saying so rather than only that the checksum differs.
TEST_F(SignedInstaller, CertificateTablesHaveOneLimitAndUnreadableOnesFailList)
{
    ASSERT_EQ(
        Sh("osslsigncode sign -certs signer.pem -key signer.key -in " + Demo() + " -out raw3.exe >/dev/null 2>&1"), 0);
    std::vector<uint8_t> file = ReadWholeFile((dir_ / "raw3.exe").string());
    PeSignatureFields place;
    EXPECT_TRUE(ReadsSignatureFields(file, place));
    // An unsigned attribute of 2 MiB: contentInfo, [0], signedData, signerInfos, signerInfo.
    std::vector<uint8_t> value(2u << 20, 0x01);
    std::vector<uint8_t> octets = DerHead(0x04, value.size());
    octets.insert(octets.end(), value.begin(), value.end());
    std::vector<uint8_t> set = DerHead(0x31, octets.size());
    set.insert(set.end(), octets.begin(), octets.end());
    std::vector<uint8_t> attribute = {0x06, 0x03, 0x2A, 0x03, 0x04};
    attribute.insert(attribute.end(), set.begin(), set.end());
    std::vector<uint8_t> sequence = DerHead(0x30, attribute.size());
    sequence.insert(sequence.end(), attribute.begin(), attribute.end());
    std::vector<uint8_t> unsignedAttrs = DerHead(0xA1, sequence.size());
    unsignedAttrs.insert(unsignedAttrs.end(), sequence.begin(), sequence.end());
    std::vector<uint8_t> blob = GrowLast(&file[place.tableOffset + 8], 4, unsignedAttrs);
    std::vector<uint8_t> big(file.begin(), file.begin() + place.tableOffset + 8);
    big.insert(big.end(), blob.begin(), blob.end());
    WriteLe32(&big[place.tableOffset], uint32_t(8 + blob.size()));
    big.resize((big.size() + 7) & ~size_t(7), 0);
    WriteLe32(&big[place.directoryOffset + 4], uint32_t(big.size() - place.tableOffset));
    ASSERT_TRUE(WriteWholeFile((dir_ / "big-table.exe").string(), big));

    ToolRun balance = Tool("balance big-table.exe out.exe");
    EXPECT_EQ(balance.status, 1);
    EXPECT_TRUE(Contains(balance.err, "big-table.exe: the certificate table holds")) << balance.err;
    EXPECT_TRUE(Contains(balance.err, "more than the 1048576 mksetup reads")) << balance.err;
    EXPECT_FALSE(fs::exists(dir_ / "out.exe"));

    // A balanced installer whose table revision is changed: with a compensating
    // change four bytes on, its checksum still holds.
    ASSERT_EQ(Tool("sign --cert signer.pem --key signer.key " + Demo() + " signed3.exe").status, 0);
    std::vector<uint8_t> good = ReadWholeFile((dir_ / "signed3.exe").string());
    PeSignatureFields at;
    EXPECT_TRUE(ReadsSignatureFields(good, at));
    std::vector<uint8_t> revised = good;
    revised[at.tableOffset + 4] += 1;
    revised[at.tableOffset + 8] -= 1;
    ASSERT_TRUE(WriteWholeFile((dir_ / "revised.exe").string(), revised));
    std::vector<uint8_t> broken = good;
    broken[at.tableOffset + 4] += 1;
    ASSERT_TRUE(WriteWholeFile((dir_ / "broken.exe").string(), broken));
    struct Case {
        const char *name;
        const char *file;
        const char *message;
    };
    const Case cases[] = {
        {"table past the limit", "big-table.exe",
         "big-table.exe: the signature cannot be read: the certificate table holds"},
        {"checksum holds", "revised.exe",
         "revised.exe: the signature cannot be read: the certificate table holds no "
         "Authenticode signature"},
        {"checksum broken too", "broken.exe",
         "broken.exe: the signature cannot be read: the certificate table holds "
         "no Authenticode signature"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun list = Tool(std::string("list ") + c.file);
        EXPECT_EQ(list.status, 1);
        EXPECT_TRUE(Contains(list.out, "signature: unreadable")) << list.out;
        EXPECT_TRUE(Contains(list.err, c.message)) << list.err;
        EXPECT_EQ(std::count(list.err.begin(), list.err.end(), '\n'), 1) << list.err;
    }
}

// Refusals of the signing inputs say what the limit is for.
TEST_F(SignedInstaller, SigningInputsPastTheirLimitAreNamed)
{
    ASSERT_EQ(Sh("head -c 2097152 /dev/zero >big-pass.txt"), 0);
    ToolRun r = Tool("sign --cert signer.pem --key signer.key --pass-file big-pass.txt " + Demo() + " out.exe");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "cannot read 'big-pass.txt': 2097152 bytes, more than the 1048576 a certificate, key "
                                "or pass-phrase file may hold"))
        << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
    EXPECT_EQ(Leftovers(dir_), "");
}

// A full disk beside the output: osslsigncode says only that it cannot write;
// the refusal says the disk is full instead of OpenSSL's decoder noise.
TEST_F(SignedInstaller, FullDiskDuringSigningIsNamed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "a full disk is a tmpfs mount here, which needs root";
    SmallDisk disk(dir_ / "small", "40k");
    ASSERT_TRUE(disk.mounted());
    ToolRun r = Tool("sign --cert signer.pem --key signer.key " + Demo() + " small/out.exe");
    std::vector<std::string> left;
    for (const auto &entry : fs::directory_iterator(dir_ / "small"))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "the disk holding 'small/out.exe' is full (")) << r.err;
    EXPECT_FALSE(Contains(r.err, "DECODER")) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(left.empty()) << left.front();
}

// A balanced installer whose filler is changed to spell the marker, with the sum
// brought back by the filler bytes after it: the checksum holds, but there is a
// twelfth item. list must not say that the balance holds.
TEST_F(SignedInstaller, ListNeverSaysTheBalanceHoldsForATwelfthItem)
{
    ASSERT_EQ(Tool("sign --cert signer.pem --key signer.key " + Demo() + " twelve.exe").status, 0);
    std::vector<uint8_t> file = ReadWholeFile((dir_ / "twelve.exe").string());
    PeSignatureFields place;
    EXPECT_TRUE(ReadsSignatureFields(file, place));
    size_t blobEnd = place.tableOffset + ReadLe32(&file[place.tableOffset]);
    ScanResult before;
    SimulateScan(file.data(), file.size(), before);
    size_t at = blobEnd - 40;  // inside the filler, which is at least 64 bytes
    char marker[4];
    BuildMarker(marker);
    std::copy(marker, marker + 4, file.begin() + at);
    auto sum = [&] {
        ScanResult now;
        SimulateScan(file.data(), file.size(), now);
        return now.checksum;
    };
    for (size_t q = at + 8; q < blobEnd && sum() != before.checksum; ++q) {
        uint8_t old = file[q];
        uint32_t base = sum();
        file[q] = uint8_t(old == 255 ? 254 : old + 1);
        int64_t step = int64_t(int32_t(sum() - base)) * (old == 255 ? -1 : 1);  // the sum per unit of this byte
        int64_t need = int64_t(int32_t(before.checksum - base));
        // Subtracting bytes overshoot, so that the adding ones after them can give back.
        int64_t units = step < 0 && need < 0 ? (need + step + 1) / step : need / step;
        int64_t value = int64_t(old) + units;
        value = std::max<int64_t>(0, std::min<int64_t>(255, value));
        while (value == 'S' || value == 'Z' || value == 'D')
            value -= 1;
        file[q] = uint8_t(value);
    }
    ASSERT_EQ(sum(), before.checksum) << "filler end " << blobEnd << " marker at " << at;
    ASSERT_TRUE(WriteWholeFile((dir_ / "twelve-marked.exe").string(), file));
    ToolRun list = Tool("list twelve-marked.exe");
    EXPECT_EQ(list.status, 1);
    EXPECT_TRUE(Contains(list.out, ": match")) << list.out;
    EXPECT_FALSE(Contains(list.out, "the balance holds")) << list.out;
    EXPECT_TRUE(Contains(list.out, "the checksum holds, the installer is not sound")) << list.out;
    EXPECT_TRUE(Contains(list.err, "twelve-marked.exe: not a sound installer: found 12 items")) << list.err;
}

}  // namespace
