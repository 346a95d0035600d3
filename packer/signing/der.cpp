// Authenticode certificate tables: the DER walk over the PKCS#7 signed data, the
// signer's certificate, and the balance attribute that keeps the payload checksum.
#include "packer/signing/balance.h"

#include <cstring>

#include "format/byte_order.h"
#include "format/payload.h"
#include "packer/installer_reader.h"
#include "packer/installer_writer.h"
#include "packer/scan_replay.h"

namespace {

constexpr size_t kDosLfanewOffset = 0x3C;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr uint32_t kSecurityDirectory = 4;
constexpr size_t kWinCertificateHeader = 8;
constexpr uint16_t kWinCertRevision2 = 0x0200;
constexpr uint16_t kWinCertTypePkcsSignedData = 0x0002;

// Object identifiers, as their DER contents.
const uint8_t kOidSignedData[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
const uint8_t kOidNestedSignature[] = {0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x04, 0x01};
const uint8_t kOidExtKeyUsage[] = {0x55, 0x1D, 0x25};
const uint8_t kOidCodeSigning[] = {0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x03};
// The balance attribute's type: an identifier of our own in the arc for UUIDs
// (2.25), which needs no registration.
const uint8_t kOidBalance[] = {0x69, 0x82, 0xC1, 0x9A, 0xE0, 0xD7, 0xB5, 0x8C, 0xA3, 0xC4,
                               0x8F, 0xB1, 0xD0, 0xE9, 0x97, 0xB2, 0xA6, 0xC1, 0x9B, 0x4D};

// The filler never holds a marker letter, so no marker can start, end or lie in it.
bool FillerByteAllowed(uint8_t b) { return b != 'S' && b != 'Z' && b != 'D'; }

// One DER element: [start, contents) is its header, [contents, end) its contents.
struct Der {
    uint8_t tag;
    size_t start;
    size_t contents;
    size_t end;
};

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

void PutLength(std::vector<uint8_t> &out, size_t n)
{
    if (n < 0x80) {
        out.push_back(uint8_t(n));
        return;
    }
    uint8_t bytes[4];
    int count = 0;
    for (size_t v = n; v != 0; v >>= 8)
        bytes[count++] = uint8_t(v);
    out.push_back(uint8_t(0x80 | count));
    while (count > 0)
        out.push_back(bytes[--count]);
}

std::vector<uint8_t> Wrap(uint8_t tag, const std::vector<uint8_t> &contents)
{
    std::vector<uint8_t> out;
    out.push_back(tag);
    PutLength(out, contents.size());
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

void Append(std::vector<uint8_t> &out, const uint8_t *p, size_t from, size_t to)
{
    out.insert(out.end(), p + from, p + to);
}

// The parts of the signed data that the balance rebuilds around.
struct SignedDataParts {
    Der contentInfo, contentType, explicitContent, signedData, signerInfos, signerInfo;
    Der certificates;      // tag 0 when there are none
    Der sid;               // the signer's IssuerAndSerialNumber (or key identifier)
    Der signedAttrs;       // tag 0 when there are none
    Der signatureValue;    // the signer's signature value
    size_t signerPrefixEnd;// end of the signer's signature value
    Der unsignedAttrs;     // tag 0 when there are none
};

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

// Calls visit(attribute, type) for each unsigned attribute.
template <typename Visit>
bool ForEachUnsignedAttribute(const uint8_t *p, const SignedDataParts &s, Visit visit)
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
        if (type.tag == 0x06 && type.end - type.contents == 3 && p[type.contents] == 0x55 && p[type.contents + 1] == 0x04)
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
        Der cert, tbs, field;
        if (!ReadDer(p, at, s.certificates.end, cert) || !ReadDer(p, cert.contents, cert.end, tbs))
            return;
        at = cert.end;
        // [0] version, serial, signature algorithm, issuer, validity, subject, key, ..., [3] extensions
        Der fields[10];
        int count = 0;
        for (size_t f = tbs.contents; f < tbs.end && count < 10; f = field.end) {
            if (!ReadDer(p, f, tbs.end, field))
                return;
            fields[count++] = field;
        }
        int first = (count > 0 && fields[0].tag == 0xA0) ? 1 : 0;
        if (count < first + 6)
            return;
        const Der &serial = fields[first], &issuer = fields[first + 2], &subject = fields[first + 4];
        if (bySerial && !(serial.end - serial.start == sidSerial.end - sidSerial.start &&
                          std::memcmp(p + serial.start, p + sidSerial.start, serial.end - serial.start) == 0 &&
                          issuer.end - issuer.start == sidIssuer.end - sidIssuer.start &&
                          std::memcmp(p + issuer.start, p + sidIssuer.start, issuer.end - issuer.start) == 0))
            continue;
        info.signer = NameText(p, subject);
        for (int i = first + 6; i < count; ++i) {
            if (fields[i].tag != 0xA3)
                continue;
            Der list, ext, id, item;
            if (!ReadDer(p, fields[i].contents, fields[i].end, list))
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

// Names the part of the signature that holds blob offset `at`, where a scan found
// the item marker, and says what can be done about it.
SignaturePart LocateMarker(const uint8_t *p, const SignedDataParts &s, size_t at, std::string &text)
{
    if (Within(s.certificates, at)) {
        Der cert, tbs, field;
        for (size_t c = s.certificates.contents; c < s.certificates.end; c = cert.end) {
            if (!ReadDer(p, c, s.certificates.end, cert))
                break;
            if (!Within(cert, at))
                continue;
            Der fields[10];
            int count = 0;
            if (ReadDer(p, cert.contents, cert.end, tbs))
                for (size_t f = tbs.contents; f < tbs.end && count < 10; f = field.end) {
                    if (!ReadDer(p, f, tbs.end, field))
                        break;
                    fields[count++] = field;
                }
            int first = (count > 0 && fields[0].tag == 0xA0) ? 1 : 0;
            std::string where;
            if (count >= first + 6) {
                where = " '" + NameText(p, fields[first + 4]) + "'";
                if (Within(fields[first + 4], at))
                    where += " (in its subject)";
                else if (Within(fields[first + 2], at))
                    where += " (in its issuer)";
            }
            text = "the certificate" + where + " in the signature spells the item marker: an installer signed "
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

// The installer's tail ("OvraEnd" and the adjust byte) at the end of the bytes in
// front of the table, followed only by the zero padding a signing tool adds.
bool EndsWithTail(const uint8_t *p, size_t size)
{
    for (size_t pad = 0; pad < 8 && pad + kTailSize <= size; ++pad) {
        if (pad > 0 && p[size - pad] != 0)
            return false;
        if (std::memcmp(p + size - pad - kTailSize, kTailText, kTailSize - 1) == 0)
            return true;
    }
    return false;
}

// The certificate table with a balance attribute of `filler` bytes in place of any
// earlier one: the WIN_CERTIFICATE header, the blob, zero padding to 8 bytes.
// fillerAt gets the offset of the filler within the table.
std::vector<uint8_t> TableWithFiller(const uint8_t *blob, const SignedDataParts &s, const std::vector<uint8_t> &filler,
                                     size_t &fillerAt)
{
    std::vector<uint8_t> attrs;
    ForEachUnsignedAttribute(blob, s, [&](const Der &attr, const Der &type) {
        if (!IsOid(blob, type, kOidBalance, sizeof kOidBalance))
            Append(attrs, blob, attr.start, attr.end);
    });
    std::vector<uint8_t> oid = {0x06, uint8_t(sizeof kOidBalance)};
    oid.insert(oid.end(), kOidBalance, kOidBalance + sizeof kOidBalance);
    std::vector<uint8_t> value = Wrap(0x04, filler);
    std::vector<uint8_t> attribute = oid;
    std::vector<uint8_t> values = Wrap(0x31, value);
    attribute.insert(attribute.end(), values.begin(), values.end());
    attribute = Wrap(0x30, attribute);
    // The filler is the last bytes of the attribute, which is the last of the set.
    size_t fillerFromAttrsEnd = filler.size();
    attrs.insert(attrs.end(), attribute.begin(), attribute.end());

    std::vector<uint8_t> signer;
    Append(signer, blob, s.signerInfo.contents, s.signerPrefixEnd);
    std::vector<uint8_t> unsignedSet = Wrap(0xA1, attrs);
    signer.insert(signer.end(), unsignedSet.begin(), unsignedSet.end());
    std::vector<uint8_t> signers = Wrap(0x31, Wrap(0x30, signer));
    std::vector<uint8_t> signedData;
    Append(signedData, blob, s.signedData.contents, s.signerInfos.start);
    signedData.insert(signedData.end(), signers.begin(), signers.end());
    std::vector<uint8_t> content;
    Append(content, blob, s.contentType.start, s.contentType.end);
    std::vector<uint8_t> explicitContent = Wrap(0xA0, Wrap(0x30, signedData));
    content.insert(content.end(), explicitContent.begin(), explicitContent.end());
    std::vector<uint8_t> der = Wrap(0x30, content);

    std::vector<uint8_t> table(kWinCertificateHeader);
    WriteLe32(table.data(), uint32_t(kWinCertificateHeader + der.size()));
    table[4] = uint8_t(kWinCertRevision2 & 0xFF);
    table[5] = uint8_t(kWinCertRevision2 >> 8);
    table[6] = uint8_t(kWinCertTypePkcsSignedData & 0xFF);
    table[7] = uint8_t(kWinCertTypePkcsSignedData >> 8);
    table.insert(table.end(), der.begin(), der.end());
    // Nothing follows the filler in the DER: every enclosing element ends with it.
    fillerAt = table.size() - fillerFromAttrsEnd;
    table.resize((table.size() + 7) & ~size_t(7), 0);
    return table;
}

// Chooses filler bytes whose weighted sum is `delta` (weights 1, 2, 3 added and 4
// subtracted, `weights[i]` for byte i). false when the filler is too short.
bool ChooseFiller(const std::vector<int> &weights, int64_t delta, std::vector<uint8_t> &filler)
{
    filler.assign(weights.size(), 0);
    int64_t left = delta;
    if (left < 0) {
        // Subtract through the weight-4 bytes, overshooting by at most 3, which the
        // added weights then give back.
        int64_t units = (-left + 3) / 4;
        for (size_t i = 0; i < weights.size() && units > 0; ++i) {
            if (weights[i] != 4)
                continue;
            uint8_t b = uint8_t(units < 255 ? units : 255);
            if (!FillerByteAllowed(b))
                b -= 1;
            filler[i] = b;
            units -= b;
        }
        if (units > 0)
            return false;
        left = delta;
        for (size_t i = 0; i < weights.size(); ++i)
            if (weights[i] == 4)
                left += int64_t(filler[i]) * 4;
    }
    for (int w = 3; w >= 1; --w) {
        for (size_t i = 0; i < weights.size() && left > 0; ++i) {
            if (weights[i] != w)
                continue;
            int64_t want = left / w;
            uint8_t b = uint8_t(want < 255 ? want : 255);
            if (!FillerByteAllowed(b))
                b -= 1;
            filler[i] = b;
            left -= int64_t(b) * w;
        }
    }
    return left == 0;
}

}  // namespace

bool ReadPeSignatureFields(const uint8_t *head, size_t size, PeSignatureFields &fields, std::string &error)
{
    error = "not a Windows program";
    if (size < kDosLfanewOffset + 4 || head[0] != 'M' || head[1] != 'Z')
        return false;
    uint32_t pe = ReadLe32(head + kDosLfanewOffset);
    if (pe > size || size - pe < 24 + 2 || std::memcmp(head + pe, "PE\0\0", 4) != 0)
        return false;
    size_t optional = size_t(pe) + 24;
    uint16_t optionalSize = ReadLe16(head + pe + 20);
    uint16_t magic = ReadLe16(head + optional);
    size_t countAt, directory;
    if (magic == kPe32Magic) {
        countAt = optional + 92;
        directory = optional + 96;
    } else if (magic == kPe32PlusMagic) {
        countAt = optional + 108;
        directory = optional + 112;
    } else {
        return false;
    }
    size_t entry = directory + kSecurityDirectory * 8;
    if (entry + 8 > optional + optionalSize || entry + 8 > size || ReadLe32(head + countAt) <= kSecurityDirectory) {
        error = "damaged Windows program (no certificate table entry)";
        return false;
    }
    fields.checksumOffset = optional + 64;
    fields.directoryOffset = entry;
    fields.tableOffset = ReadLe32(head + entry);
    fields.tableSize = ReadLe32(head + entry + 4);
    error.clear();
    return true;
}

namespace {

// The folded 16-bit sum of the words at [from, to) (from even), leaving out the
// checksum field's two words.
uint64_t AddWords(uint64_t sum, const uint8_t *p, size_t from, size_t to, size_t checksumOffset)
{
    for (size_t i = from; i < to; i += 2) {
        if (i == checksumOffset || i == checksumOffset + 2)
            continue;
        uint32_t word = p[i - from] | (i + 1 < to ? uint32_t(p[i - from + 1]) << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum;
}

uint32_t FinishChecksum(uint64_t sum, size_t size)
{
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum + size);
}

}  // namespace

uint32_t PeImageChecksum(const uint8_t *file, size_t size, size_t checksumOffset)
{
    return FinishChecksum(AddWords(0, file, 0, size, checksumOffset), size);
}

bool ReadSignatureTable(const uint8_t *table, size_t size, SignatureInfo &info, std::string &error)
{
    info = SignatureInfo{};
    if (size > kLargestCertificateTable) {
        error = "the certificate table holds " + std::to_string(size) + " bytes, more than the " +
                std::to_string(kLargestCertificateTable) + " mksetup reads";
        return false;
    }
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
    info.paddingAfterBlob = size - kWinCertificateHeader - info.blobSize;
    for (size_t i = kWinCertificateHeader + info.blobSize; i < size; ++i) {
        if (table[i] != 0) {
            error = "the certificate table holds data after the signature";
            return false;
        }
    }
    bool walked = ForEachUnsignedAttribute(blob, s, [&](const Der &, const Der &type) {
        if (IsOid(blob, type, kOidNestedSignature, sizeof kOidNestedSignature))
            info.nested = true;
        if (IsOid(blob, type, kOidBalance, sizeof kOidBalance))
            info.balanceAttribute = true;
    });
    if (!walked) {
        error = "the signature's unsigned attributes are damaged";
        return false;
    }
    DescribeSigner(blob, s, info);
    return true;
}

bool BalanceSignedInstaller(const std::vector<uint8_t> &signedFile, BalancedTable &balance, std::string &error)
{
    PeSignatureFields pe;
    if (!ReadPeSignatureFields(signedFile.data(), signedFile.size(), pe, error))
        return false;
    if (pe.tableOffset == 0 || pe.tableSize == 0) {
        error = "the file is not signed";
        return false;
    }
    if (pe.tableOffset > signedFile.size() || signedFile.size() - pe.tableOffset != pe.tableSize ||
        pe.tableOffset % 8 != 0) {
        error = "the certificate table is not at the end of the file";
        return false;
    }
    const uint8_t *table = signedFile.data() + pe.tableOffset;
    SignatureInfo info;
    if (!ReadSignatureTable(table, pe.tableSize, info, error))
        return false;
    const uint8_t *blob = table + kWinCertificateHeader;
    SignedDataParts s;
    if (!ParseSignedData(blob, info.blobSize, s, error))
        return false;

    // The installer in front of the table must have been sound when it was signed,
    // by the rules list applies: in a cut one the table would be read as part of
    // its last item, and a balance would make the damage look sound.
    balance.markerIn = SIGNATURE_PART_NONE;
    InstallerInfo unsignedInfo;
    std::string problem;
    if (!InspectInstaller(signedFile.data(), pe.tableOffset, unsignedInfo, problem)) {
        if (unsignedInfo.items.empty() || !unsignedInfo.haveSlot) {
            error = "not an installer: " + problem;
        } else {
            if (problem.rfind("checksum ", 0) == 0 && !EndsWithTail(signedFile.data(), pe.tableOffset))
                problem = "its tail (OvraEnd and the adjust byte) is missing or cut short";
            error = "the installer was not sound when it was signed: " + problem;
        }
        return false;
    }
    uint32_t expected = unsignedInfo.expectedChecksum;
    size_t firstData = unsignedInfo.scan.items.front().offset + 4;
    // The scan of everything in front of the table, continued over each candidate.
    ScanProgress front;
    BeginScan(front);
    ScanBytes(front, signedFile.data(), pe.tableOffset);

    // The filler grows until it can carry the difference the signature makes.
    for (size_t n = 64; n <= (size_t(1) << 20); n *= 2) {
        std::vector<uint8_t> filler(n, 0);
        size_t fillerAt = 0;
        balance.table = TableWithFiller(blob, s, filler, fillerAt);
        ScanProgress zero = front;
        ScanBytes(zero, balance.table.data(), balance.table.size());
        EndScan(zero);
        if (zero.result.items.size() != size_t(kPayloadItemCount)) {
            // Where the first marker after the eleventh item starts, in the new table's blob.
            size_t markerAt = zero.result.items[kPayloadItemCount].offset;
            size_t tableStart = pe.tableOffset;
            SignedDataParts rebuilt;
            std::string ignored;
            const uint8_t *newBlob = balance.table.data() + kWinCertificateHeader;
            if (markerAt >= tableStart + kWinCertificateHeader &&
                ParseSignedData(newBlob, balance.table.size() - kWinCertificateHeader, rebuilt, ignored))
                balance.markerIn = LocateMarker(newBlob, rebuilt, markerAt - tableStart - kWinCertificateHeader, error);
            else
                balance.markerIn = LocateMarker(newBlob, SignedDataParts{}, 0, error);
            return false;
        }
        std::vector<int> weights(n);
        for (size_t i = 0; i < n; ++i)
            weights[i] = int((pe.tableOffset + fillerAt + i - firstData) % 4) + 1;
        int64_t delta = int64_t(int32_t(expected - zero.result.checksum));
        if (!ChooseFiller(weights, delta, filler))
            continue;
        std::memcpy(balance.table.data() + fillerAt, filler.data(), n);
        // The installer's own view of the result, before anything is written.
        ScanProgress check = front;
        ScanBytes(check, balance.table.data(), balance.table.size());
        EndScan(check);
        if (check.result.items.size() != size_t(kPayloadItemCount) || check.result.checksum != expected) {
            error = "the balanced signature does not give the program's checksum";
            return false;
        }
        if (balance.table.size() > kLargestCertificateTable) {
            error = "the balanced certificate table would hold " + std::to_string(balance.table.size()) +
                    " bytes, more than the " + std::to_string(kLargestCertificateTable) + " mksetup reads";
            return false;
        }
        balance.fillerBytes = n;
        balance.pe = pe;
        balance.signature = info;
        // The PE checksum of the file as ApplyBalance leaves it.
        uint8_t entry[8];
        WriteLe32(entry, pe.tableOffset);
        WriteLe32(entry + 4, uint32_t(balance.table.size()));
        uint64_t sum = AddWords(0, signedFile.data(), 0, pe.directoryOffset, pe.checksumOffset);
        sum = AddWords(sum, entry, pe.directoryOffset, pe.directoryOffset + 8, pe.checksumOffset);
        sum = AddWords(sum, signedFile.data() + pe.directoryOffset + 8, pe.directoryOffset + 8, pe.tableOffset,
                       pe.checksumOffset);
        sum = AddWords(sum, balance.table.data(), pe.tableOffset, pe.tableOffset + balance.table.size(),
                       pe.checksumOffset);
        balance.peChecksum = FinishChecksum(sum, pe.tableOffset + balance.table.size());
        return true;
    }
    error = "the signature's checksum cannot be balanced";
    return false;
}

void ApplyBalance(std::vector<uint8_t> &signedFile, const BalancedTable &balance)
{
    const PeSignatureFields &pe = balance.pe;
    signedFile.resize(pe.tableOffset);
    WriteLe32(signedFile.data() + pe.directoryOffset + 4, uint32_t(balance.table.size()));
    WriteLe32(signedFile.data() + pe.checksumOffset, balance.peChecksum);
}
