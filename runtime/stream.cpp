// The buffered byte stream: a small fixed table of streams, each with one buffer,
// on CreateFileA, ReadFile and WriteFile.
#include "runtime/stream.h"

#include <windows.h>

namespace {

constexpr DWORD kStreamBufferSize = 4096;
// The installer has two open at most (its own file and the temporary file).
constexpr int kStreamCount = 8;

}  // namespace

// Zero-filled by the loader: every slot starts free.
struct ByteStream {
    bool open;
    bool writing;
    bool atEnd;   // a read found the end of the file
    bool failed;  // a read or a write failed
    HANDLE file;
    long bufferStart;  // the file position of buffer[0]
    DWORD length;      // reading: bytes in the buffer; writing: bytes waiting
    DWORD next;        // reading: the next byte's index
    uint8_t buffer[kStreamBufferSize];
};

static ByteStream streams[kStreamCount];

ByteStream *StreamOpen(const char *path, StreamMode mode)
{
    ByteStream *stream = streams;
    while (stream < streams + kStreamCount && stream->open)
        ++stream;
    if (stream == streams + kStreamCount || path == nullptr)
        return nullptr;
    bool writing = mode == STREAM_WRITE;
    // Others may read and write the file meanwhile, as with the C run-time's streams.
    HANDLE file = CreateFileA(path, writing ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              writing ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    stream->open = true;
    stream->writing = writing;
    stream->atEnd = false;
    stream->failed = false;
    stream->file = file;
    stream->bufferStart = 0;
    stream->length = 0;
    stream->next = 0;
    return stream;
}

int StreamGetByte(ByteStream *stream)
{
    if (stream->next < stream->length)
        return stream->buffer[stream->next++];
    if (stream->writing || stream->atEnd || stream->failed)
        return kStreamEnd;
    DWORD got = 0;
    if (!ReadFile(stream->file, stream->buffer, kStreamBufferSize, &got, nullptr) || got > kStreamBufferSize) {
        stream->failed = true;
        return kStreamEnd;
    }
    stream->bufferStart += long(stream->length);
    stream->length = got;
    stream->next = 0;
    if (got == 0) {
        stream->atEnd = true;
        return kStreamEnd;
    }
    return stream->buffer[stream->next++];
}

bool StreamAtEnd(const ByteStream *stream) { return stream->atEnd; }

bool StreamFlush(ByteStream *stream)
{
    if (!stream->writing)
        return true;
    if (stream->length > 0 && !stream->failed) {
        DWORD put = 0;
        if (!WriteFile(stream->file, stream->buffer, stream->length, &put, nullptr) || put != stream->length)
            stream->failed = true;
        stream->bufferStart += long(put);
    }
    stream->length = 0;
    return !stream->failed;
}

bool StreamPutByte(ByteStream *stream, uint8_t byte)
{
    if (!stream->writing || stream->failed)
        return false;
    stream->buffer[stream->length++] = byte;
    return stream->length < kStreamBufferSize || StreamFlush(stream);
}

bool StreamWrite(ByteStream *stream, const void *bytes, size_t count)
{
    const uint8_t *from = static_cast<const uint8_t *>(bytes);
    for (size_t i = 0; i < count; ++i)
        if (!StreamPutByte(stream, from[i]))
            return false;
    return true;
}

long StreamTell(const ByteStream *stream)
{
    return stream->bufferStart + long(stream->writing ? stream->length : stream->next);
}

long StreamSize(ByteStream *stream)
{
    StreamFlush(stream);
    DWORD size = GetFileSize(stream->file, nullptr);
    return size == INVALID_FILE_SIZE ? -1 : long(size);
}

bool StreamClose(ByteStream *stream)
{
    bool written = StreamFlush(stream);
    CloseHandle(stream->file);
    stream->open = false;
    return written;
}

void StreamFlushAll()
{
    for (ByteStream &stream : streams)
        if (stream.open)
            StreamFlush(&stream);
}

void StreamCloseAll()
{
    for (ByteStream &stream : streams)
        if (stream.open)
            StreamClose(&stream);
}
