// The installer program as a user gets it: the real program packed with a small
// payload, driven from outside through its windows, with the Program Manager group
// made by Wine's own server or by a stand-in that logs every command.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format/byte_order.h"
#include "packer/pe_image.h"
#include "packer/signing/balance.h"
#include "packer/szdd_memory.h"
#include "program_fixture.h"
#include "progman_peers.h"
#include "tests/packer_fixture.h"
#include "tests/test_files.h"

namespace {

// The small installer with one byte of an item's compressed data changed, chosen so
// that the item still expands (to other content) and the scan still finds the same
// eleven items: only the checksum can tell.
Bytes DamagedInstaller()
{
    BuildReport report;
    Bytes installer = Pack(SmallPayload(), report);
    const int item = 4;
    size_t start = report.itemOffsets[item];
    const Bytes &stored = report.items[item].bytes;
    for (size_t at = kSzddHeaderSize + 1; at < stored.size(); at++) {
        Bytes changed = stored;
        changed[at] ^= 0x20;
        Bytes expanded;
        if (SzddExpandBuffer(changed.data(), changed.size(), expanded) != long(SmallPayload()[item].size()) ||
            expanded == SmallPayload()[item])
            continue;
        Bytes damaged = installer;
        damaged[start + at] ^= 0x20;
        ScanResult original, scan;
        SimulateScan(installer.data(), installer.size(), original);
        SimulateScan(damaged.data(), damaged.size(), scan);
        if (scan.items.size() != original.items.size() || scan.checksum == original.checksum)
            continue;
        bool sameItems = true;
        for (size_t i = 0; i < scan.items.size(); i++)
            sameItems = sameItems && scan.items[i].offset == original.items[i].offset;
        if (sameItems)
            return damaged;
    }
    ADD_FAILURE() << "no byte of item " << item << " can be changed unnoticed by the expander";
    return installer;
}

// The names of the modules loaded in the program's process, lower-cased.
std::vector<std::string> LoadedModules(const DrivenProgram &program)
{
    std::vector<std::string> modules;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, program.process.dwProcessId);
    if (snapshot == INVALID_HANDLE_VALUE)
        return modules;
    MODULEENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry))
        modules.push_back(Lower(entry.szModule));
    CloseHandle(snapshot);
    return modules;
}

bool Contains(const std::vector<std::string> &list, const std::string &name)
{
    for (const std::string &entry : list)
        if (entry == name)
            return true;
    return false;
}

// ---- A fresh installation against Wine's own Program Manager ------------------------

class FreshInstallTest : public ProgramTest {
protected:
    const std::string proposed = "c:\\ovra";
    std::string group;

    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_EQ(S_OK, CoInitialize(NULL));
        group = WineGroupFolder();
        RemoveTree(group);
        RemoveTree(proposed);
    }
    void TearDown() override
    {
        StopProgram(program);
        CloseGroupWindows(0);
        RemoveTree(group);
        RemoveTree(proposed);
        CoUninitialize();
        ProgramTest::TearDown();
    }
};

TEST_F(FreshInstallTest, BothOptionsInstallTheFilesAndTheGroupThenReportSuccess)
{
    Start(SmallInstaller());
    ASSERT_EQ(proposed, ControlText(dialog, IDC_DEST_TEXT));
    EXPECT_TRUE(ControlChecked(dialog, IDC_MAKE_BACKUPS));
    EXPECT_TRUE(ControlChecked(dialog, IDC_ADD_ICONS));
    Click(dialog, IDC_INSTALL);
    SeenBox box = NextBox();
    // The group is complete while the success message is up.
    CloseGroupWindows(2);
    ExpectFiveShortcuts(group, proposed, "fresh installation");
    ExpectInstalled(proposed, SmallPayload());
    EXPECT_FALSE(Exists(proposed + "\\backup")) << "a fresh destination needs no backups";
    ExpectSuccessAndExit(box);
}

// ---- Every call the program makes, traced ----------------------------------------------

