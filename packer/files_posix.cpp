// The packer's file primitives on POSIX systems: regular-file checks on the open
// descriptor, exclusive temporary files, rename into place.
#include "packer/files.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}

std::string NotRegular(const std::string &verb, const std::string &path, mode_t mode)
{
    std::string kind = KindOf(mode);
    if (kind.rfind("not ", 0) == 0)
        return "cannot " + verb + " '" + path + "': it is " + kind;
    return "cannot " + verb + " '" + path + "': it is " + kind + ", not a regular file";
}

}  // namespace

namespace {

// Held over each step that makes, renames or forgets a file the interruption
// handler knows of, so that the handler never sees a file that exists under one
// name while its record still says another.
struct SignalsHeld {
    sigset_t previous;
    SignalsHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&held, s);
        sigprocmask(SIG_BLOCK, &held, &previous);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
};

}  // namespace

bool OpenInputFile(const std::string &path, std::FILE *&file, uint64_t &size, std::string &error)
{
    file = nullptr;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = NotRegular("read", path, st.st_mode);
        return false;
    }
    // Non-blocking open, so a name swapped for a FIFO meanwhile cannot hang us;
    // the descriptor itself is checked again.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = NotRegular("read", path, st.st_mode);
        ::close(fd);
        return false;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        error = "cannot read '" + path + "': " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    size = uint64_t(st.st_size);
    return true;
}

bool SeekInput(std::FILE *file, uint64_t offset) { return ::fseeko(file, off_t(offset), SEEK_SET) == 0; }

bool SameFile(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool CheckOutputName(const std::string &path, bool force, std::string &error)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        error = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode))
        return true;
    if (!S_ISREG(st.st_mode)) {
        error = NotRegular("write", path, st.st_mode) + "; mksetup only replaces regular files";
        return false;
    }
    // Root may write anything, so the mode bits decide too, as for rm and cp.
    bool readOnly = (st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0;
    if (readOnly && !force) {
        error = "cannot write '" + path + "': it is read-only (--force replaces it)";
        return false;
    }
    return true;
}

