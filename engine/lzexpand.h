// Our own LZ expansion layer over the SZDD codec, shaped like the system's LZ32
// calls but under our own names: it writes exactly the header's length.
#pragma once
#include <windows.h>

// Opens path for reading (OF_READ) or creates it for writing, truncating (OF_CREATE).
// The record's size field must be set to sizeof(OFSTRUCT) by the caller. Returns a handle or -1.
INT OvraLZOpenFile(LPCSTR path, LPOFSTRUCT record, WORD mode);
// Expands (or copies unchanged) source into target: bytes written, or a negative error.
LONG OvraLZCopy(INT source, INT target);
void OvraLZClose(INT handle);
