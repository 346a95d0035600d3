// What the mksetup tests share: the tool named by SETUP32_MKSETUP, run by the shell
// in a test folder (for most, one of its own that holds a stub and the eleven
// payload texts).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "format/payload.h"
#include "tests/packer_fixture.h"
#include "tests/test_files.h"

struct ToolRun {
    int status;
    std::string out;  // standard output (the terminal's screen when it was one)
    std::string err;  // standard error, when not on the terminal
};

// A shell command run in `dir`: its exit status, or -1 when it did not exit.
inline int ShellIn(const std::filesystem::path &dir, const std::string &command)
{
    int raw = std::system(("cd '" + dir.string() + "' && " + command).c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// The mksetup `tool` run in `dir`, off any terminal, both streams to files read
// back. `limits` runs first in the same shell (ulimit, trap, env), `wrapper` before
// the tool (timeout).
inline ToolRun MksetupIn(const std::string &tool, const std::filesystem::path &dir, const std::string &args,
                         const std::string &limits = "", const std::string &wrapper = "")
{
    int status = ShellIn(dir, limits + " " + wrapper + " '" + tool + "' " + args + " >out.txt 2>err.txt");
    ToolRun r{status, ReadWholeText(dir / "out.txt"), ReadWholeText(dir / "err.txt")};
    std::filesystem::remove(dir / "out.txt");
    std::filesystem::remove(dir / "err.txt");
    return r;
}

// Temporary files, earlier files kept aside and work folders of the tool left
// anywhere under `dir`, by name.
inline std::string Leftovers(const std::filesystem::path &dir)
{
    std::string found;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (name.find(".partial-") != std::string::npos || name.find(".work-") != std::string::npos ||
            name.find(".earlier-") != std::string::npos)
            found += name + " ";
    }
    return found;
}

// A small tmpfs for a full disk, mounted under the test folder when run as root
// and unmounted however the test ends.
class SmallDisk {
public:
    SmallDisk(const std::filesystem::path &at, const char *size) : at_(at)
    {
        std::filesystem::create_directories(at);
        std::string command = "mount -t tmpfs -o size=" + std::string(size) + " tmpfs '" + at.string() + "'";
        mounted_ = ::geteuid() == 0 && std::system(command.c_str()) == 0;
    }
    ~SmallDisk()
    {
        if (mounted_)
            std::system(("umount -l '" + at_.string() + "'").c_str());
    }
    bool mounted() const { return mounted_; }

private:
    std::filesystem::path at_;
    bool mounted_ = false;
};

class MksetupFolderTest : public ::testing::Test {
protected:
    // The folder KIND_PID_TEST under the temporary directory, with stub.exe and
    // payload/ holding the eleven texts.
    void MakeFolder(const std::string &kind)
    {
        const char *tool = std::getenv("SETUP32_MKSETUP");
        ASSERT_NE(tool, nullptr) << "SETUP32_MKSETUP is not set";
        tool_ = tool;
        dir_ =
            std::filesystem::temp_directory_path() / (kind + "_" + std::to_string(::getpid()) + "_" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "payload");
        ASSERT_TRUE(WriteWholeFile(dir_ / "stub.exe", packer_fixture::MakeStub()));
        std::vector<std::vector<uint8_t>> inputs = packer_fixture::PayloadTexts();
        for (int i = 0; i < kPayloadItemCount; ++i)
            ASSERT_TRUE(WriteWholeFile(dir_ / "payload" / PayloadItemName(i), inputs[i]));
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // mksetup in the test folder (MksetupIn).
    ToolRun Mksetup(const std::string &args, const std::string &limits = "", const std::string &wrapper = "")
    {
        return MksetupIn(tool_, dir_, args, limits, wrapper);
    }

    // A shell command run in the test folder (fixtures the library cannot make).
    int Sh(const std::string &command) { return ShellIn(dir_, command); }

    std::string tool_;
    std::filesystem::path dir_;
};