// Wine's own DLLs need MSVCRT.DLL (its advapi32, which its user32 loads, imports it), so
// no program with a window starts under Wine once MSVCRT.DLL is disabled. Instead
// tests/wine/c_runtime_free_run.sh runs this case with Wine's call trace on for the
// installer's process and reads the trace from this program's error output: every call
// made from the installer's own code during a whole installation must go to KERNEL32,
// USER32, GDI32 or COMDLG32, none to a C run-time DLL. This case prints where to look.
TEST_F(ProgramTest, TracedWholeInstallation)
{
    if (getenv("SETUP32_TRACE_CALLS") == NULL)
        GTEST_SKIP() << "run by tests/wine/c_runtime_free_run.sh, which reads the trace";
    const Bytes &installer = SmallInstaller();
    ASSERT_GT(installer.size(), 0x200u);
    PeHeaders headers;
    std::string error;
    ASSERT_TRUE(ReadPeHeaders(installer.data(), installer.size(), headers, error)) << error;
    size_t optional = headers.optionalOffset;
    bool wide = headers.magic == kPe32PlusMagic;
    unsigned long long base =
        wide ? (uint64_t(ReadLe32(&installer[optional + 28])) << 32 | ReadLe32(&installer[optional + 24]))
             : ReadLe32(&installer[optional + 28]);
    unsigned long long end = base + ReadLe32(&installer[optional + 56]);

    {
        ScopedEnvironment trace("WINEDEBUG", "+pid,+relay");
        ASSERT_TRUE(Launch(installer));
    }
    dialog = FindDialog(program, kDialogCaption, kRunWait);
    ASSERT_NE(dialog, HWND(NULL)) << "no Install dialog";
    SetDestination(dest);
    Click(dialog, IDC_ADD_ICONS);  // the group's DDE talk is traced by the shell's own tests
    Click(dialog, IDC_INSTALL);
    SeenBox box = NextBox();
    ExpectInstalled(dest, SmallPayload());
    ExpectSuccessAndExit(box);
    printf("installer process %04lx image %llx-%llx\n", program.process.dwProcessId, base, end);
}

// ---- Signed installers ----------------------------------------------------------------

// The small installer signed by osslsigncode with a certificate openssl makes here.
class SignedInstallTest : public FreshInstallTest {
protected:
    Bytes Signed(const Bytes &installer)
    {
        std::string unixWork = UnixPath(work);
        EXPECT_FALSE(unixWork.empty());
        EXPECT_TRUE(WriteWholeFile(work + "\\unsigned.exe", installer));
        std::string in = "'" + unixWork + "/";
        bool made = RunUnixCommand(
            "cd " + in +
                "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 30"
                " -subj /CN=Ovra-Test -addext extendedKeyUsage=codeSigning >/dev/null 2>&1 && osslsigncode sign"
                " -certs cert.pem -key key.pem -in unsigned.exe -out signed.exe >/dev/null 2>&1",
            60000);
        EXPECT_TRUE(made) << "openssl or osslsigncode failed in " << unixWork;
        return ReadWholeFile(work + "\\signed.exe");
    }
};

TEST_F(SignedInstallTest, BalancedSignatureInstallsTheFilesAndTheGroup)
{
    Bytes file = Signed(SmallInstaller());
    ASSERT_FALSE(file.empty());
    BalancedTable balance;
    std::string error;
    ASSERT_TRUE(BalanceSignedInstaller(file, balance, error)) << error;
    ApplyBalance(file, balance);
    file.insert(file.end(), balance.table.begin(), balance.table.end());
    Start(file);
    ASSERT_EQ(proposed, ControlText(dialog, IDC_DEST_TEXT));
    Click(dialog, IDC_INSTALL);
    SeenBox box = NextBox();
    CloseGroupWindows(2);
    ExpectFiveShortcuts(group, proposed, "signed installation");
    ExpectInstalled(proposed, SmallPayload());
    ExpectSuccessAndExit(box);
}

// The fault the balance mends: signed as it is, the installer expands every file,
// then finds its checksum changed by the signature and takes everything back.
TEST_F(SignedInstallTest, UnbalancedSignatureIsError13AndLeavesNothing)
{
    Bytes file = Signed(SmallInstaller());
    ASSERT_FALSE(file.empty());
    Start(file);
    SetDestination(dest);
    Click(dialog, IDC_INSTALL);
    SeenBox box = NextBox();
    ASSERT_EQ("Ovra Installation Error [13]", box.caption);
    EXPECT_EQ(kCorrupt, box.text);
    ExpectNothingInstalled(dest);
    EXPECT_FALSE(Exists(dest));
    EXPECT_FALSE(Exists(group)) << "a failed run made a group";
    EXPECT_TRUE(AnswerMessageBox(box, IDOK));
    ExpectQuietExit();
}

