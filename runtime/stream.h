// The installer's buffered byte stream on the system's file calls: bytes are read
// and written one at a time through a fixed buffer, so no file is held whole in memory.
#pragma once
#include <cstddef>
#include <cstdint>

struct ByteStream;

enum StreamMode {
    STREAM_READ,   // an existing file, from its first byte
    STREAM_WRITE,  // created, or emptied when it exists
};

// What StreamGetByte returns at the end of the file or on a read error.
constexpr int kStreamEnd = -1;

// nullptr when the file cannot be opened, or when every stream is in use.
ByteStream *StreamOpen(const char *path, StreamMode mode);
// The next byte (0..255), or kStreamEnd; StreamAtEnd then tells the end of the
// file from a read error.
int StreamGetByte(ByteStream *stream);
bool StreamAtEnd(const ByteStream *stream);
// False when a write failed: the byte, or the buffer it completed, is lost, and so
// is everything written after it. The failure shows in the call that met it.
bool StreamPutByte(ByteStream *stream, uint8_t byte);
bool StreamWrite(ByteStream *stream, const void *bytes, size_t count);
// Position of the next byte to read or write; the file's size (for a written stream
// once what is waiting is written), or -1.
long StreamTell(const ByteStream *stream);
long StreamSize(ByteStream *stream);
// Writes what is waiting; false when a write of this stream has failed.
bool StreamFlush(ByteStream *stream);
// Writes what is waiting and closes the file; false when a write has failed.
bool StreamClose(ByteStream *stream);
// Every open stream: what is waiting is written (the program's end also closes them).
void StreamFlushAll();
void StreamCloseAll();
