// The payload checksum this installer accepts. It sits in a section of its own so
// that the packer can find it and write the checksum of a new payload into it.
#include "engine/session.h"

__attribute__((section(PAYLOAD_CHECKSUM_SECTION), used)) volatile ChecksumSlot expectedChecksumSlot = {
    PAYLOAD_CHECKSUM_TAG, kShippedPayloadChecksum};
