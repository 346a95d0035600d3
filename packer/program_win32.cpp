// Running other programs on Windows: CreateProcessA with the output sent to a log,
// and work folders with names of their own.
#include "packer/program.h"

#include <windows.h>

#include "packer/files.h"
#include <filesystem>

std::string OwnProgramPath()
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    return (length == 0 || length >= MAX_PATH) ? std::string() : std::string(path, length);
}

bool FindProgram(const std::string &name)
{
    char found[MAX_PATH];
    return SearchPathA(NULL, name.c_str(), ".exe", MAX_PATH, found, NULL) != 0;
}

// One argument quoted as the C run-time splits command lines.
static void AppendQuoted(std::string &line, const std::string &arg)
{
    line += '"';
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        line.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        line += c;
    }
    line.append(slashes * 2, '\\');
    line += '"';
}

int RunProgram(const std::vector<std::string> &argv, const std::string &logPath, unsigned timeoutSeconds,
               std::string &error)
{
    std::string line;
    for (const std::string &a : argv) {
        if (!line.empty())
            line += ' ';
        AppendQuoted(line, a);
    }
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE log =
        CreateFileA(logPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    HANDLE none = CreateFileA("NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, NULL);
    if (log == INVALID_HANDLE_VALUE || none == INVALID_HANDLE_VALUE) {
        if (log != INVALID_HANDLE_VALUE)
            CloseHandle(log);
        if (none != INVALID_HANDLE_VALUE)
            CloseHandle(none);
        error = "cannot make the log '" + logPath + "'";
        return kProgramNotStarted;
    }
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = none;
    start.hStdOutput = log;
    start.hStdError = log;
    PROCESS_INFORMATION process = {};
    std::vector<char> command(line.begin(), line.end());
    command.push_back('\0');
    // A job holds the program and whatever it starts, so a time limit ends them all.
    HANDLE job = CreateJobObjectA(NULL, NULL);
    BOOL started =
        CreateProcessA(NULL, command.data(), NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL, &start, &process);
    DWORD startError = GetLastError();
    CloseHandle(log);
    CloseHandle(none);
    if (!started) {
        if (job != NULL)
            CloseHandle(job);
        error = "cannot start " + argv[0] + " (error " + std::to_string(startError) + ")";
        return kProgramNotStarted;
    }
    if (job != NULL)
        AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);
    if (WaitForSingleObject(process.hProcess, DWORD(timeoutSeconds) * 1000) == WAIT_TIMEOUT) {
        if (job != NULL)
            TerminateJobObject(job, 1);
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        if (job != NULL)
            CloseHandle(job);
        error = argv[0] + " did not finish within " + std::to_string(timeoutSeconds) +
                " seconds and was stopped "
                "(--timeout SECONDS allows longer)";
        return kProgramTimedOut;
    }
    if (job != NULL)
        CloseHandle(job);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return int(code);
}

bool MakeWorkFolder(const std::string &beside, std::string &folder, std::string &error)
{
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        folder = TemporaryNameBeside(
            beside, ".work-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount() + attempt),
            255);
        if (CreateDirectoryA(folder.c_str(), NULL))
            return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    error = "cannot make a work folder beside '" + beside + "'";
    return false;
}

void RemoveWorkFolder(const std::string &folder)
{
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}
