// The packer's file primitives on Windows: disk-file checks on the open handle,
// temporary files created with CREATE_NEW, MoveFileEx into place.
#include "packer/files.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

namespace {

// The system's error in the words the POSIX build uses for the same failure, so
// that both builds give a publisher the same message.
std::string LastErrorText()
{
    static const struct {
        DWORD code;
        const char *text;
    } known[] = {
        {ERROR_FILE_NOT_FOUND, "No such file or directory"},
        {ERROR_PATH_NOT_FOUND, "No such file or directory"},
        {ERROR_ACCESS_DENIED, "Permission denied"},
        {ERROR_SHARING_VIOLATION, "Permission denied"},
        {ERROR_DISK_FULL, "No space left on device"},
        {ERROR_HANDLE_DISK_FULL, "No space left on device"},
        {ERROR_FILE_EXISTS, "File exists"},
        {ERROR_ALREADY_EXISTS, "File exists"},
        {ERROR_FILENAME_EXCED_RANGE, "File name too long"},
        {ERROR_WRITE_PROTECT, "Read-only file system"},
        {ERROR_NOT_ENOUGH_MEMORY, "Cannot allocate memory"},
        {ERROR_OUTOFMEMORY, "Cannot allocate memory"},
    };
    DWORD code = GetLastError();
    for (const auto &k : known)
        if (k.code == code)
            return k.text;
    return "error " + std::to_string(unsigned(code));
}

// A handle's file as a stdio stream; the handle is owned by the stream afterwards.
std::FILE *StreamFromHandle(HANDLE h, int flags, const char *mode)
{
    int fd = _open_osfhandle(intptr_t(h), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE *f = _fdopen(fd, mode);
    if (f == nullptr)
        _close(fd);
    return f;
}

}  // namespace

bool OpenInputFile(const std::string &path, std::FILE *&file, uint64_t &size, std::string &error)
{
    file = nullptr;
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        error = "cannot read '" + path + "': " + LastErrorText();
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = "cannot read '" + path + "': it is a folder, not a regular file";
        return false;
    }
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = "cannot read '" + path + "': " + LastErrorText();
        return false;
    }
    LARGE_INTEGER length;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &length)) {
        CloseHandle(h);
        error = "cannot read '" + path + "': it is a device, not a regular file";
        return false;
    }
    file = StreamFromHandle(h, _O_RDONLY, "rb");
    if (file == nullptr) {
        error = "cannot read '" + path + "': cannot open a stream on it";
        return false;
    }
    size = uint64_t(length.QuadPart);
    return true;
}

bool SeekInput(std::FILE *file, uint64_t offset) { return _fseeki64(file, (long long)offset, SEEK_SET) == 0; }

bool SameFile(const std::string &a, const std::string &b)
{
    BY_HANDLE_FILE_INFORMATION info[2];
    const std::string *names[2] = {&a, &b};
    for (int k = 0; k < 2; ++k) {
        HANDLE h = CreateFileA(names[k]->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        BOOL ok = GetFileInformationByHandle(h, &info[k]);
        CloseHandle(h);
        if (!ok)
            return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

bool CheckOutputName(const std::string &path, bool force, std::string &error)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if ((attributes & FILE_ATTRIBUTE_READONLY) && !(attributes & FILE_ATTRIBUTE_DIRECTORY) && !force) {
        error = "cannot write '" + path + "': it is read-only (--force replaces it)";
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        error = "cannot write '" + path + "': it is a folder, not a regular file; mksetup only replaces regular files";
        return false;
    }
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return true;
    DWORD type = GetFileType(h);
    CloseHandle(h);
    if (type != FILE_TYPE_DISK) {
        error = "cannot write '" + path + "': it is a device, not a regular file; mksetup only replaces regular files";
        return false;
    }
    return true;
}

bool CreateOutput(const std::string &path, OutputFile &out, std::string &error)
{
    out.path = path;
    out.stream = nullptr;
    out.kept.clear();
    // The replacement gets the earlier file's attributes when it is placed.
    out.earlierAttributes = GetFileAttributesA(path.c_str());
    if (out.earlierAttributes == INVALID_FILE_ATTRIBUTES)
        out.earlierAttributes = ~0ul;
    // CREATE_NEW fails on any existing name, so the temporary file is always our own.
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        std::string suffix = ".partial-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
        std::string temp = TemporaryNameBeside(path, suffix, MAX_PATH - 5);
        // Readable too: a build reads its installer back for the final check.
        HANDLE h = CreateFileA(temp.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)
                continue;
            error = "cannot write '" + path + "': " + LastErrorText();
            return false;
        }
        out.temp = temp;
        out.stream = StreamFromHandle(h, _O_RDWR, "w+b");
        if (out.stream == nullptr) {
            DeleteFileA(temp.c_str());
            out.temp.clear();
            error = "cannot write '" + path + "': cannot open a stream on it";
            return false;
        }
        TrackTemporary(out);
        return true;
    }
    error = "cannot write '" + path + "': no free temporary name beside it";
    return false;
}

// An update stream may switch between writing and reading only across a seek;
// every access seeks, and the stream is left at the end for the next write.
bool WriteOutputAt(OutputFile &out, uint64_t offset, const uint8_t *data, size_t size)
{
    bool ok = _fseeki64(out.stream, (long long)offset, SEEK_SET) == 0 && std::fwrite(data, 1, size, out.stream) == size;
    return _fseeki64(out.stream, 0, SEEK_END) == 0 && ok;
}