// ---- Runs that end without the group ------------------------------------------------

TEST_F(ProgramTest, CancelWhenIdleShowsNothingAndEndsOnTheClosingTimer)
{
    Start(SmallInstaller());
    DWORD clicked = GetTickCount();
    Click(dialog, IDC_CANCEL);
    SeenBox box;
    EXPECT_FALSE(WaitForNextBox(program, dialog, 5000, box)) << "a box came: " << box.caption;
    EXPECT_EQ(0, WaitForExit(program, 5000));
    DWORD elapsed = GetTickCount() - clicked;
    // The Host window closes on its first 50 ms tick after the dialog has gone.
    EXPECT_LT(elapsed, 2000u);
    EXPECT_FALSE(Exists("c:\\ovra")) << "Cancel created the destination";
}

TEST_F(ProgramTest, ConfirmedAbortRollsBackAndASecondRunCompletes)
{
    BuildReport report;
    Start(Pack(LongRunPayload(), report));
    SetDestination(dest);
    ClearIcons();
    Click(dialog, IDC_INSTALL);
    ASSERT_NO_FATAL_FAILURE(ConfirmAbortDuringTheLastItem(dest));
    ASSERT_TRUE(WaitForControlText(dialog, IDC_CANCEL, "Cancel", kRunWait)) << "no return to idle";
    ExpectNothingInstalled(dest);
    EXPECT_FALSE(Exists(dest)) << "the destination this run created stays";
    EXPECT_FALSE(HasEnded(program));

    Click(dialog, IDC_INSTALL);
    SeenBox box = NextBox();
    ExpectInstalled(dest, LongRunPayload());
    ExpectSuccessAndExit(box);
}

TEST_F(ProgramTest, DamagedInstallerIsError13AndLeavesNothing)
{
    StandInServer server;
    ASSERT_TRUE(server.Start(""));
    Start(DamagedInstaller());
    SetDestination(dest);
    Click(dialog, IDC_INSTALL);
    SeenBox box = NextBox();
    ASSERT_EQ("Ovra Installation Error [13]", box.caption);
    EXPECT_EQ(kCorrupt, box.text);
    EXPECT_TRUE(box.hasOk && !box.hasYes && !box.hasNo);
    EXPECT_EQ("stop", BoxIcon(box.window));
    EXPECT_EQ(dialog, GetWindow(box.window, GW_OWNER)) << "owned by the Install dialog";
    // Rolled back before the box: every placed file and the new destination are gone.
    ExpectNothingInstalled(dest);
    EXPECT_FALSE(Exists(dest));
    EXPECT_FALSE(Exists(TempDirectory() + "ovra.tmp"));
    EXPECT_TRUE(AnswerMessageBox(box, IDOK));
    ExpectQuietExit();
    EXPECT_TRUE(server.Stop().events.empty()) << "a failed run made a group";
}

// ---- A reinstallation over an existing one -------------------------------------------

