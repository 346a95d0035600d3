// The balance: the signer's balance attribute, its filler chosen so that the
// installer's payload checksum holds over the signed file, and the header fields
// that change with the new certificate table.
#include "packer/signing/balance.h"

#include <cstring>

#include "format/byte_order.h"
#include "format/payload.h"
#include "packer/installer_reader.h"
#include "packer/installer_writer.h"
#include "packer/scan_replay.h"

namespace {

// The filler never holds a marker letter, so no marker can start, end or lie in it.
bool FillerByteAllowed(uint8_t b) { return b != 'S' && b != 'Z' && b != 'D'; }

// The balance writes DER as well: the signer rebuilt with its attribute, and every
// element around it with its new length.
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

bool CheckTablePlace(const PeSignatureFields &pe, uint64_t fileSize, std::string &error)
{
    if (pe.tableSize == 0) {
        error = "the file is not signed";
        return false;
    }
    if (pe.tableOffset > fileSize || fileSize - pe.tableOffset != pe.tableSize) {
        error = "the certificate table is not at the end of the file";
        return false;
    }
    return true;
}

bool BalanceSignedInstaller(const std::vector<uint8_t> &signedFile, BalancedTable &balance, std::string &error)
{
    PeSignatureFields pe;
    if (!ReadPeSignatureFields(signedFile.data(), signedFile.size(), pe, error))
        return false;
    // No table starts at the headers: an offset of 0 is no table, as a size of 0 is.
    if (pe.tableOffset == 0)
        pe.tableSize = 0;
    if (!CheckTablePlace(pe, signedFile.size(), error))
        return false;
    // A signing tool pads the file to 8 bytes before it appends the table.
    if (pe.tableOffset % 8 != 0) {
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
        uint64_t sum = PeChecksumAdd(0, signedFile.data(), 0, pe.directoryOffset, pe.checksumOffset);
        sum = PeChecksumAdd(sum, entry, pe.directoryOffset, pe.directoryOffset + 8, pe.checksumOffset);
        sum = PeChecksumAdd(sum, signedFile.data() + pe.directoryOffset + 8, pe.directoryOffset + 8, pe.tableOffset,
                            pe.checksumOffset);
        sum = PeChecksumAdd(sum, balance.table.data(), pe.tableOffset, pe.tableOffset + balance.table.size(),
                            pe.checksumOffset);
        balance.peChecksum = PeChecksumFinish(sum, pe.tableOffset + balance.table.size());
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
