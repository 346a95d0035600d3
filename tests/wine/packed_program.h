// A packed program started under Wine, the ground of the dialog, program and scan
// tests: the test's own work folder, the program packed with a payload and written
// there, its start, its Install dialog, its end, and the files it leaves read back.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "packer/installer_writer.h"
#include "packer/scan_replay.h"
#include "file_tree.h"
#include "prefix.h"
#include "ui_driver.h"
#include "tests/test_files.h"

using Bytes = std::vector<uint8_t>;

constexpr DWORD kWindowWait = 15000;

std::string Lower(std::string text);

// program packed with inputs, given in table order.
Bytes PackProgram(const Bytes &program, const std::vector<Bytes> &inputs, BuildReport &report);
// Eleven small texts: a whole run takes a handful of 50 ms steps.
const std::vector<Bytes> &SmallPayload();
// The small payload with a large, poorly compressible last item: a run of a few dozen
// steps, long enough to be interrupted (or to have the screen taken) after the first
// ten items are in place.
const std::vector<Bytes> &LongRunPayload();

class PackedProgramTest : public ::testing::Test {
protected:
    std::string work;  // the test's own folder, lower-cased as the dialog hands destinations on
    std::string exe;   // work\setup.exe, where the packed program is written and started from
    std::string dest;  // work\dest, not made here
    DrivenProgram program;
    HWND dialog = NULL;

    void SetUp() override;
    void TearDown() override;
    // Writes installer under exe and starts it in work, with arguments after its quoted
    // name; false (a failure reported) when it cannot be written or started.
    bool Launch(const Bytes &installer, const std::string &arguments = "");
    // Launches the installer and finds its Install dialog.
    void Start(const Bytes &installer, const std::string &arguments = "");
    void SetDestination(const std::string &path);
    // The exit code; a failure (and the program stopped) when it has not ended in timeoutMs.
    long ExpectEnd(DWORD timeoutMs);
    // Every item of the table in where holds the input's bytes.
    void ExpectInstalled(const std::string &where, const std::vector<Bytes> &inputs);
    void ExpectNothingInstalled(const std::string &where);
};
