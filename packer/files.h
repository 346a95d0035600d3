// The packer's files: what it agrees to read (regular files, sizes checked before
// reading) and how it writes (an exclusively created temporary file beside the
// final name, renamed over it only when complete). Platform parts live in
// files_posix.cpp and files_win32.cpp; the rest in files.cpp.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The SZDD length field holds at most this many bytes.
constexpr uint64_t kLargestSzddInput = 0xFFFFFFFFull;

// Opens a regular file for reading; a device, FIFO, socket or folder is refused
// before anything is read from it (a FIFO without a writer would block forever).
bool OpenInputFile(const std::string &path, std::FILE *&file, uint64_t &size, std::string &error);

// Moves an input file to a 64-bit offset.
bool SeekInput(std::FILE *file, uint64_t offset);

// Opens a regular file of at most maxSize bytes and closes it again: the checks
// of ReadFileBytes, made before any work.
bool CheckInputFile(const std::string &path, uint64_t maxSize, std::string &error);

// Reads a whole regular file of at most maxSize bytes; the size is checked first.
bool ReadFileBytes(const std::string &path, std::vector<uint8_t> &data, uint64_t maxSize, std::string &error);
bool ReadFileBytes(const std::string &path, std::vector<uint8_t> &data, std::string &error);

// True when both names exist and are one file (links followed).
bool SameFile(const std::string &a, const std::string &b);

// An output name may be new, a regular file, or a symbolic link (the link itself
// is replaced, never what it points to). Anything else is refused before any work,
// and so is a read-only file unless `force` is given (as the common file tools do).
bool CheckOutputName(const std::string &path, bool force, std::string &error);

// An output goes into a folder that exists: a mistyped folder is named, not made
// (extract, whose operand is the folder itself, makes it).
bool CheckOutputFolder(const std::string &out, std::string &error);

// A file being written: `temp` is created exclusively next to `path` (a name of
// its own, never following a link) and becomes `path` only once placed. An
// earlier regular file at `path` gives the new one its mode (and, for root, its
// owner). `kept` holds that earlier file aside while a group is being placed.
struct OutputFile {
    std::string path;
    std::string temp;
    std::string kept;
    std::FILE *stream;
    unsigned long earlierAttributes;  // Windows: the earlier file's attributes, or ~0ul
};
bool CreateOutput(const std::string &path, OutputFile &out, std::string &error);
bool WriteOutput(OutputFile &out, const uint8_t *data, size_t size, std::string &error);
// Rewrites bytes already written, and reads them back, before the commit; the
// stream goes on writing at its end afterwards.
bool WriteOutputAt(OutputFile &out, uint64_t offset, const uint8_t *data, size_t size);
bool ReadOutputAt(OutputFile &out, uint64_t offset, uint8_t *data, size_t size);
// Flushes, syncs and closes the temporary file: every write error (a full disk)
// shows here, before anything is renamed. On failure the temporary file is removed.
bool FinishOutput(OutputFile &out, std::string &error);
// Renames a finished temporary file over `path`. An earlier file there is kept
// aside under a name of its own (`kept`) until DropKept or RestoreOutput, so a
// group of outputs can be put in place all or nothing.
bool PlaceOutput(OutputFile &out, std::string &error);
// Undoes PlaceOutput: the earlier file goes back, or the new one is removed.
bool RestoreOutput(OutputFile &out);
// Removes the earlier file kept aside, once the whole group is in place.
void DropKept(OutputFile &out);
// FinishOutput, then the rename over `path` (a single output: nothing kept aside).
bool CommitOutput(OutputFile &out, std::string &error);
// Closes and removes the temporary file (no-op when there is none).
void DiscardOutput(OutputFile &out);
bool RemoveFile(const std::string &path);

// The temporary name beside `path`: `path` + `suffix`, with the file's own name
// cut short when the whole would pass the longest name the folder takes (a
// valid output name of 241 to 255 bytes still works).
std::string TemporaryNameBeside(const std::string &path, const std::string &suffix, size_t longestName);

// Whole data to `path` through a temporary file.
bool WriteFileReplacing(const std::string &path, const std::vector<uint8_t> &data, std::string &error);

// Interruptions (Ctrl-C, SIGTERM, SIGHUP; Ctrl-C and Ctrl-Break on Windows) leave
// nothing behind: the outputs under way are followed, and the handler removes
// unfinished temporary files and takes back what an all-or-nothing group (extract)
// has placed so far, then says so in one line and exits 128 + the signal.
void CatchInterruptions();
// What the handler must undo for out: its temporary file, or the file it placed
// (with out.kept, the earlier file, to put back); Untrack when nothing is left.
void TrackTemporary(const OutputFile &out);
void TrackPlaced(const OutputFile &out);
void Untrack(const OutputFile &out);
// While a helper program runs for us in a work folder, an interruption is held:
// the handler only notes it, the code waiting for the helper sees it through
// InterruptionPending, ends the helper and removes the folder, and
// ReleaseInterruptions then ends the program as the handler would have (saying
// that `leftBehind` could not be removed, when it is not empty).
void HoldInterruptions();
int InterruptionPending();
void ReleaseInterruptions(const std::string &leftBehind);
// For the platform's handler: undoes every tracked output with the two calls given.
void UndoTrackedOutputs(void (*removeFile)(const char *path), void (*moveBack)(const char *from, const char *to));

// The SZDD streaming calls' ends on a stdio stream (ctx: std::FILE *): a read
// returns -1 on a read error, a write -1 unless every byte was written.
long ReadFromStream(void *ctx, uint8_t *buf, long n);
long WriteToStream(void *ctx, const uint8_t *buf, long n);

// True when the stream is a terminal (a console on Windows): live progress is drawn
// only there, never into a file or a pipe.
bool IsTerminal(std::FILE *stream);
