// The DER reader: DER elements, the PKCS#7 signed data in a certificate table, the
// signer's certificate and its usages, and where in a signature a byte lies.
#include "packer/signing/der.h"

#include <cstring>

#include "format/byte_order.h"

namespace {

// Object identifiers, as their DER contents.
const uint8_t kOidSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const uint8_t kOidNestedSignature[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x04, 0x01};
const uint8_t kOidExtKeyUsage[] = {0x55, 0x1D, 0x25};
const uint8_t kOidCodeSigning[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03};

// A name's text for messages: printable ASCII as it is, anything else escaped.
void AppendEscaped(std::string &out, const uint8_t *p, size_t n)
{
    static const char hex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < n; ++i) {
        if (p[i] >= 0x20 && p[i] < 0x7F && p[i] != '\\') {
            out += char(p[i]);
        } else {
            out += "\\x";
            out += hex[p[i] >> 4];
            out += hex[p[i] & 15];
        }
    }
}

// "CN=..., O=..." from a DER Name.
std::string NameText(const uint8_t *p, const Der &name)
{
    static const struct {
        uint8_t last;
        const char *label;
    } known[] = {{3, "CN"}, {6, "C"}, {7, "L"}, {8, "ST"}, {10, "O"}, {11, "OU"}};
    std::string text;
    size_t at = name.contents;
    while (at < name.end) {
        Der rdn, atv, type, value;
        if (!ReadDer(p, at, name.end, rdn) || !ReadDer(p, rdn.contents, rdn.end, atv) ||
            !ReadDer(p, atv.contents, atv.end, type) || !ReadDer(p, type.end, atv.end, value))
            break;
        const char *label = nullptr;
        if (type.tag == 0x06 && type.end - type.contents == 3 && p[type.contents] == 0x55 &&
            p[type.contents + 1] == 0x04)
            for (const auto &k : known)
                if (k.last == p[type.contents + 2])
                    label = k.label;
        if (!text.empty())
            text += ", ";
        text += label ? label : "OID";
        text += '=';
        AppendEscaped(text, p + value.contents, value.end - value.contents);
        at = rdn.end;
    }
    return text;
}

// A certificate's first fields: [0] version, serial, signature algorithm, issuer,
// validity, subject, key, ..., [3] extensions (the version may be left out).
struct CertificateFields {
    Der field[10];
    int count;
    int first;   // the serial's index: 1 after a version, else 0
    bool named;  // the fields up to the key were read
    const Der &Serial() const { return field[first]; }
    const Der &Issuer() const { return field[first + 2]; }
    const Der &Subject() const { return field[first + 4]; }
};

// false when the certificate's body or one of its fields cannot be read; the
// fields read before that are kept.
bool ReadCertificateFields(const uint8_t *p, const Der &cert, CertificateFields &c)
{
    c = CertificateFields{};
    Der tbs, field;
    bool whole = ReadDer(p, cert.contents, cert.end, tbs);
    if (whole) {
        for (size_t f = tbs.contents; f < tbs.end && c.count < 10; f = field.end) {
            whole = ReadDer(p, f, tbs.end, field);
            if (!whole)
                break;
            c.field[c.count++] = field;
        }
    }
    c.first = (c.count > 0 && c.field[0].tag == 0xA0) ? 1 : 0;
    c.named = c.count >= c.first + 6;
    return whole;
}

