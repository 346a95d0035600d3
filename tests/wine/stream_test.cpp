// The installer's byte stream (runtime/stream.h) on real files in the prefix: bytes
// written one at a time come back in order across buffer boundaries, the position
// and the size follow them, the end of a file is told from a failure, and a write
// that fails is reported by the call that met it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "prefix.h"
#include "runtime/stream.h"

namespace {

std::string PathOf(const char *name) { return TempDirectory() + name; }

uint8_t ByteAt(long i) { return uint8_t(i * 31 + (i >> 8)); }

TEST(ByteStream, WrittenBytesReadBackInOrderAcrossTheBuffer)
{
    const std::string path = PathOf("stream_roundtrip.bin");
    for (long size : {0L, 1L, 4095L, 4096L, 4097L, 12289L}) {
        SCOPED_TRACE(size);
        ByteStream *out = StreamOpen(path.c_str(), STREAM_WRITE);
        ASSERT_NE(nullptr, out);
        const uint8_t head[3] = {ByteAt(0), ByteAt(1), ByteAt(2)};
        long first = size < 3 ? size : 3;
        ASSERT_TRUE(StreamWrite(out, head, size_t(first)));
        for (long i = first; i < size; ++i)
            ASSERT_TRUE(StreamPutByte(out, ByteAt(i)));
        EXPECT_EQ(size, StreamTell(out));
        EXPECT_EQ(size, StreamSize(out)) << "what is waiting counts once written";
        ASSERT_TRUE(StreamClose(out));

        ByteStream *in = StreamOpen(path.c_str(), STREAM_READ);
        ASSERT_NE(nullptr, in);
        EXPECT_EQ(size, StreamSize(in));
        for (long i = 0; i < size; ++i) {
            ASSERT_EQ(i, StreamTell(in));
            ASSERT_EQ(int(ByteAt(i)), StreamGetByte(in)) << "at " << i;
        }
        EXPECT_FALSE(StreamAtEnd(in)) << "the end is known only once a read meets it";
        EXPECT_EQ(kStreamEnd, StreamGetByte(in));
        EXPECT_TRUE(StreamAtEnd(in));
        EXPECT_EQ(kStreamEnd, StreamGetByte(in)) << "and stays there";
        EXPECT_EQ(size, StreamTell(in));
        EXPECT_FALSE(StreamPutByte(in, 0)) << "a stream opened for reading takes no bytes";
        EXPECT_TRUE(StreamClose(in));
    }
    DeleteFileA(path.c_str());
}

TEST(ByteStream, WritingEmptiesAnExistingFile)
{
    const std::string path = PathOf("stream_truncate.bin");
    ByteStream *out = StreamOpen(path.c_str(), STREAM_WRITE);
    ASSERT_NE(nullptr, out);
    ASSERT_TRUE(StreamWrite(out, "a longer earlier content", 24));
    ASSERT_TRUE(StreamClose(out));
    out = StreamOpen(path.c_str(), STREAM_WRITE);
    ASSERT_NE(nullptr, out);
    ASSERT_TRUE(StreamWrite(out, "new", 3));
    ASSERT_TRUE(StreamClose(out));
    ByteStream *in = StreamOpen(path.c_str(), STREAM_READ);
    ASSERT_NE(nullptr, in);
    EXPECT_EQ(3, StreamSize(in));
    StreamClose(in);
    DeleteFileA(path.c_str());
}

TEST(ByteStream, OpenFailsForWhatCannotBeOpened)
{
    const std::string missing = PathOf("no_such_folder\\file.bin");
    EXPECT_EQ(nullptr, StreamOpen(PathOf("no_such_stream_file.bin").c_str(), STREAM_READ));
    EXPECT_EQ(nullptr, StreamOpen(missing.c_str(), STREAM_WRITE));
    EXPECT_EQ(nullptr, StreamOpen(nullptr, STREAM_READ));
    // A directory of the name cannot take a file.
    const std::string folder = PathOf("stream_folder");
    CreateDirectoryA(folder.c_str(), NULL);
    EXPECT_EQ(nullptr, StreamOpen(folder.c_str(), STREAM_WRITE));
    RemoveDirectoryA(folder.c_str());
}

// The table is small and fixed: when every stream is open, the next open fails
// cleanly, and a closed one is free again.
TEST(ByteStream, AFullTableRefusesTheNextOpenUntilOneCloses)
{
    const std::string path = PathOf("stream_table.bin");
    ByteStream *out = StreamOpen(path.c_str(), STREAM_WRITE);
    ASSERT_NE(nullptr, out);
    ASSERT_TRUE(StreamClose(out));
    std::vector<ByteStream *> open;
    for (int i = 0; i < 64; ++i) {
        ByteStream *s = StreamOpen(path.c_str(), STREAM_READ);
        if (!s)
            break;
        open.push_back(s);
    }
    ASSERT_LT(open.size(), 64u);
    ASSERT_GE(open.size(), 2u) << "the installer's own file and the temporary file at once";
    EXPECT_EQ(nullptr, StreamOpen(path.c_str(), STREAM_READ));
    StreamClose(open.back());
    open.pop_back();
    ByteStream *again = StreamOpen(path.c_str(), STREAM_READ);
    EXPECT_NE(nullptr, again);
    if (again)
        open.push_back(again);
    for (ByteStream *s : open)
        StreamClose(s);
    DeleteFileA(path.c_str());
}

// A pipe whose reading end has gone takes no more bytes: the put that fills the
// buffer and writes it out reports the failure, and every later one too.
TEST(ByteStream, AFailedWriteIsReportedByTheCallThatMeetsIt)
{
    const char pipeName[] = "\\\\.\\pipe\\setup32-stream-test";
    HANDLE reader = CreateNamedPipeA(pipeName, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 65536, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    ByteStream *out = StreamOpen(pipeName, STREAM_WRITE);
    ASSERT_NE(nullptr, out) << GetLastError();
    CloseHandle(reader);
    long accepted = 0;
    while (accepted < 100000 && StreamPutByte(out, 'x'))
        ++accepted;
    EXPECT_EQ(4095, accepted) << "the buffer takes bytes until it must be written";
    EXPECT_FALSE(StreamPutByte(out, 'y'));
    EXPECT_FALSE(StreamFlush(out));
    EXPECT_FALSE(StreamClose(out)) << "closing reports the lost bytes too";
}

TEST(ByteStream, ClosingReportsAWriteThatFailsOnlyThen)
{
    const char pipeName[] = "\\\\.\\pipe\\setup32-stream-close-test";
    HANDLE reader = CreateNamedPipeA(pipeName, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 65536, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    ByteStream *out = StreamOpen(pipeName, STREAM_WRITE);
    ASSERT_NE(nullptr, out) << GetLastError();
    EXPECT_TRUE(StreamWrite(out, "waiting", 7)) << "buffered, not yet written";
    CloseHandle(reader);
    EXPECT_FALSE(StreamClose(out));
}

}  // namespace
