// The installer program driven from outside as a user gets it: the real program
// packed at test time with a small payload, its windows and boxes found and answered,
// and the files it leaves read back. Shared by the whole-program, fault and
// corruption tests.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "expected_texts.h"
#include "format/payload.h"
#include "packed_program.h"
#include "resources/resource.h"
#include "packer/installer_writer.h"
#include "packer/scan_replay.h"

constexpr DWORD kRunWait = 60000;

// The real installer program, built beside the test.
Bytes ReadStub();
// The stub packed with eleven inputs in table order.
Bytes Pack(const std::vector<Bytes> &inputs, BuildReport &report);
const Bytes &SmallInstaller();
// What the user had before the run: an earlier installation's file of each name.
Bytes OldContent(int item);

// The first box the program shows, whatever its caption (the Install dialog's own
// window is not a box); false after timeoutMs or when the program has ended.
bool WaitForNextBox(DrivenProgram &program, HWND dialog, DWORD timeoutMs, SeenBox &box);
HWND HostWindow(const DrivenProgram &program);
// Which standard icon the box shows: "stop", "question", "exclamation",
// "information", "none" or "unknown".
std::string BoxIcon(HWND box);

// The real installer started from the test's work folder, and the checks every run ends with.
class ProgramTest : public PackedProgramTest {
protected:
    void SetUp() override;
    void ClearIcons();
    SeenBox NextBox();
    // The success message, owned by the Host window; OK ends the program with 0.
    void ExpectSuccessAndExit(const SeenBox &box);
    // The program ends with 0 and shows no box on the way.
    void ExpectQuietExit();
    // Waits until the run into where extracts its last item, ten files being in place
    // by then, presses Abort! and confirms the abort question.
    void ConfirmAbortDuringTheLastItem(const std::string &where);
    // An earlier installation in where, every table file with the user's content
    // (OldContent), and a file of the user's that no installation knows.
    void MakeExistingInstallation(const std::string &where);
};
