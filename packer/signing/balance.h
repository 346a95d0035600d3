// Authenticode signatures on installers: reading the certificate table at the end
// of the program file, and the balance that keeps the payload checksum true with it.
//
// The installer sums every byte after its first item marker, so a signature
// appended to the file changes the sum and the installer would refuse itself. The
// Authenticode hash leaves out the PE checksum field, the certificate-table entry
// of the data directory and the table itself, so bytes there can change without
// breaking the signature: the balance adds an unauthenticated attribute to the
// signer (where timestamps and nested signatures live, inside the PKCS#7 blob, so
// a strict check of the certificate padding still passes) whose bytes bring the
// sum back to the value in the program's checksum slot.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The largest certificate table any command reads or writes: far more than a
// signature with its chain, timestamps and a nested signature needs.
constexpr uint32_t kLargestCertificateTable = 1u << 20;

// Where a PE file keeps its signature.
struct PeSignatureFields {
    size_t checksumOffset;  // the optional header's CheckSum field
    size_t directoryOffset; // the certificate table's entry in the data directory
    uint32_t tableOffset;   // file offset of the table (0 when unsigned)
    uint32_t tableSize;
};

// Reads the fields from the first bytes of a PE file (the headers; the caller
// passes at least the first 4 KiB or the whole file). false with a reason when
// the bytes are not a PE file.
bool ReadPeSignatureFields(const uint8_t *head, size_t size, PeSignatureFields &fields, std::string &error);

// The standard PE image checksum of a whole file (its own field counted as zero).
uint32_t PeImageChecksum(const uint8_t *file, size_t size, size_t checksumOffset);

// What a certificate table says about its signature.
struct SignatureInfo {
    std::string signer;     // the signer certificate's subject, "CN=..., O=..."
    bool codeSigning;       // the signer certificate names the code-signing usage
    bool nested;            // a second signature is nested in the first
    bool balanceAttribute;  // carries a balance attribute
    size_t blobSize;        // the PKCS#7 blob's DER length
    size_t paddingAfterBlob;// bytes after the blob in the table (all zero: checked)
};

// Reads the table's one WIN_CERTIFICATE entry and its PKCS#7 signed data. false
// with a reason for anything this packer does not sign or balance (several
// entries, another certificate type, bytes after the blob that are not padding,
// a blob that is not DER signed data with one signer).
bool ReadSignatureTable(const uint8_t *table, size_t size, SignatureInfo &info, std::string &error);

// The part of a signature whose bytes spell the item marker, when they do.
enum SignaturePart {
    SIGNATURE_PART_NONE,
    SIGNATURE_PART_CERTIFICATE,      // a certificate of the chain: every signature with it would
    SIGNATURE_PART_SIGNATURE_VALUE,  // the signer's signature value: another signing differs
    SIGNATURE_PART_ATTRIBUTE,        // a signed or unsigned attribute of the signer
    SIGNATURE_PART_OTHER,
};

// The balance of a signed installer: the new certificate table and the header
// fields that change with it. The bytes before the table stay as they are.
struct BalancedTable {
    std::vector<uint8_t> table;  // WIN_CERTIFICATE entry with the balance attribute, padded to 8
    size_t fillerBytes;
    uint32_t peChecksum;         // for the whole file with this table
    PeSignatureFields pe;        // where the signed file keeps its signature
    SignatureInfo signature;     // what the signature says (signer, usage)
    SignaturePart markerIn;      // on a refusal: where the signature spells the marker
};

// Balances a signed installer held in memory: the certificate table at the end of
// the file gets the balance attribute (an earlier one is replaced), and the whole
// file's payload checksum then equals the program's slot; the table's length and
// its directory entry and the PE checksum go with it (ApplyBalance). The result is
// checked by continuing the installer's scan over the new table; false with a
// reason (nothing to write) when the file is not a signed installer, the
// installer in front of the table was not sound when it was signed (the table
// would be read as part of its last item), the table passes the limit or the
// signature spells the item marker (markerIn then says where).
bool BalanceSignedInstaller(const std::vector<uint8_t> &signedFile, BalancedTable &balance, std::string &error);

// The signed file's bytes in front of its table, with the header fields of the
// balance written in: the file is then those bytes followed by balance.table.
void ApplyBalance(std::vector<uint8_t> &signedFile, const BalancedTable &balance);
