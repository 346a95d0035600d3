// Signing an installer with osslsigncode and balancing it, from files to files;
// and what `list` says of an installer's signature.
#pragma once
#include <cstdint>
#include <string>

#include "packer/installer_reader.h"

struct SignRequest {
    std::string installer;
    std::string out;
    std::string cert;
    std::string key;
    std::string passFile;  // empty: the key has no pass phrase
    std::string name;      // the signed program's description, when given
    std::string url;
    bool force;               // a read-only OUT may be replaced
    unsigned timeoutSeconds;  // osslsigncode is stopped after this long
};

// How long osslsigncode may take unless --timeout says otherwise: hashing the
// largest installer takes seconds, so only a program that hangs comes near it.
constexpr unsigned kDefaultSignTimeout = 300;

struct SignOutcome {
    std::string signer;  // the signer certificate's subject
    bool codeSigning;    // the certificate names the code-signing usage
    size_t fillerBytes;  // the balance attribute's filler
    uint64_t size;       // bytes written
};

// Signs a sound, unsigned installer with osslsigncode and balances the result;
// OUT is written through a temporary file only when all went well.
bool SignInstallerFile(const SignRequest &request, SignOutcome &outcome, std::string &error);

// Balances an installer signed elsewhere, from file to file.
bool BalanceInstallerFile(const std::string &in, const std::string &out, bool force, SignOutcome &outcome,
                          std::string &error);

// What an installer's certificate table says, for `list`.
struct SignatureStatus {
    bool signedFile;
    uint32_t tableOffset;  // where the table starts: the installer in front of it ends there
    std::string signer;
    bool nested;
    std::string problem;  // a table this packer cannot read, in words
};
bool ReadInstallerSignature(const InstallerSource &src, SignatureStatus &status);

// True when the installer is signed with a readable signature, the table adds no
// item (`whole`: the installer as list read it) and the installer in front of the
// table is sound: then `mksetup balance` makes the whole sound. `status`, when
// given, is what ReadInstallerSignature read of it when it returned true.
bool BalanceWouldMend(const InstallerSource &src, const InstallerInfo &whole);
bool BalanceWouldMend(const InstallerSource &src, const SignatureStatus &status, const InstallerInfo &whole);
