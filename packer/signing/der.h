// The DER reader for Authenticode signatures: DER elements, the PKCS#7 signed data
// of a certificate table, its signer's certificate, and the part of a signature
// that holds a given byte. Everything read here is untrusted input: each element
// must lie inside its parent.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The largest certificate table any command reads or writes: far more than a
// signature with its chain, timestamps and a nested signature needs.
constexpr uint32_t kLargestCertificateTable = 1u << 20;
// false with the reason when a table of `size` bytes passes it.
bool CheckTableSize(uint64_t size, std::string &error);

// The certificate table's one entry: a WIN_CERTIFICATE header, then the blob.
constexpr size_t kWinCertificateHeader = 8;
constexpr uint16_t kWinCertRevision2 = 0x0200;
constexpr uint16_t kWinCertTypePkcsSignedData = 0x0002;

// The balance attribute's type: an identifier of our own in the arc for UUIDs
// (2.25), which needs no registration.
constexpr uint8_t kOidBalance[] = {0x69, 0x82, 0xC1, 0x9A, 0xE0, 0xD7, 0xB5, 0x8C, 0xA3, 0xC4,
                                   0x8F, 0xB1, 0xD0, 0xE9, 0x97, 0xB2, 0xA6, 0xC1, 0x9B, 0x4D};

// One DER element: [start, contents) is its header, [contents, end) its contents.
struct Der {
    uint8_t tag;
    size_t start;
    size_t contents;
    size_t end;
};

// Reads the element at `at` that must end by `limit`. Only the definite,
// single-byte-tag forms that DER allows are accepted.
bool ReadDer(const uint8_t *p, size_t at, size_t limit, Der &d);

// True when d is the object identifier whose DER contents are oid[0, n).
bool IsOid(const uint8_t *p, const Der &d, const uint8_t *oid, size_t n);

// The parts of the signed data that the balance rebuilds around and the messages name.
struct SignedDataParts {
    Der contentInfo, contentType, explicitContent, signedData, signerInfos, signerInfo;
    Der certificates;        // tag 0 when there are none
    Der sid;                 // the signer's IssuerAndSerialNumber (or key identifier)
    Der signedAttrs;         // tag 0 when there are none
    Der signatureValue;      // the signer's signature value
    size_t signerPrefixEnd;  // end of the signer's signature value
    Der unsignedAttrs;       // tag 0 when there are none
};

// Reads a PKCS#7 signed data blob with one signer; false with a reason otherwise.
bool ParseSignedData(const uint8_t *p, size_t size, SignedDataParts &s, std::string &error);

// Calls visit(attribute, type) for each unsigned attribute.
template <typename Visit> bool ForEachUnsignedAttribute(const uint8_t *p, const SignedDataParts &s, Visit visit)
{
    if (s.unsignedAttrs.tag == 0)
        return true;
    size_t at = s.unsignedAttrs.contents;
    while (at < s.unsignedAttrs.end) {
        Der attr, type;
        if (!ReadDer(p, at, s.unsignedAttrs.end, attr) || attr.tag != 0x30 ||
            !ReadDer(p, attr.contents, attr.end, type) || type.tag != 0x06)
            return false;
        visit(attr, type);
        at = attr.end;
    }
    return true;
}

// What a certificate table says about its signature.
struct SignatureInfo {
    std::string signer;  // the signer certificate's subject, "CN=..., O=..."
    bool codeSigning;    // the signer certificate names the code-signing usage
    bool nested;         // a second signature is nested in the first
    size_t blobSize;     // the PKCS#7 blob's DER length
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

// Names the part of the signature that holds blob offset `at`, where a scan found
// the item marker, and says in `text` what can be done about it.
SignaturePart LocateMarker(const uint8_t *p, const SignedDataParts &s, size_t at, std::string &text);
