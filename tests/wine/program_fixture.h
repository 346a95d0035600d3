// The installer program driven from outside as a user gets it: the real program
// packed at test time with a small payload, its windows and boxes found and answered,
// and the files it leaves read back. Shared by the whole-program and fault tests.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "format/payload.h"
#include "expected_texts.h"
#include "resources/resource.h"
#include "packer/installer_writer.h"
#include "packer/scan_replay.h"
#include "file_tree.h"
#include "ui_driver.h"

using Bytes = std::vector<uint8_t>;

constexpr char kDialogCaption[] = "Ovra v5.3 32bit Installation";
constexpr char kHostName[] = "Ovra v5.3 32bit Installation";  // the Host window's class and title
constexpr char kSuccessCaption[] = "Ovra Installation";
constexpr char kRetryCaption[] = "Ovra Installation Error [15]";
constexpr char kWarningCaption[] = "Ovra Installation Warning";

constexpr DWORD kWindowWait = 15000;
constexpr DWORD kRunWait = 60000;

std::string ModuleDirectory();
std::string Lower(std::string text);
bool Exists(const std::string &path);
Bytes ReadBytes(const std::string &path);
// The real installer program, built beside the test.
Bytes ReadStub();
// The stub packed with eleven inputs in table order.
Bytes Pack(const std::vector<Bytes> &inputs, BuildReport &report);
// Eleven small texts: a whole run takes a handful of 50 ms steps.
const std::vector<Bytes> &SmallPayload();
// The small payload with a large, poorly compressible last item: a run of a few dozen
// steps, long enough to be interrupted after the first ten items are in place.
const std::vector<Bytes> &LongRunPayload();
const Bytes &SmallInstaller();

// The visible dialogs and boxes of the program, but for the one given.
std::vector<HWND> VisibleDialogs(const DrivenProgram &program, HWND except = NULL);
// The first box the program shows, whatever its caption (the Install dialog's own
// window is not a box); false after timeoutMs or when the program has ended.
bool WaitForNextBox(DrivenProgram &program, HWND dialog, DWORD timeoutMs, SeenMessageBox &box);
HWND HostWindow(const DrivenProgram &program);
// Which standard icon the box shows: "stop", "question", "exclamation",
// "information", "none" or "unknown".
std::string BoxIcon(HWND box);

// A work directory of the test's own, the installer written there and started, and
// the checks every run ends with.
class ProgramTest : public ::testing::Test {
protected:
    std::string work, exe, dest;
    DrivenProgram program;
    HWND dialog = NULL;

    void SetUp() override;
    void TearDown() override;
    // Writes the installer under exe, starts it from its own directory and finds its dialog.
    void Start(const Bytes &installer);
    void SetDestination(const std::string &path);
    void ClearIcons();
    SeenMessageBox NextBox();
    // The success message, owned by the Host window; OK ends the program with 0.
    void ExpectSuccessAndExit(const SeenMessageBox &box);
    // The program ends with 0 and shows no box on the way.
    void ExpectQuietExit();
    void ExpectInstalled(const std::string &where, const std::vector<Bytes> &inputs);
    void ExpectNothingInstalled(const std::string &where);
};