TEST_F(ProgramTest, ReinstallationWithBackupsForEachSettingsAnswer)
{
    auto IsSettings = [](int i) { return strstr(PayloadItemName(i), ".ini") != nullptr; };
    auto OldContent = [](int i) { return BytesOf(std::string("old ") + PayloadItemName(i)); };
    struct Case {
        const char *name;
        int answer;
        bool keepsSettings;
    } cases[] = {
        {"Yes keeps the settings files", IDYES, true},
        {"No replaces them too", IDNO, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        RemoveTree(dest);
        ASSERT_TRUE(CreateDirectoryA(dest.c_str(), NULL));
        ASSERT_TRUE(CreateDirectoryA((dest + "\\backup").c_str(), NULL));
        for (int i = 0; i < kPayloadItemCount; i++)
            ASSERT_TRUE(WriteWholeFile(dest + "\\" + PayloadItemName(i), OldContent(i)));
        // A backup of an earlier reinstallation gives way to the newer one.
        ASSERT_TRUE(WriteWholeFile(dest + "\\backup\\ovra32.exe", std::string("older backup")));

        Start(SmallInstaller());
        SetDestination(dest);
        ClearIcons();
        Click(dialog, IDC_INSTALL);
        SeenBox question = NextBox();
        ASSERT_EQ(kWarningCaption, question.caption);
        EXPECT_EQ(kSettingsQuestion, question.text);
        EXPECT_TRUE(question.hasYes && question.hasNo);
        EXPECT_EQ("question", BoxIcon(question.window));
        ASSERT_TRUE(AnswerMessageBox(question, c.answer));
        // Asked once: the answer holds for every later settings file.
        ExpectSuccessAndExit(NextBox());

        for (int i = 0; i < kPayloadItemCount; i++) {
            const char *name = PayloadItemName(i);
            bool kept = c.keepsSettings && IsSettings(i);
            Bytes installed = ReadWholeFile(dest + "\\" + name);
            EXPECT_TRUE(installed == (kept ? OldContent(i) : SmallPayload()[i]))
                << name << (kept ? " was not kept" : " was not replaced");
            std::string backup = dest + "\\backup\\" + name;
            if (kept)
                EXPECT_FALSE(Exists(backup)) << name << " kept and backed up";
            else
                EXPECT_TRUE(ReadWholeFile(backup) == OldContent(i)) << name << " is not in backup";
        }
        EXPECT_FALSE(Exists(dest + "\\backup\\ovra2.ini")) << "nothing was set aside";
        EXPECT_FALSE(Exists(dest + "\\ovra.$$$"));
    }
}

// ---- The group over DDE, against the stand-in server ----------------------------------

TEST_F(ProgramTest, IconsOptionClearedMakesNoConversation)
{
    StandInServer server;
    ASSERT_TRUE(server.Start(""));
    Start(SmallInstaller());
    SetDestination(dest);
    ClearIcons();
    Click(dialog, IDC_INSTALL);
    ExpectSuccessAndExit(NextBox());
    ServerLog log = server.Stop();
    EXPECT_EQ("", log.events) << "the program talked to the Program Manager";
    ExpectInstalled(dest, SmallPayload());
}

TEST_F(ProgramTest, RetryPromptAfterEachFailedAttemptYesStartsOverNoGoesOn)
{
    // Each attempt fails at the second item command, the sixth of the sequence.
    StandInServer server;
    ASSERT_TRUE(server.Start(".....R.....R"));
    Start(SmallInstaller());
    SetDestination(dest);
    Click(dialog, IDC_INSTALL);
    HWND host = HostWindow(program);
    ASSERT_NE(HWND(NULL), host);
    EXPECT_EQ(kHostName, WindowText(host));
    for (int answer : {IDYES, IDNO}) {
        SeenBox prompt = NextBox();
        ASSERT_EQ(kRetryCaption, prompt.caption) << prompt.text;
        EXPECT_EQ(kIconRetryText, prompt.text);
        EXPECT_TRUE(prompt.hasYes && prompt.hasNo && !prompt.hasOk);
        EXPECT_EQ("question", BoxIcon(prompt.window));
        EXPECT_EQ(host, GetWindow(prompt.window, GW_OWNER)) << "owned by the Host window";
        EXPECT_TRUE(GetWindowLongA(prompt.window, GWL_EXSTYLE) & WS_EX_TOPMOST) << "system-modal";
        ASSERT_TRUE(AnswerMessageBox(prompt, answer));
    }
    ExpectSuccessAndExit(NextBox());

    ServerLog log = server.Stop();
    std::vector<std::string> commands = ExpectedShellCommands(dest, true);
    ASSERT_EQ(12u, log.executes.size());
    for (size_t i = 0; i < log.executes.size(); i++)
        EXPECT_EQ(commands[i % 6] + '\0', log.executes[i]) << "command " << i + 1;
}

// ---- The shell generation under Wine's version settings -------------------------------

// The program's own per-application settings in the prefix, removed again afterwards.
struct AppDefaults {
    std::string key;
    explicit AppDefaults(const std::string &exeName) : key("Software\\Wine\\AppDefaults\\" + exeName) {}
    bool Set(const char *subkey, const char *name, const char *value)
    {
        std::string path = key + (*subkey ? "\\" + std::string(subkey) : "");
        HKEY handle;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &handle, NULL) !=
            ERROR_SUCCESS)
            return false;
        LONG result =
            RegSetValueExA(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value), DWORD(strlen(value) + 1));
        RegCloseKey(handle);
        return result == ERROR_SUCCESS;
    }
    ~AppDefaults()
    {
        RegDeleteKeyA(HKEY_CURRENT_USER, (key + "\\DllOverrides").c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, key.c_str());
    }
};

