// Running other programs on POSIX systems: posix_spawnp with the output sent to a
// log, and work folders made by mkdtemp.
#include "packer/program.h"

#include <cerrno>
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

int RunProgram(const std::vector<std::string> &argv, const std::string &logPath, std::string &error)
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
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        error = "cannot start " + argv[0] + ": " + std::strerror(rc);
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = "lost " + argv[0] + ": " + std::strerror(errno);
            return -1;
        }
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    error = argv[0] + " was stopped by signal " + std::to_string(WTERMSIG(status));
    return -1;
}

bool MakeWorkFolder(const std::string &beside, std::string &folder, std::string &error)
{
    std::string pattern = beside + ".work-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr) {
        error = "cannot make a work folder beside '" + beside + "': " + std::strerror(errno);
        return false;
    }
    folder = name.data();
    return true;
}

void RemoveWorkFolder(const std::string &folder)
{
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}