bool ReadOutputAt(OutputFile &out, uint64_t offset, uint8_t *data, size_t size)
{
    bool ok = _fseeki64(out.stream, (long long)offset, SEEK_SET) == 0 && std::fread(data, 1, size, out.stream) == size;
    return _fseeki64(out.stream, 0, SEEK_END) == 0 && ok;
}

bool FinishOutput(OutputFile &out, std::string &error)
{
    bool ok = std::fflush(out.stream) == 0;
    ok = ok && FlushFileBuffers(HANDLE(_get_osfhandle(_fileno(out.stream))));
    DWORD saved = GetLastError();
    ok = std::fclose(out.stream) == 0 && ok;
    out.stream = nullptr;
    if (!ok) {
        SetLastError(saved);
        error = "cannot write '" + out.path + "': " + LastErrorText();
        DeleteFileA(out.temp.c_str());
        out.temp.clear();
        Untrack(out);
        return false;
    }
    return true;
}

namespace {

// A read-only earlier file (replaced with --force) would refuse the move.
void ClearReadOnly(const OutputFile &out)
{
    if (out.earlierAttributes != ~0ul && (out.earlierAttributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(out.path.c_str(), DWORD(out.earlierAttributes) & ~DWORD(FILE_ATTRIBUTE_READONLY));
}

void GiveEarlierAttributes(const OutputFile &out)
{
    if (out.earlierAttributes != ~0ul)
        SetFileAttributesA(out.path.c_str(), DWORD(out.earlierAttributes));
}

}  // namespace

bool PlaceOutput(OutputFile &out, std::string &error)
{
    out.kept.clear();
    if (GetFileAttributesA(out.path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        ClearReadOnly(out);
        for (unsigned attempt = 0; attempt < 1000 && out.kept.empty(); ++attempt) {
            std::string suffix = ".earlier-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
            std::string kept = TemporaryNameBeside(out.path, suffix, MAX_PATH - 5);
            // A second name keeps the earlier file; a name that exists is refused.
            if (CreateHardLinkA(kept.c_str(), out.path.c_str(), nullptr) ||
                (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS &&
                 MoveFileExA(out.path.c_str(), kept.c_str(), MOVEFILE_WRITE_THROUGH)))
                out.kept = kept;
            else if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS)
                break;
        }
        if (out.kept.empty()) {
            error = "cannot write '" + out.path + "': " + LastErrorText();
            GiveEarlierAttributes(out);
            return false;
        }
    }
    if (!MoveFileExA(out.temp.c_str(), out.path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = "cannot write '" + out.path + "': " + LastErrorText();
        if (!out.kept.empty() && GetFileAttributesA(out.path.c_str()) != INVALID_FILE_ATTRIBUTES)
            DeleteFileA(out.kept.c_str());
        else if (!out.kept.empty())
            MoveFileExA(out.kept.c_str(), out.path.c_str(), MOVEFILE_WRITE_THROUGH);
        GiveEarlierAttributes(out);
        out.kept.clear();
        return false;
    }
    GiveEarlierAttributes(out);
    out.temp.clear();
    TrackPlaced(out);
    return true;
}

bool RestoreOutput(OutputFile &out)
{
    bool ok = out.kept.empty() ? DeleteFileA(out.path.c_str()) != 0
                               : MoveFileExA(out.kept.c_str(), out.path.c_str(),
                                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    out.kept.clear();
    Untrack(out);
    return ok;
}

void DropKept(OutputFile &out)
{
    Untrack(out);
    if (!out.kept.empty()) {
        SetFileAttributesA(out.kept.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(out.kept.c_str());
    }
    out.kept.clear();
}

bool CommitOutput(OutputFile &out, std::string &error)
{
    if (!FinishOutput(out, error))
        return false;
    ClearReadOnly(out);
    if (!MoveFileExA(out.temp.c_str(), out.path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = "cannot write '" + out.path + "': " + LastErrorText();
        GiveEarlierAttributes(out);
        DeleteFileA(out.temp.c_str());
        out.temp.clear();
        Untrack(out);
        return false;
    }
    GiveEarlierAttributes(out);
    out.temp.clear();
    Untrack(out);
    return true;
}

bool RemoveFile(const std::string &path) { return DeleteFileA(path.c_str()) != 0; }

namespace {

void RemoveNow(const char *path) { DeleteFileA(path); }
void MoveBackNow(const char *from, const char *to) { MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING); }

// The console runs this on a thread of its own; the program is ended from here.
BOOL WINAPI OnInterruption(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    UndoTrackedOutputs(RemoveNow, MoveBackNow);
    static const char line[] = "mksetup: interrupted; nothing unfinished was left behind\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, DWORD(sizeof line - 1), &written, NULL);
    ExitProcess(event == CTRL_CLOSE_EVENT ? 129 : 130);
    return TRUE;
}

}  // namespace

// Ctrl-C reaches a helper program in the same console by itself; nothing is held.
void HoldInterruptions() {}
int InterruptionPending() { return 0; }
void ReleaseInterruptions(const std::string &) {}

void CatchInterruptions() { SetConsoleCtrlHandler(OnInterruption, TRUE); }

bool IsTerminal(std::FILE *stream) { return _isatty(_fileno(stream)) != 0; }