// The signer's certificate: the one whose issuer and serial number the signer
// names, or the first one when it names a key identifier instead.
void DescribeSigner(const uint8_t *p, const SignedDataParts &s, SignatureInfo &info)
{
    info.signer = "(no certificate)";
    info.codeSigning = false;
    if (s.certificates.tag == 0)
        return;
    Der sidIssuer = {}, sidSerial = {};
    bool bySerial = s.sid.tag == 0x30 && ReadDer(p, s.sid.contents, s.sid.end, sidIssuer) &&
                    ReadDer(p, sidIssuer.end, s.sid.end, sidSerial);
    size_t at = s.certificates.contents;
    while (at < s.certificates.end) {
        Der cert;
        CertificateFields c;
        if (!ReadDer(p, at, s.certificates.end, cert) || !ReadCertificateFields(p, cert, c) || !c.named)
            return;
        at = cert.end;
        const Der &serial = c.Serial(), &issuer = c.Issuer();
        if (bySerial && !(serial.end - serial.start == sidSerial.end - sidSerial.start &&
                          std::memcmp(p + serial.start, p + sidSerial.start, serial.end - serial.start) == 0 &&
                          issuer.end - issuer.start == sidIssuer.end - sidIssuer.start &&
                          std::memcmp(p + issuer.start, p + sidIssuer.start, issuer.end - issuer.start) == 0))
            continue;
        info.signer = NameText(p, c.Subject());
        for (int i = c.first + 6; i < c.count; ++i) {
            if (c.field[i].tag != 0xA3)
                continue;
            Der list, ext, id, item;
            if (!ReadDer(p, c.field[i].contents, c.field[i].end, list))
                return;
            for (size_t e = list.contents; e < list.end; e = ext.end) {
                if (!ReadDer(p, e, list.end, ext) || !ReadDer(p, ext.contents, ext.end, id))
                    return;
                if (!IsOid(p, id, kOidExtKeyUsage, sizeof kOidExtKeyUsage))
                    continue;
                Der value = id, usages;
                while (value.end < ext.end && ReadDer(p, value.end, ext.end, value) && value.tag != 0x04) {
                }
                if (value.tag != 0x04 || !ReadDer(p, value.contents, value.end, usages))
                    return;
                for (size_t u = usages.contents; u < usages.end; u = item.end) {
                    if (!ReadDer(p, u, usages.end, item))
                        return;
                    if (IsOid(p, item, kOidCodeSigning, sizeof kOidCodeSigning))
                        info.codeSigning = true;
                }
            }
        }
        return;
    }
}

bool Within(const Der &d, size_t at) { return d.tag != 0 && at >= d.start && at < d.end; }

}  // namespace

// Reads the element at `at` that must end by `limit`. Only the definite,
// single-byte-tag forms that DER allows are accepted.
bool ReadDer(const uint8_t *p, size_t at, size_t limit, Der &d)
{
    if (at >= limit || limit - at < 2)
        return false;
    d.tag = p[at];
    if ((d.tag & 0x1F) == 0x1F)
        return false;
    size_t i = at + 1;
    size_t length = p[i++];
    if (length & 0x80) {
        size_t count = length & 0x7F;
        if (count == 0 || count > 4 || limit - i < count)
            return false;
        length = 0;
        for (size_t k = 0; k < count; ++k)
            length = (length << 8) | p[i++];
    }
    if (limit - i < length)
        return false;
    d.start = at;
    d.contents = i;
    d.end = i + length;
    return true;
}

bool IsOid(const uint8_t *p, const Der &d, const uint8_t *oid, size_t n)
{
    return d.tag == 0x06 && d.end - d.contents == n && std::memcmp(p + d.contents, oid, n) == 0;
}

bool ParseSignedData(const uint8_t *p, size_t size, SignedDataParts &s, std::string &error)
{
    error = "the signature is not PKCS#7 signed data this packer can read";
    std::memset(&s, 0, sizeof s);
    if (!ReadDer(p, 0, size, s.contentInfo) || s.contentInfo.tag != 0x30)
        return false;
    if (!ReadDer(p, s.contentInfo.contents, s.contentInfo.end, s.contentType) ||
        !IsOid(p, s.contentType, kOidSignedData, sizeof kOidSignedData))
        return false;
    if (!ReadDer(p, s.contentType.end, s.contentInfo.end, s.explicitContent) || s.explicitContent.tag != 0xA0 ||
        s.explicitContent.end != s.contentInfo.end)
        return false;
    if (!ReadDer(p, s.explicitContent.contents, s.explicitContent.end, s.signedData) || s.signedData.tag != 0x30 ||
        s.signedData.end != s.explicitContent.end)
        return false;
    // version, digest algorithms, content, [0] certificates, [1] CRLs, signer infos (last).
    Der child;
    size_t at = s.signedData.contents;
    bool haveSigners = false;
    while (at < s.signedData.end) {
        if (!ReadDer(p, at, s.signedData.end, child))
            return false;
        if (child.tag == 0xA0)
            s.certificates = child;
        if (child.tag == 0x31 && child.end == s.signedData.end) {
            s.signerInfos = child;
            haveSigners = true;
        }
        at = child.end;
    }
    if (!haveSigners || !ReadDer(p, s.signerInfos.contents, s.signerInfos.end, s.signerInfo) ||
        s.signerInfo.tag != 0x30)
        return false;
    if (s.signerInfo.end != s.signerInfos.end) {
        error = "the signature has more than one signer";
        return false;
    }
    // version, sid, digest algorithm, [0] signed attributes, signature algorithm,
    // signature value, [1] unsigned attributes.
    at = s.signerInfo.contents;
    int index = 0;
    while (at < s.signerInfo.end) {
        if (!ReadDer(p, at, s.signerInfo.end, child))
            return false;
        if (index == 1)
            s.sid = child;
        if (child.tag == 0xA0)
            s.signedAttrs = child;
        if (child.tag == 0x04) {
            s.signatureValue = child;
            s.signerPrefixEnd = child.end;
        }
        if (child.tag == 0xA1) {
            if (child.end != s.signerInfo.end)
                return false;
            s.unsignedAttrs = child;
        }
        at = child.end;
        ++index;
    }
    if (s.signerPrefixEnd == 0 || (s.unsignedAttrs.tag != 0 && s.unsignedAttrs.start != s.signerPrefixEnd))
        return false;
    error.clear();
    return true;
}

