// Our own LZ expansion layer: a small table of open files and the copy that
// expands an SZDD source (or copies any other source unchanged) into a target.
//
// The installer does not use the system's LZ32 for this: Wine's LZCopy ignores
// the header's length and expands the alignment bytes and the installer's tail
// that follow each item as more output, so the last files would come out
// longer than they are. The codec here stops at exactly the header's length.
#include "engine/lzexpand.h"

#include "format/szdd.h"

namespace {

constexpr int kLzHandleCount = 8;

struct LzHandleSlot {
    bool open;
    bool forWriting;
    HANDLE file;
};

// Handle n (1..kLzHandleCount) is slot n - 1. Zero-filled by the loader (no bytes in
// the program file): every slot starts free.
LzHandleSlot lzHandles[kLzHandleCount];

LzHandleSlot *SlotOf(INT handle)
{
    if (handle < 1 || handle > kLzHandleCount)
        return nullptr;
    LzHandleSlot *slot = &lzHandles[handle - 1];
    return slot->open ? slot : nullptr;
}

long ReadFromHandle(void *ctx, uint8_t *buf, long n)
{
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(ctx), buf, DWORD(n), &got, nullptr))
        return -1;
    return long(got);
}

long WriteToHandle(void *ctx, const uint8_t *buf, long n)
{
    DWORD put = 0;
    if (!WriteFile(static_cast<HANDLE>(ctx), buf, DWORD(n), &put, nullptr))
        return -1;
    return long(put);
}

}  // namespace

INT OvraLZOpenFile(LPCSTR path, LPOFSTRUCT record, WORD mode)
{
    if (path == nullptr || record == nullptr || (mode != OF_READ && mode != OF_CREATE))
        return -1;
    int freeSlot = 0;
    while (freeSlot < kLzHandleCount && lzHandles[freeSlot].open)
        ++freeSlot;
    if (freeSlot == kLzHandleCount) {
        record->nErrCode = ERROR_TOO_MANY_OPEN_FILES;
        return -1;
    }

    bool forWriting = mode == OF_CREATE;
    HANDLE file =
        forWriting
            ? CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
            : CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    // The record keeps what the caller may look at afterwards: the error code
    // and the path, left empty when it does not fit the record's 128 bytes.
    record->cBytes = sizeof(OFSTRUCT);
    record->fFixedDisk = 0;
    record->nErrCode = file == INVALID_HANDLE_VALUE ? WORD(GetLastError()) : 0;
    record->szPathName[0] = '\0';
    if (lstrlenA(path) < OFS_MAXPATHNAME)
        lstrcpynA(record->szPathName, path, OFS_MAXPATHNAME);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    lzHandles[freeSlot].open = true;
    lzHandles[freeSlot].file = file;
    lzHandles[freeSlot].forWriting = forWriting;
    return freeSlot + 1;
}

// Returns the bytes written, or a negative SzddError: SZDD_ERR_BAD_ARGUMENT for
// a handle that is not open in the right direction, SZDD_ERR_READ / _WRITE for
// file failures, SZDD_ERR_SHORT_HEADER / _BAD_MODE / _TRUNCATED for a damaged
// item (the target then holds what was expanded before the damage).
LONG OvraLZCopy(INT source, INT target)
{
    LzHandleSlot *in = SlotOf(source);
    LzHandleSlot *out = SlotOf(target);
    if (in == nullptr || out == nullptr || in->forWriting || !out->forWriting)
        return SZDD_ERR_BAD_ARGUMENT;
    return SzddExpand(ReadFromHandle, in->file, WriteToHandle, out->file);
}

void OvraLZClose(INT handle)
{
    LzHandleSlot *slot = SlotOf(handle);
    if (slot == nullptr)
        return;
    CloseHandle(slot->file);
    slot->open = false;
    slot->forWriting = false;
}
