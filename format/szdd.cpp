// SZDD format: the magic, assembled at run time, and the streaming expander the
// installer runs (the compressor lives apart, so the installer links no heap code).
#include "format/szdd.h"

#include "format/byte_order.h"
#include "format/payload.h"

#include <algorithm>
#include <climits>
#include <cstring>

constexpr long kIoChunk = 4096;

void SzddMagic(uint8_t out[8])
{
    // The scan's own marker: the same four letters, assembled at run time.
    char marker[4];
    BuildMarker(marker);
    memcpy(out, marker, 4);
    out[4] = 0x88;
    out[5] = 0xF0;
    out[6] = 0x27;
    out[7] = 0x33;
}

bool SzddHasMagic(const uint8_t *p, size_t n)
{
    if (p == nullptr || n < 8)
        return false;
    uint8_t magic[8];
    SzddMagic(magic);
    return std::memcmp(p, magic, 8) == 0;
}

// ---------------------------------------------------------------------------
// Expander

// Buffered reader over the caller's read callback.
struct SzddInput {
    SzddReadFn read;
    void *ctx;
    uint8_t buf[kIoChunk];
    long pos;
    long len;
    unsigned long long total;  // bytes the reader has delivered
    bool failed;
};

// Next input byte, or -1 at the end of input (failed set when the reader failed).
static int NextInputByte(SzddInput &in)
{
    if (in.pos >= in.len) {
        if (in.failed)
            return -1;
        long got = in.read(in.ctx, in.buf, kIoChunk);
        if (got <= 0 || got > kIoChunk) {
            in.failed = got != 0;
            in.len = in.pos = 0;
            return -1;
        }
        in.len = got;
        in.pos = 0;
        in.total += (unsigned long long)got;
    }
    return in.buf[in.pos++];
}

struct SzddOutput {
    SzddWriteFn write;
    void *ctx;
    uint8_t buf[kIoChunk];
    long len;
    bool failed;
};

static bool FlushOutput(SzddOutput &out)
{
    if (out.len > 0 && !out.failed) {
        long put = out.write(out.ctx, out.buf, out.len);
        if (put != out.len)
            out.failed = true;
    }
    out.len = 0;
    return !out.failed;
}

static bool PutOutputByte(SzddOutput &out, uint8_t b)
{
    out.buf[out.len++] = b;
    return out.len < kIoChunk || FlushOutput(out);
}

// The byte count is returned as a long, which has 32 bits on Windows.
static bool FitsLongResult(unsigned long long count) { return count <= (unsigned long long)LONG_MAX; }

// Copies a source without the magic: whatever the output buffer already
// holds (the bytes taken for the header test), then the rest of the input.
static long CopyUnchanged(SzddInput &in, SzddOutput &out)
{
    unsigned long long total = (unsigned long long)out.len;
    for (;;) {
        while (in.pos < in.len) {
            long take = std::min<long>(in.len - in.pos, kIoChunk - out.len);
            std::memcpy(out.buf + out.len, in.buf + in.pos, size_t(take));
            out.len += take;
            in.pos += take;
            total += (unsigned long long)take;
            if (out.len == kIoChunk && !FlushOutput(out))
                return SZDD_ERR_WRITE;
        }
        if (!FitsLongResult(total))
            return SZDD_ERR_TOO_LARGE;
        long got = in.read(in.ctx, in.buf, kIoChunk);
        if (got < 0 || got > kIoChunk)
            return SZDD_ERR_READ;
        if (got == 0)
            break;
        in.len = got;
        in.pos = 0;
        in.total += (unsigned long long)got;
    }
    if (!FlushOutput(out))
        return SZDD_ERR_WRITE;
    return long(total);
}

struct SzddExpandState {
    SzddInput in;
    SzddOutput out;
    uint8_t window[kSzddWindowSize];
};

static long ExpandWith(SzddExpandState &s)
{
    SzddInput &in = s.in;
    SzddOutput &out = s.out;

    // Gather up to the full header; a source that ends sooner, or does not
    // start with the magic, is no compressed file.
    uint8_t header[kSzddHeaderSize];
    size_t have = 0;
    while (have < kSzddHeaderSize) {
        int c = NextInputByte(in);
        if (c < 0)
            break;
        header[have++] = uint8_t(c);
    }
    if (in.failed)
        return SZDD_ERR_READ;
    if (!SzddHasMagic(header, have)) {
        std::memcpy(out.buf, header, have);
        out.len = long(have);
        return CopyUnchanged(in, out);
    }
    if (have < kSzddHeaderSize)
        return SZDD_ERR_SHORT_HEADER;
    if (header[8] != kSzddModeA)
        return SZDD_ERR_BAD_MODE;
    uint32_t length = ReadLe32(header + kSzddLengthOffset);
    if (!FitsLongResult(length))
        return SZDD_ERR_TOO_LARGE;

    std::memset(s.window, ' ', sizeof s.window);
    uint32_t pos = kSzddWindowStart;
    uint32_t written = 0;
    while (written < length) {
        int flags = NextInputByte(in);
        if (flags < 0)
            return in.failed ? SZDD_ERR_READ : SZDD_ERR_TRUNCATED;
        for (int bit = 0; bit < 8 && written < length; ++bit) {
            int a = NextInputByte(in);
            if (a < 0)
                return in.failed ? SZDD_ERR_READ : SZDD_ERR_TRUNCATED;
            if (flags & (1 << bit)) {
                s.window[pos] = uint8_t(a);
                pos = (pos + 1) & kSzddWindowMask;
                ++written;
                if (!PutOutputByte(out, uint8_t(a)))
                    return SZDD_ERR_WRITE;
                continue;
            }
            int b = NextInputByte(in);
            if (b < 0)
                return in.failed ? SZDD_ERR_READ : SZDD_ERR_TRUNCATED;
            uint32_t src = uint32_t(a) | (uint32_t(b & 0xF0) << 4);
            int len = (b & 0x0F) + kSzddMinMatch;
            // Read before write, so a source at the write position itself
            // still yields the byte written one window earlier.
            for (int k = 0; k < len && written < length; ++k) {
                uint8_t c = s.window[(src + uint32_t(k)) & kSzddWindowMask];
                s.window[pos] = c;
                pos = (pos + 1) & kSzddWindowMask;
                ++written;
                if (!PutOutputByte(out, c))
                    return SZDD_ERR_WRITE;
            }
        }
    }
    if (!FlushOutput(out))
        return SZDD_ERR_WRITE;
    return long(written);
}

long SzddExpand(SzddReadFn read, void *readCtx, SzddWriteFn write, void *writeCtx)
{
    unsigned long long consumed = 0;
    return SzddExpandCounted(read, readCtx, write, writeCtx, consumed);
}

long SzddExpandCounted(SzddReadFn read, void *readCtx, SzddWriteFn write, void *writeCtx, unsigned long long &consumed)
{
    consumed = 0;
    if (read == nullptr || write == nullptr)
        return SZDD_ERR_BAD_ARGUMENT;
    // Fixed state of about 12 KiB on the stack: the same for any file size.
    SzddExpandState state;
    state.in.read = read;
    state.in.ctx = readCtx;
    state.in.pos = state.in.len = 0;
    state.in.total = 0;
    state.in.failed = false;
    state.out.write = write;
    state.out.ctx = writeCtx;
    state.out.len = 0;
    state.out.failed = false;
    long result = ExpandWith(state);
    // What the reader delivered, less what is still waiting in the buffer.
    consumed = state.in.total - (unsigned long long)(state.in.len - state.in.pos);
    return result;
}
