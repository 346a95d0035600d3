// Signed installers: the demo installer signed by `mksetup sign`, or by osslsigncode
// and then balanced, verifies as Authenticode and keeps its payload checksum; the
// refusals leave nothing behind. Certificates are made by openssl at test time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "format/byte_order.h"
#include "format/payload.h"
#include "packer/signature.h"
#include "tests/test_files.h"

namespace fs = std::filesystem;

namespace {

struct ToolResult {
    int status;
    std::string out;
    std::string err;
};

std::string Slurp(const fs::path &p)
{
    std::vector<uint8_t> bytes = ReadWholeFile(p.string());
    return std::string(bytes.begin(), bytes.end());
}

bool Contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

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
        ASSERT_TRUE(fs::exists(demo_ / "setup32.exe"))
            << demo_ / "setup32.exe" << " is missing: scripts/build.sh makes the demo installer";
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
            ASSERT_EQ(Sh(std::string(step) + " >>openssl.log 2>&1"), 0) << step << "\n" << Slurp(dir_ / "openssl.log");
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }

    static int Sh(const std::string &command)
    {
        int raw = std::system(("cd '" + dir_.string() + "' && " + command).c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    static ToolResult Tool(const std::string &args, const std::string &prefix = "")
    {
        int status = Sh(prefix + " '" + tool_ + "' " + args + " >out.txt 2>err.txt");
        ToolResult r{status, Slurp(dir_ / "out.txt"), Slurp(dir_ / "err.txt")};
        fs::remove(dir_ / "out.txt");
        fs::remove(dir_ / "err.txt");
        return r;
    }

    static std::string Demo() { return "'" + (demo_ / "setup32.exe").string() + "'"; }

    // Temporary files or work folders of the tool left in the test folder.
    static std::string Leftovers()
    {
        std::string found;
        for (const auto &entry : fs::directory_iterator(dir_)) {
            std::string name = entry.path().filename().string();
            if (Contains(name, ".partial-") || Contains(name, ".work-"))
                found += name + " ";
        }
        return found;
    }

    // Everything a publisher and a user rely on in a signed installer.
    static void ExpectSoundSignedInstaller(const std::string &name, const std::string &signer)
    {
        SCOPED_TRACE(name);
        ASSERT_EQ(Sh("osslsigncode verify -CAfile ca.pem -in " + name + " >verify.txt 2>&1"), 0)
            << Slurp(dir_ / "verify.txt");
        std::string verify = Slurp(dir_ / "verify.txt");
        EXPECT_TRUE(Contains(verify, "Signature verification: ok")) << verify;
        EXPECT_FALSE(Contains(verify, "invalid PE checksum")) << verify;
        EXPECT_FALSE(Contains(verify, "MISMATCH")) << verify;

        // The certificate table: at the end, one entry, nothing after the DER blob
        // but zero padding to 8 bytes.
        std::vector<uint8_t> file = ReadWholeFile((dir_ / name).string());
        ASSERT_GT(file.size(), 0x200u);
        uint32_t pe = ReadLe32(&file[0x3C]);
        size_t optional = pe + 24;
        size_t directory = optional + (ReadLe16(&file[optional]) == 0x20B ? 112 : 96) + 4 * 8;
        uint32_t tableAt = ReadLe32(&file[directory]);
        uint32_t tableSize = ReadLe32(&file[directory + 4]);
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

        ToolResult list = Tool("list " + name);
        EXPECT_EQ(list.status, 0) << list.out << list.err;
        EXPECT_TRUE(Contains(list.out, ": match")) << list.out;
        EXPECT_TRUE(Contains(list.out, "signed by " + signer)) << list.out;
        EXPECT_TRUE(Contains(list.out, "the balance holds")) << list.out;

        ToolResult extract = Tool("extract " + name + " x");
        ASSERT_EQ(extract.status, 0) << extract.err;
        for (int i = 0; i < kPayloadItemCount; ++i)
            EXPECT_EQ(Slurp(dir_ / "x" / PayloadItemName(i)), Slurp(demo_ / "payload" / PayloadItemName(i)))
                << PayloadItemName(i);
        fs::remove_all(dir_ / "x");
    }
};

fs::path SignedInstaller::dir_;
std::string SignedInstaller::tool_;
fs::path SignedInstaller::demo_;

TEST_F(SignedInstaller, SignedByMksetupVerifiesAndInstallsItsPayload)
{
    ToolResult sign = Tool("sign --cert signer.pem --key signer.key --name Ovra --url https://ovra.example " + Demo() +
                    " signed.exe");
    ASSERT_EQ(sign.status, 0) << sign.err;
    EXPECT_EQ(sign.err, "");
    EXPECT_TRUE(Contains(sign.out, "signed by CN=Ovra Test Publisher, O=Ovra")) << sign.out;
    ExpectSoundSignedInstaller("signed.exe", "CN=Ovra Test Publisher, O=Ovra");

    // Balancing again replaces the attribute rather than adding one: same bytes.
    ASSERT_EQ(Tool("balance signed.exe again.exe").status, 0);
    EXPECT_EQ(Slurp(dir_ / "again.exe"), Slurp(dir_ / "signed.exe"));

    // A key behind a pass phrase, given in a file.
    ToolResult locked = Tool("sign --cert locked.pem --key locked.key --pass-file pass.txt " + Demo() + " locked.exe");
    ASSERT_EQ(locked.status, 0) << locked.err;
    ExpectSoundSignedInstaller("locked.exe", "CN=Ovra Locked");
    EXPECT_EQ(Leftovers(), "");
}

TEST_F(SignedInstaller, SignedElsewhereIsRefusedUntilBalanced)
{
    ASSERT_EQ(Sh("osslsigncode sign -certs signer.pem -key signer.key -in " + Demo() + " -out raw.exe >sign.log 2>&1"),
              0)
        << Slurp(dir_ / "sign.log");
    // The fault the balance mends: the installer would refuse itself.
    ToolResult list = Tool("list raw.exe");
    EXPECT_NE(list.status, 0);
    EXPECT_TRUE(Contains(list.out, "NOT balanced")) << list.out;
    EXPECT_TRUE(Contains(list.err, "mksetup balance raw.exe OUT")) << list.err;
    ToolResult extract = Tool("extract raw.exe x");
    EXPECT_NE(extract.status, 0);
    EXPECT_TRUE(Contains(extract.err, "not balanced")) << extract.err;
    EXPECT_FALSE(fs::exists(dir_ / "x"));

    ToolResult balance = Tool("balance raw.exe balanced.exe");
    ASSERT_EQ(balance.status, 0) << balance.err;
    ExpectSoundSignedInstaller("balanced.exe", "CN=Ovra Test Publisher, O=Ovra");
}

TEST_F(SignedInstaller, NestedSignatureIsBalancedTheSameWay)
{
    ASSERT_EQ(Tool("sign --cert signer.pem --key signer.key " + Demo() + " first.exe").status, 0);
    ASSERT_EQ(Sh("osslsigncode sign -nest -h sha1 -certs locked.pem -key locked.key -pass secret -in first.exe"
                 " -out nested.exe >nest.log 2>&1"),
              0)
        << Slurp(dir_ / "nest.log");
    ToolResult list = Tool("list nested.exe");
    EXPECT_NE(list.status, 0);
    EXPECT_TRUE(Contains(list.out, "with a nested signature; NOT balanced")) << list.out;
    ASSERT_EQ(Tool("balance nested.exe nested-balanced.exe").status, 0);
    ExpectSoundSignedInstaller("nested-balanced.exe", "CN=Ovra Test Publisher, O=Ovra");
    ASSERT_EQ(Sh("osslsigncode verify -CAfile ca.pem -in nested-balanced.exe >nested.txt 2>&1"), 0);
    EXPECT_TRUE(Contains(Slurp(dir_ / "nested.txt"), "Number of verified signatures: 2"))
        << Slurp(dir_ / "nested.txt");
}

TEST_F(SignedInstaller, CertificateWithoutCodeSigningUsageIsWarnedAbout)
{
    ToolResult sign = Tool("sign --cert plain.pem --key plain.key " + Demo() + " plain.exe");
    ASSERT_EQ(sign.status, 0) << sign.err;
    EXPECT_TRUE(Contains(sign.err, "warning: the certificate 'plain.pem' does not name the code-signing usage"))
        << sign.err;
    EXPECT_EQ(std::count(sign.err.begin(), sign.err.end(), '\n'), 1) << sign.err;
}

// A signature whose bytes spell the marker would start a twelfth item.
TEST_F(SignedInstaller, SignatureThatSpellsTheMarkerIsNeverWritten)
{
    ASSERT_EQ(Sh("osslsigncode sign -certs signer.pem -key signer.key -in " + Demo() + " -out raw2.exe >/dev/null 2>&1"),
              0);
    std::vector<uint8_t> file = ReadWholeFile((dir_ / "raw2.exe").string());
    uint32_t pe = ReadLe32(&file[0x3C]);
    size_t directory = pe + 24 + 96 + 4 * 8;
    if (ReadLe16(&file[pe + 24]) == 0x20B)
        directory += 16;
    uint32_t tableAt = ReadLe32(&file[directory]);
    uint32_t entryLength = ReadLe32(&file[tableAt]);
    // The last bytes of the blob are the signature value's (no unsigned attributes yet).
    char marker[4];
    BuildMarker(marker);
    std::copy(marker, marker + 4, file.begin() + tableAt + entryLength - 4);
    ASSERT_TRUE(WriteWholeFile((dir_ / "spelled.exe").string(), file));
    ToolResult balance = Tool("balance spelled.exe spelled-out.exe");
    EXPECT_NE(balance.status, 0);
    EXPECT_TRUE(Contains(balance.err, "spells the item marker")) << balance.err;
    EXPECT_FALSE(fs::exists(dir_ / "spelled-out.exe"));
    EXPECT_EQ(Leftovers(), "");
}

struct Refusal {
    const char *what;
    std::string args;
    const char *prefix;  // run before the tool, in the same shell
    const char *message;
};

TEST_F(SignedInstaller, RefusalsSayWhyAndWriteNothing)
{
    ASSERT_EQ(Sh("osslsigncode sign -certs signer.pem -key signer.key -in " + Demo() + " -out already.exe >/dev/null 2>&1"),
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
        {"osslsigncode missing", "sign --cert signer.pem --key signer.key " + demo + " out.exe", "env PATH=/nonexistent",
         "osslsigncode is not installed (Debian package osslsigncode)"},
        {"balance of a file that is not a program", "balance ca.pem out.exe", "", "not a Windows program"},
        {"balance of an unsigned installer", "balance " + demo + " out.exe", "", "the file is not signed"},
        {"output is the input", "balance already.exe already.exe", "", "already.exe"},
        {"sign without a key", "sign --cert signer.pem " + demo + " out.exe", "", "--cert and --key are required"},
    };
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.what);
        ToolResult r = Tool(c.args, c.prefix);
        EXPECT_NE(r.status, 0);
        EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "out.exe"));
        EXPECT_EQ(Leftovers(), "");
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
    std::string error;
    ASSERT_TRUE(ReadPeSignatureFields(file.data(), file.size(), pe, error)) << error;
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

}  // namespace
