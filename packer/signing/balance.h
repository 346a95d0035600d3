// The balance of a signed installer: the unsigned attribute that keeps the payload
// checksum true with an Authenticode signature appended to the program file.
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

#include "packer/pe_image.h"
#include "packer/signing/der.h"

// The balance of a signed installer: the new certificate table and the header
// fields that change with it. The bytes before the table stay as they are.
struct BalancedTable {
    std::vector<uint8_t> table;  // WIN_CERTIFICATE entry with the balance attribute, padded to 8
    size_t fillerBytes;
    uint32_t peChecksum;      // for the whole file with this table
    PeSignatureFields pe;     // where the signed file keeps its signature
    SignatureInfo signature;  // what the signature says (signer, usage)
    SignaturePart markerIn;   // on a refusal: where the signature spells the marker
};

// Where a file's certificate table lies (pe from its headers, fileSize the file's
// size): false with the reason when the file is not signed or the table does not
// end the file.
bool CheckTablePlace(const PeSignatureFields &pe, uint64_t fileSize, std::string &error);

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
