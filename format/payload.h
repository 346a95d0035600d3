// The installer file's payload: item names, scan step, the marker matcher, the
// checksum and the scan's state; shared by the installer and the packer so the two
// can never drift apart.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int kPayloadItemCount = 11;
constexpr int kScanStepBytes = 7001;
constexpr uint32_t kShippedPayloadChecksum = 0x02E14A11;

// The n-th item found by the scan is installed under the n-th name.
inline const char *PayloadItemName(int index)
{
    static const char *const names[kPayloadItemCount] = {
        "ovra32.exe", "ovaux32.exe", "ovra.hlp",  "netintro.hlp", "guide.txt", "changes.txt",
        "ovra.ini",   "macros.ini",  "menus.ini", "hosts.ini",    "links.ini",
    };
    return (index >= 0 && index < kPayloadItemCount) ? names[index] : nullptr;
}

// Running checksum over every byte read while an item is open: weights cycle
// 1, 2, 3, 4 across item boundaries; weight 4 subtracts.
inline void ChecksumAddByte(uint32_t &checksum, uint32_t &weight, uint8_t byte)
{
    if (weight < 4) {
        checksum += uint32_t(byte) * weight;
        weight += 1;
    } else {
        checksum -= uint32_t(byte) * 4u;
        weight = 1;
    }
}

// What one byte does to the marker match.
enum MarkerEvent {
    MARKER_HELD,      // matches a prefix of the marker; held back
    MARKER_COMPLETE,  // the fourth marker byte: a new item begins
    MARKER_MISMATCH,  // held-back bytes (matchLength before the call) then this byte are data
};

// The scan's matcher. A mismatching byte is never compared with the marker's
// first byte again, so S,S,Z,D,D is data. On MARKER_MISMATCH, heldBefore gets
// the number of held-back marker bytes to write before the byte itself.
inline MarkerEvent MatchMarkerByte(const char marker[4], int &matchLength, uint8_t byte, int &heldBefore)
{
    heldBefore = matchLength;
    if (byte == uint8_t(marker[matchLength])) {
        matchLength += 1;
        if (matchLength < 4)
            return MARKER_HELD;
        matchLength = 0;
        return MARKER_COMPLETE;
    }
    matchLength = 0;
    return MARKER_MISMATCH;
}

// The scan's rule for one byte of the installer file, written once for the
// installer's scan and the packer's replay of it, so the packer's prediction and
// the installer's finding cannot drift apart: while an item is open the byte
// counts towards the checksum; then it goes to the marker matcher.
inline MarkerEvent ScanByte(const char marker[4], bool itemOpen, uint32_t &checksum, uint32_t &weight, int &matchLength,
                            uint8_t byte, int &heldBefore)
{
    if (itemOpen)
        ChecksumAddByte(checksum, weight, byte);
    return MatchMarkerByte(marker, matchLength, byte, heldBefore);
}

// The marker, assembled at run time from two pieces so that no program holds
// the four bytes in a row.
void BuildMarker(char out[4]);

// What the scan carries from byte to byte. The installer's session holds the same
// fields flat under the same names (its item is open while its temporary file is);
// the packer's replay of the scan and its layout of an installer hold this record.
struct ScanState {
    char marker[4];
    int32_t matchLength;
    int32_t stepBytes;  // bytes read in the current scan step
    uint32_t checksum;
    uint32_t checksumWeight;
    bool itemOpen;
};

// A scan before the file's first byte: no item open, nothing matched or summed.
void BeginScanState(ScanState &state);

// The expected checksum lives in a section of its own in the installer program,
// so the packer can find and rewrite it for a new payload without a compiler.
#define PAYLOAD_CHECKSUM_SECTION ".ovrasum"
constexpr char kChecksumSectionName[9] = PAYLOAD_CHECKSUM_SECTION;
#define PAYLOAD_CHECKSUM_TAG                                                                                           \
    {                                                                                                                  \
        'O', 'v', 'r', 'a', 'S', 'u', 'm', '1'                                                                         \
    }
constexpr uint8_t kChecksumSlotTag[8] = PAYLOAD_CHECKSUM_TAG;
struct ChecksumSlot {
    uint8_t tag[8];
    uint32_t value;  // little-endian expected payload checksum
};
