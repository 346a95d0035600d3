// Run-time assembly of the item marker, kept out of the program's data, and the
// scan's starting state.
#include "format/payload.h"

void BuildMarker(char out[4])
{
    // Two separate literals and a volatile read, so no compiler can fold the
    // four bytes into one constant that would spell the marker in the program.
    static const char first[] = "S";
    static const char rest[] = "ZDD";
    volatile const char *head = first;
    out[0] = head[0];
    out[1] = rest[0];
    out[2] = rest[1];
    out[3] = rest[2];
}

void BeginScanState(ScanState &state)
{
    BuildMarker(state.marker);
    state.matchLength = 0;
    state.stepBytes = 0;
    state.checksum = 0;
    state.checksumWeight = 1;
    state.itemOpen = false;
}
