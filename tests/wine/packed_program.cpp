// The packed-program fixture and its payloads; see packed_program.h.
#include "packed_program.h"

#include <cctype>

#include "expected_texts.h"
#include "format/payload.h"
#include "resources/resource.h"
#include "tests/packer_fixture.h"
#include "tests/test_files.h"

std::string Lower(std::string text)
{
    for (char &c : text)
        c = char(tolower(static_cast<unsigned char>(c)));
    return text;
}

Bytes PackProgram(const Bytes &program, const std::vector<Bytes> &inputs, BuildReport &report)
{
    std::vector<std::string> names;
    for (int i = 0; i < kPayloadItemCount; i++)
        names.push_back(PayloadItemName(i));
    Bytes installer;
    std::string error;
    EXPECT_TRUE(BuildInstaller(program, inputs, names, installer, report, error)) << error;
    return installer;
}

const std::vector<Bytes> &SmallPayload()
{
    static const std::vector<Bytes> inputs = packer_fixture::PayloadTexts();
    return inputs;
}

const std::vector<Bytes> &LongRunPayload()
{
    static std::vector<Bytes> inputs;
    if (inputs.empty()) {
        inputs = SmallPayload();
        Bytes &last = inputs.back();
        uint32_t seed = 4711;
        for (size_t k = 0; k < 400000; k++) {
            seed = seed * 1103515245u + 12345u;
            last.push_back(k % 8 == 0 ? uint8_t('x') : uint8_t(seed >> 24));
        }
    }
    return inputs;
}

void PackedProgramTest::SetUp()
{
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    work = Lower(TempDirectory() + info->test_suite_name() + "_" + info->name() + "_" +
                 std::to_string(GetCurrentProcessId()));
    RemoveTree(work);
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), NULL)) << work;
    exe = work + "\\setup.exe";
    dest = work + "\\dest";
    // An old settings file in the Windows directory would be moved into every destination.
    DeleteFileA((WindowsDirectory() + "\\ovra.ini").c_str());
}

void PackedProgramTest::TearDown()
{
    StopProgram(program);
    RemoveTree(work);
}

bool PackedProgramTest::Launch(const Bytes &installer, const std::string &arguments)
{
    if (!WriteWholeFile(exe, installer)) {
        ADD_FAILURE() << "cannot write " << exe;
        return false;
    }
    std::string command = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
    if (!StartProgram(program, command, work)) {
        ADD_FAILURE() << "cannot start " << exe << ": error " << GetLastError();
        return false;
    }
    return true;
}

void PackedProgramTest::Start(const Bytes &installer, const std::string &arguments)
{
    ASSERT_TRUE(Launch(installer, arguments));
    dialog = FindDialog(program, kDialogCaption, kWindowWait);
    ASSERT_NE(dialog, HWND(NULL)) << "no Install dialog";
}

void PackedProgramTest::SetDestination(const std::string &path)
{
    ASSERT_TRUE(SetDlgItemTextA(dialog, IDC_DEST_TEXT, path.c_str()));
}

long PackedProgramTest::ExpectEnd(DWORD timeoutMs)
{
    long code = WaitForExit(program, timeoutMs);
    EXPECT_NE(-2, code) << "the program did not end within " << timeoutMs << " ms";
    return code;
}

void PackedProgramTest::ExpectInstalled(const std::string &where, const std::vector<Bytes> &inputs)
{
    for (int i = 0; i < kPayloadItemCount; i++)
        EXPECT_TRUE(ReadWholeFile(where + "\\" + PayloadItemName(i)) == inputs[i])
            << PayloadItemName(i) << " is not the payload's";
}

void PackedProgramTest::ExpectNothingInstalled(const std::string &where)
{
    for (int i = 0; i < kPayloadItemCount; i++)
        EXPECT_FALSE(Exists(where + "\\" + PayloadItemName(i))) << PayloadItemName(i) << " left behind";
}
