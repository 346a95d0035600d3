// Running other programs on POSIX systems: posix_spawnp into a process group of
// its own with the output sent to a log and a time limit, and work folders made
// by mkdtemp.
#include "packer/program.h"

#include "packer/files.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

std::string OwnProgramPath()
{
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.string();
}

bool FindProgram(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= dirs.size()) {
        size_t end = dirs.find(':', at);
        if (end == std::string::npos)
            end = dirs.size();
        std::string dir = dirs.substr(at, end - at);
        std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return true;
        at = end + 1;
    }
    return false;
}

namespace {

void Pause()
{
    struct timespec pause = {0, 10 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
}

double Now()
{
    struct timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Ends the program's whole group and reaps it. The leader has not been reaped
// yet, so its group id cannot have passed to another group.
void EndGroup(pid_t pid)
{
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

int RunProgram(const std::vector<std::string> &argv, const std::string &logPath, unsigned timeoutSeconds,
               std::string &error)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // A group of its own: Ctrl-C at the terminal reaches mksetup alone, which
    // then ends the group, and a time limit ends whatever the program started.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        error = "cannot start " + argv[0] + ": " + std::strerror(rc);
        return kProgramNotStarted;
    }
    double deadline = Now() + double(timeoutSeconds);
    for (;;) {
        // WNOWAIT leaves the exited leader unreaped, so its group id stays ours
        // while anything it left running in the group is ended too.
        siginfo_t info = {};
        if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0 && errno != EINTR) {
            error = "lost " + argv[0] + ": " + std::strerror(errno);
            EndGroup(pid);
            return kProgramNotStarted;
        }
        if (info.si_pid == pid)
            break;
        if (InterruptionPending() != 0) {
            EndGroup(pid);
            error = argv[0] + " was stopped: mksetup was interrupted";
            return kProgramInterrupted;
        }
        if (Now() >= deadline) {
            EndGroup(pid);
            error = argv[0] + " did not finish within " + std::to_string(timeoutSeconds) +
                    (timeoutSeconds == 1 ? " second" : " seconds") +
                    " and was stopped "
                    "(--timeout SECONDS allows longer)";
            return kProgramTimedOut;
        }
        Pause();
    }
    ::kill(-pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = "lost " + argv[0] + ": " + std::strerror(errno);
            return kProgramNotStarted;
        }
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    error = argv[0] + " was stopped by signal " + std::to_string(WTERMSIG(status));
    return kProgramNotStarted;
}

bool MakeWorkFolder(const std::string &beside, std::string &folder, std::string &error)
{
    size_t slash = beside.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : beside.substr(0, slash));
    long longest = ::pathconf(dir.c_str(), _PC_NAME_MAX);
    std::string pattern = TemporaryNameBeside(beside, ".work-XXXXXX", longest > 0 ? size_t(longest) : 255);
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    HoldInterruptions();
    if (::mkdtemp(name.data()) == nullptr) {
        error = "cannot make a work folder beside '" + beside + "': " + std::strerror(errno);
        ReleaseInterruptions("");
        return false;
    }
    folder = name.data();
    return true;
}

void RemoveWorkFolder(const std::string &folder)
{
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    ReleaseInterruptions(std::filesystem::exists(std::filesystem::symlink_status(folder, ec)) ? folder : "");
}