// A whole text file, or "" when there is none.
std::string ReadText(const std::string &path)
{
    Bytes bytes = ReadWholeFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// The base address of a module (by its lower-case file name) in another process, or NULL.
const BYTE *ModuleBaseIn(DWORD processId, const std::string &name)
{
    const BYTE *base = NULL;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId);
    if (snapshot == INVALID_HANDLE_VALUE)
        return NULL;
    MODULEENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(snapshot, &entry); more && !base; more = Module32Next(snapshot, &entry))
        if (Lower(entry.szModule) == name)
            base = entry.modBaseAddr;
    CloseHandle(snapshot);
    return base;
}

// The running program's error mode, from kernel32's GetErrorMode run on a thread of
// its own: the function takes nothing and its result becomes the thread's exit code.
// Its address here is its address there only when the module that holds it sits at
// the same base in both processes, which is checked first.
bool ReadErrorMode(const DrivenProgram &program, DWORD &mode, std::string &why)
{
    FARPROC function = GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetErrorMode");
    HMODULE holder = NULL;
    char path[MAX_PATH];
    if (!function ||
        !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(function), &holder) ||
        !GetModuleFileNameA(holder, path, sizeof path)) {
        why = "GetErrorMode cannot be found in the test";
        return false;
    }
    std::string name = Lower(path);
    name = name.substr(name.find_last_of('\\') + 1);
    if (ModuleBaseIn(program.process.dwProcessId, name) != reinterpret_cast<const BYTE *>(holder)) {
        why = name + " is not at the test's base in the program";
        return false;
    }
    HANDLE thread =
        CreateRemoteThread(program.process.hProcess, NULL, 0,
                           reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void *>(function)), NULL, 0, NULL);
    if (!thread) {
        why = "CreateRemoteThread failed with error " + std::to_string(GetLastError());
        return false;
    }
    bool ended = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0 && GetExitCodeThread(thread, &mode);
    CloseHandle(thread);
    if (!ended)
        why = "the thread in the program did not end";
    return ended;
}

// The test's own error mode for its scope, without the bit the program sets itself,
// so that a program started from here does not inherit it.
struct ErrorModeWithoutOpenFileBox {
    UINT saved;
    ErrorModeWithoutOpenFileBox() : saved(SetErrorMode(0)) { SetErrorMode(saved & ~SEM_NOOPENFILEERRORBOX); }
    ~ErrorModeWithoutOpenFileBox() { SetErrorMode(saved); }
};