namespace {

size_t LongestNameIn(const std::string &path)
{
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    long longest = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    return longest > 0 ? size_t(longest) : 255;
}

// A name beside `path` that nothing else holds, made with mkstemp (O_EXCL).
int MakeTemporary(const std::string &path, const char *suffix, std::string &name)
{
    std::string pattern = TemporaryNameBeside(path, std::string(suffix) + "-XXXXXX", LongestNameIn(path));
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    int fd = ::mkstemp(buffer.data());
    if (fd >= 0)
        name = buffer.data();
    return fd;
}

// An earlier file's owner and mode pass to the new file unless another user
// could have left it there: in a folder others may write in (a shared sticky
// folder, say), a file that belongs neither to us nor to the folder's owner is
// not ours to copy, or its owner would own, or could write to, what we wrote.
// In a folder only its owner writes in, such a file was given away on purpose.
bool MayKeepOwnerAndMode(const std::string &path, const struct stat &earlier)
{
    if (earlier.st_uid == ::geteuid())
        return true;
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    struct stat folder;
    if (::stat(dir.c_str(), &folder) != 0)
        return false;
    return folder.st_uid == earlier.st_uid || (folder.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

bool CreateOutput(const std::string &path, OutputFile &out, std::string &error)
{
    out.path = path;
    out.stream = nullptr;
    out.kept.clear();
    out.earlierAttributes = ~0ul;
    // mkstemp makes a new name of its own with O_EXCL: an existing file or link
    // under that name is never opened, let alone followed.
    int fd;
    {
        SignalsHeld held;
        fd = MakeTemporary(path, ".partial", out.temp);
        if (fd >= 0)
            TrackTemporary(out);
    }
    if (fd < 0) {
        error = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    struct stat earlier;
    if (::lstat(path.c_str(), &earlier) == 0 && S_ISREG(earlier.st_mode) && MayKeepOwnerAndMode(path, earlier)) {
        // The replacement is the same file to its users: same mode, and for
        // root, the same owner (chown first: it clears the mode's special bits).
        if (::geteuid() == 0)
            (void)::fchown(fd, earlier.st_uid, earlier.st_gid);
        ::fchmod(fd, earlier.st_mode & 0777);
    } else {
        // mkstemp creates 0600; give the usual mode of a new file.
        mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    out.stream = ::fdopen(fd, "wb");
    if (out.stream == nullptr) {
        error = "cannot write '" + path + "': " + std::strerror(errno);
        ::close(fd);
        ::unlink(out.temp.c_str());
        out.temp.clear();
        Untrack(out);
        return false;
    }
    TrackTemporary(out);
    return true;
}

// pwrite and pread leave the descriptor's position, and so the stream's, alone;
// the stream's buffer is flushed first so that the file holds everything written.
bool WriteOutputAt(OutputFile &out, uint64_t offset, const uint8_t *data, size_t size)
{
    if (std::fflush(out.stream) != 0)
        return false;
    int fd = ::fileno(out.stream);
    for (size_t done = 0; done < size;) {
        ssize_t n = ::pwrite(fd, data + done, size - done, off_t(offset + done));
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool ReadOutputAt(OutputFile &out, uint64_t offset, uint8_t *data, size_t size)
{
    if (std::fflush(out.stream) != 0)
        return false;
    int fd = ::fileno(out.stream);
    for (size_t done = 0; done < size;) {
        ssize_t n = ::pread(fd, data + done, size - done, off_t(offset + done));
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool FinishOutput(OutputFile &out, std::string &error)
{
    bool ok = std::fflush(out.stream) == 0;
    int saved = errno;
    ok = ok && ::fsync(::fileno(out.stream)) == 0;
    if (!ok)
        saved = errno;
    ok = std::fclose(out.stream) == 0 && ok;
    if (!ok && saved == 0)
        saved = errno;
    out.stream = nullptr;
    if (!ok) {
        ::unlink(out.temp.c_str());
        out.temp.clear();
        Untrack(out);
        error = "cannot write '" + out.path + "': " + std::strerror(saved);
        return false;
    }
    return true;
}

bool PlaceOutput(OutputFile &out, std::string &error)
{
    SignalsHeld held;
    out.kept.clear();
    struct stat st;
    if (::lstat(out.path.c_str(), &st) == 0) {
        // A second name for the earlier file, so that the name itself is never
        // missing; link refuses a name that exists. Where links are not
        // supported, the earlier file is moved aside instead.
        int fd = MakeTemporary(out.path, ".earlier", out.kept);
        if (fd < 0) {
            error = "cannot write '" + out.path + "': " + std::strerror(errno);
            out.kept.clear();
            return false;
        }
        ::close(fd);
        ::unlink(out.kept.c_str());
        if (::link(out.path.c_str(), out.kept.c_str()) != 0 && ::rename(out.path.c_str(), out.kept.c_str()) != 0) {
            error = "cannot write '" + out.path + "': " + std::strerror(errno);
            out.kept.clear();
            return false;
        }
    }
    if (::rename(out.temp.c_str(), out.path.c_str()) != 0) {
        error = "cannot write '" + out.path + "': " + std::strerror(errno);
        if (!out.kept.empty() && ::lstat(out.path.c_str(), &st) == 0)
            ::unlink(out.kept.c_str());
        else if (!out.kept.empty())
            ::rename(out.kept.c_str(), out.path.c_str());
        out.kept.clear();
        return false;
    }
    out.temp.clear();
    TrackPlaced(out);
    return true;
}

bool RestoreOutput(OutputFile &out)
{
    SignalsHeld held;
    bool ok = out.kept.empty() ? ::unlink(out.path.c_str()) == 0 : ::rename(out.kept.c_str(), out.path.c_str()) == 0;
    out.kept.clear();
    Untrack(out);
    return ok;
}

void DropKept(OutputFile &out)
{
    SignalsHeld held;
    Untrack(out);
    if (!out.kept.empty())
        ::unlink(out.kept.c_str());
    out.kept.clear();
}

bool CommitOutput(OutputFile &out, std::string &error)
{
    if (!FinishOutput(out, error))
        return false;
    SignalsHeld held;
    if (::rename(out.temp.c_str(), out.path.c_str()) != 0) {
        error = "cannot write '" + out.path + "': " + std::strerror(errno);
        ::unlink(out.temp.c_str());
        out.temp.clear();
        Untrack(out);
        return false;
    }
    out.temp.clear();
    Untrack(out);
    return true;
}

bool RemoveFile(const std::string &path) { return ::unlink(path.c_str()) == 0; }

namespace {

void RemoveNow(const char *path) { ::unlink(path); }
void MoveBackNow(const char *from, const char *to) { ::rename(from, to); }

volatile sig_atomic_t interruptionsHeld = 0;
volatile sig_atomic_t pendingSignal = 0;

// Only async-signal-safe calls from here on: unlink, rename, write, _exit.
[[noreturn]] void EndInterrupted(int signal, const char *leftBehind)
{
    UndoTrackedOutputs(RemoveNow, MoveBackNow);
    const char *name = signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
    char line[4400];
    size_t n = 0;
    const char *nothingLeft[] = {"mksetup: interrupted by ", name, "; nothing unfinished was left behind\n", "", ""};
    const char *folderLeft[] = {"mksetup: interrupted by ", name, "; the work folder '", leftBehind,
                                "' could not be removed\n"};
    for (const char *part : leftBehind[0] == '\0' ? nothingLeft : folderLeft)
        for (const char *c = part; *c != '\0' && n < sizeof line; ++c)
            line[n++] = *c;
    ssize_t ignored = ::write(2, line, n);
    (void)ignored;
    ::_exit(128 + signal);
}

void OnInterruption(int signal)
{
    if (interruptionsHeld) {
        pendingSignal = signal;
        return;
    }
    EndInterrupted(signal, "");
}

}  // namespace

void HoldInterruptions()
{
    pendingSignal = 0;
    interruptionsHeld = 1;
}

int InterruptionPending() { return pendingSignal; }

void ReleaseInterruptions(const std::string &leftBehind)
{
    SignalsHeld held;
    interruptionsHeld = 0;
    if (pendingSignal != 0)
        EndInterrupted(pendingSignal, leftBehind.c_str());
}

void CatchInterruptions()
{
    struct sigaction action = {};
    action.sa_handler = OnInterruption;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&action.sa_mask, s);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(s, &action, nullptr);
}

bool IsTerminal(std::FILE *stream) { return ::isatty(fileno(stream)) == 1; }
