// The packer's file primitives on POSIX systems: regular-file checks on the open
// descriptor, exclusive temporary files, rename into place.
#include "packer/files.h"

#include <cerrno>
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

bool SeekInput(std::FILE *file, uint64_t offset)
{
    return ::fseeko(file, off_t(offset), SEEK_SET) == 0;
}

bool SameFile(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool CheckOutputName(const std::string &path, std::string &error)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return true;
        error = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))
        return true;
    error = NotRegular("write", path, st.st_mode) + "; mksetup only replaces regular files";
    return false;
}

bool CreateOutput(const std::string &path, OutputFile &out, std::string &error)
{
    out.path = path;
    out.stream = nullptr;
    // mkstemp makes a new name of its own with O_EXCL: an existing file or link
    // under that name is never opened, let alone followed.
    std::string pattern = path + ".partial-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data());
    if (fd < 0) {
        error = "cannot write '" + path + "': " + std::strerror(errno);
        return false;
    }
    out.temp = name.data();
    // mkstemp creates 0600; give the usual mode of a new file.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    out.stream = ::fdopen(fd, "wb");
    if (out.stream == nullptr) {
        error = "cannot write '" + path + "': " + std::strerror(errno);
        ::close(fd);
        ::unlink(out.temp.c_str());
        out.temp.clear();
        return false;
    }
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

bool CommitOutput(OutputFile &out, std::string &error)
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
        error = "cannot write '" + out.path + "': " + std::strerror(saved);
        return false;
    }
    if (::rename(out.temp.c_str(), out.path.c_str()) != 0) {
        error = "cannot write '" + out.path + "': " + std::strerror(errno);
        ::unlink(out.temp.c_str());
        out.temp.clear();
        return false;
    }
    out.temp.clear();
    return true;
}

bool RemoveFile(const std::string &path)
{
    return ::unlink(path.c_str()) == 0;
}