TEST_F(ProgramTest, ShellGenerationUnderEachWindowsVersion)
{
    // Which Ctl3d32.dll the program finds: Wine's own, none, or a stand-in beside the
    // program that logs its calls (with all three functions, or without Ctl3dAutoSubclass).
    enum Ctl3d { kBuiltin, kAbsent, kStandInFull, kStandInLacking };
    struct Case {
        const char *version;
        bool newShell;
        Ctl3d ctl3d;
    } cases[] = {
        {"win31", false, kBuiltin},
        {"nt351", false, kBuiltin},
        {"win95", true, kBuiltin},
        {"nt40", true, kBuiltin},
        {"win98", true, kBuiltin},
        {"winme", true, kBuiltin},
        {"win2k", false, kBuiltin},
        {"winxp", false, kBuiltin},
        {"win7", false, kBuiltin},
        {"win10", false, kBuiltin},
        // The same old shell as the first row, which does load the library: its absence
        // here is the override's doing, and the program must carry on without a word.
        {"win31", false, kAbsent},
        {"win31", false, kStandInFull},
        // One function missing: the program gives up on the library and calls none of it.
        {"win31", false, kStandInLacking},
        // A new shell never loads the library, even when one is right beside it.
        {"win95", true, kStandInFull},
    };
    const char *const ctl3dSuffix[] = {"", "_noctl3d", "_full", "_lacking"};
    ErrorModeWithoutOpenFileBox ownMode;
    for (const Case &c : cases) {
        std::string stem = std::string("setup_") + c.version + ctl3dSuffix[c.ctl3d];
        std::string name = stem + ".exe";
        SCOPED_TRACE(name);
        bool standIn = c.ctl3d == kStandInFull || c.ctl3d == kStandInLacking;
        // A stand-in goes in a folder of its own with the program, out of the way of the other rows.
        std::string folder = standIn ? work + "\\" + stem : work;
        std::string log = folder + "\\ctl3d32.log";
        if (standIn) {
            std::string built = ModuleDirectory() + (c.ctl3d == kStandInFull ? "ctl3d_full" : "ctl3d_lacking");
            ASSERT_TRUE(CreateDirectoryA(folder.c_str(), NULL)) << folder;
            ASSERT_TRUE(CopyFileA((built + "\\ctl3d32.dll").c_str(), (folder + "\\ctl3d32.dll").c_str(), FALSE))
                << "no stand-in in " << built;
        }
        exe = folder + "\\" + name;
        AppDefaults settings(name);
        ASSERT_TRUE(settings.Set("", "Version", c.version));
        if (c.ctl3d == kAbsent)
            ASSERT_TRUE(settings.Set("DllOverrides", "ctl3d32", ""));
        if (standIn)
            ASSERT_TRUE(settings.Set("DllOverrides", "ctl3d32", "native"));
        RemoveTree(dest);
        StandInServer server;
        ASSERT_TRUE(server.Start(""));
        Start(SmallInstaller());

        std::vector<std::string> modules = LoadedModules(program);
        ASSERT_TRUE(Contains(modules, "kernel32.dll")) << "the program's modules cannot be listed";
        bool usable = c.ctl3d == kBuiltin || c.ctl3d == kStandInFull;
        EXPECT_EQ(!c.newShell && usable, Contains(modules, "ctl3d32.dll")) << "Ctl3d32.dll loaded";
        EXPECT_EQ(1u, VisibleDialogs(program).size()) << "something beside the Install dialog is shown";
        DWORD mode = 0;
        std::string why;
        if (ReadErrorMode(program, mode, why))
            EXPECT_EQ(!c.newShell, (mode & SEM_NOOPENFILEERRORBOX) != 0) << "error mode " << mode;
        else
            ADD_FAILURE() << "the program's error mode cannot be read: " << why;
        // The library is registered and subclassing before the dialog comes up.
        std::string calls = ReadText(log);
        if (c.ctl3d == kStandInFull && !c.newShell)
            EXPECT_EQ("attach\nCtl3dRegister main\nCtl3dAutoSubclass main\n", calls);
        if (c.ctl3d == kStandInLacking) {
            EXPECT_EQ(0u, calls.find("attach\n")) << "the stand-in was not loaded: " << calls;
            EXPECT_EQ(std::string::npos, calls.find("Ctl3d")) << calls;
        }

        SetDestination(dest);
        Click(dialog, IDC_INSTALL);
        ExpectSuccessAndExit(NextBox());
        ExpectInstalled(dest, SmallPayload());
        ServerLog serverLog = server.Stop();
        std::vector<std::string> commands = ExpectedShellCommands(dest, c.newShell);
        ASSERT_EQ(commands.size(), serverLog.executes.size());
        for (size_t i = 0; i < commands.size(); i++)
            EXPECT_EQ(commands[i] + '\0', serverLog.executes[i]) << "command " << i + 1;

        calls = ReadText(log);
        if (c.ctl3d == kStandInFull && !c.newShell)
            EXPECT_EQ("attach\nCtl3dRegister main\nCtl3dAutoSubclass main\nCtl3dUnregister main\ndetach freed\n", calls)
                << "unregistered, then freed, after the program's end";
        if (c.ctl3d == kStandInLacking)
            EXPECT_EQ(std::string::npos, calls.find("Ctl3d")) << calls;
        if (c.ctl3d == kStandInFull && c.newShell)
            EXPECT_EQ("", calls) << "a new shell loaded the library";
        if (HasFailure())
            break;  // a version that fails can cost a minute of waiting for each one after it
    }
}

}  // namespace