SignaturePart LocateMarker(const uint8_t *p, const SignedDataParts &s, size_t at, std::string &text)
{
    if (Within(s.certificates, at)) {
        Der cert;
        for (size_t c = s.certificates.contents; c < s.certificates.end; c = cert.end) {
            if (!ReadDer(p, c, s.certificates.end, cert))
                break;
            if (!Within(cert, at))
                continue;
            // A damaged certificate is named as far as its fields read.
            CertificateFields fields;
            ReadCertificateFields(p, cert, fields);
            std::string where;
            if (fields.named) {
                where = " '" + NameText(p, fields.Subject()) + "'";
                if (Within(fields.Subject(), at))
                    where += " (in its subject)";
                else if (Within(fields.Issuer(), at))
                    where += " (in its issuer)";
            }
            text = "the certificate" + where +
                   " in the signature spells the item marker: an installer signed "
                   "with it would take those letters for a twelfth item, so it needs another certificate";
            return SIGNATURE_PART_CERTIFICATE;
        }
    }
    if (Within(s.sid, at)) {
        text = "the signer's certificate (its issuer and serial number, repeated in the signature) spells the "
               "item marker: an installer signed with it would take those letters for a twelfth item, so it "
               "needs another certificate";
        return SIGNATURE_PART_CERTIFICATE;
    }
    if (Within(s.signatureValue, at)) {
        text = "the signature value spells the item marker (the installer would take it for a twelfth item); "
               "a signature made at another time has another value";
        return SIGNATURE_PART_SIGNATURE_VALUE;
    }
    if (Within(s.signedAttrs, at)) {
        text = "a signed attribute of the signature spells the item marker (the installer would take it for a "
               "twelfth item)";
        return SIGNATURE_PART_ATTRIBUTE;
    }
    if (Within(s.unsignedAttrs, at)) {
        text = "an unsigned attribute of the signature (a timestamp or a nested signature) spells the item marker "
               "(the installer would take it for a twelfth item)";
        return SIGNATURE_PART_ATTRIBUTE;
    }
    text = "the signature spells the item marker (the installer would take it for a twelfth item)";
    return SIGNATURE_PART_OTHER;
}

bool CheckTableSize(uint64_t size, std::string &error)
{
    if (size <= kLargestCertificateTable)
        return true;
    error = "the certificate table holds " + std::to_string(size) + " bytes, more than the " +
            std::to_string(kLargestCertificateTable) + " mksetup reads";
    return false;
}

bool ReadSignatureTable(const uint8_t *table, size_t size, SignatureInfo &info, std::string &error)
{
    info = SignatureInfo{};
    if (!CheckTableSize(size, error))
        return false;
    if (size < kWinCertificateHeader) {
        error = "the certificate table is cut short";
        return false;
    }
    uint32_t length = ReadLe32(table);
    if (ReadLe16(table + 4) != kWinCertRevision2 || ReadLe16(table + 6) != kWinCertTypePkcsSignedData) {
        error = "the certificate table holds no Authenticode signature";
        return false;
    }
    if (length < kWinCertificateHeader || length > size || ((size_t(length) + 7) & ~size_t(7)) != size) {
        error = "the certificate table does not hold exactly one signature";
        return false;
    }
    const uint8_t *blob = table + kWinCertificateHeader;
    size_t blobRoom = length - kWinCertificateHeader;
    SignedDataParts s;
    if (!ParseSignedData(blob, blobRoom, s, error))
        return false;
    info.blobSize = s.contentInfo.end;
    for (size_t i = kWinCertificateHeader + info.blobSize; i < size; ++i) {
        if (table[i] != 0) {
            error = "the certificate table holds data after the signature";
            return false;
        }
    }
    bool walked = ForEachUnsignedAttribute(blob, s, [&](const Der &, const Der &type) {
        if (IsOid(blob, type, kOidNestedSignature, sizeof kOidNestedSignature))
            info.nested = true;
    });
    if (!walked) {
        error = "the signature's unsigned attributes are damaged";
        return false;
    }
    DescribeSigner(blob, s, info);
    return true;
}
