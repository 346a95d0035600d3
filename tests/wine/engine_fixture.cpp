// Real files in the test prefix for the engine tests; see engine_fixture.h.
#include "engine_fixture.h"

#include <vector>

#include "expected_texts.h"
#include "packer/compressor/compressor.h"
#include "resources/resource.h"
#include "stand_in_window.h"
#include "tests/test_files.h"

std::string ItemContent(int index, int generation)
{
    std::string content;
    for (int line = 0; line < 20; ++line)
        content += std::string(PayloadItemName(index)) + " generation " + std::to_string(generation) + " line " +
                   std::to_string(line) + "\r\n";
    return content;
}

std::string SzddItem(const std::string &content, size_t cutTo)
{
    std::vector<uint8_t> packed;
    EXPECT_TRUE(SzddCompress(reinterpret_cast<const uint8_t *>(content.data()), content.size(), packed));
    std::string item(packed.begin(), packed.end());
    if (cutTo > 0)
        return item.substr(0, cutTo);
    return item + std::string(3, '\0');
}

std::string TextOrMissing(const std::string &path)
{
    if (!Exists(path))
        return "<missing>";
    return ReadWholeText(path);
}

void WriteAll(const std::string &path, const std::string &content)
{
    ASSERT_TRUE(WriteWholeFile(path, content)) << path;
}

void EngineTest::SetUp()
{
    static int counter = 0;
    base = TempDirectory() + "engine" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++counter);
    CharLowerA(&base[0]);  // the dialog hands the engine a lower-cased destination
    RemoveTree(base);
    ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr)) << base;
    dest = base + "\\dest";
    ASSERT_TRUE(CreateDirectoryA(dest.c_str(), nullptr)) << dest;
    oldSettings = WindowsDirectory() + "\\ovra.ini";
    DeleteFileA(oldSettings.c_str());

    owner = CreateStandInWindow(0, 0, 300, 200, {10, 40, 210, 60});
    ASSERT_NE(nullptr, owner);
    answerer.reset(new ScopedBoxAnswerer);

    memset(&session, 0, sizeof session);
    NewRun();
}

void EngineTest::NewRun()
{
    ASSERT_TRUE(BeginStandInRun(owner, dest.c_str())) << dest;
    std::string temporary = base + "\\ovra.tmp";
    strcpy(session.tempPath, temporary.c_str());
}

void EngineTest::TearDown()
{
    answerer.reset();
    DeleteFileA(oldSettings.c_str());
    RemoveTree(base);
    if (owner != nullptr)
        DestroyWindow(owner);
}

std::string EngineTest::Target(int index) const { return dest + "\\" + PayloadItemName(index); }

int EngineTest::Place(int index, int generation)
{
    WriteAll(session.tempPath, SzddItem(ItemContent(index, generation)));
    session.placedCount = index;
    // The status line names the item being validated from the parts split when it began.
    SplitSessionPath(Target(index).c_str());
    return PlaceExtractedFile();
}

int EngineTest::PlaceRange(int first, int last, int generation)
{
    for (int index = first; index <= last; ++index) {
        int result = Place(index, generation);
        if (result != STEP_DONE)
            return result;
    }
    return STEP_DONE;
}

std::string EngineTest::StatusLine() const
{
    char text[300];
    GetDlgItemTextA(owner, IDC_STATUS_LINE, text, sizeof text);
    return text;
}

void ExpectErrorBox(const SeenBox &box, int code, const std::string &text, HWND owner)
{
    EXPECT_EQ(ErrorCaption(code), box.caption);
    EXPECT_EQ(text, box.text);
    EXPECT_EQ(UINT(MB_OK), box.buttons);
    EXPECT_EQ(UINT(MB_ICONSTOP), box.icon);
    EXPECT_EQ(owner, box.owner);
}
