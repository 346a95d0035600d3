// The payload scan run for real: installers made of the stand-in program and a
// payload, each run as its own process so that it reads its own program file.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "format/payload.h"
#include "packer/compressor/compressor.h"
#include "expected_texts.h"
#include "packed_program.h"
#include "tests/test_files.h"
#include "packer/checksum_slot.h"
#include "packer/installer_writer.h"
#include "packer/scan_replay.h"

namespace {

// The installer reads its file 7001 bytes a step.
constexpr size_t kStepBytes = 7001;

uint32_t Fnv(const uint8_t *p, size_t n)
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < n; i++)
        hash = (hash ^ p[i]) * 16777619u;
    return hash;
}

// The eleven product files of the test payload: varied, and the first one large
// enough to span several scan steps.
std::vector<Bytes> Inputs()
{
    std::vector<Bytes> inputs;
    uint32_t seed = 12345;
    for (int i = 0; i < kPayloadItemCount; i++) {
        Bytes b;
        size_t size = i == 0 ? 40000 : 300 + 97 * i;
        for (size_t k = 0; k < size; k++) {
            seed = seed * 1103515245u + 12345u;
            // Half text-like, half noise: compressible but not trivially.
            b.push_back(k % 64 < 32 ? uint8_t("setting=value\r\n"[k % 15]) : uint8_t(seed >> 24));
        }
        inputs.push_back(b);
    }
    return inputs;
}

// An SZDD file of literals only, so that chosen bytes stand in the stored data as they are.
Bytes LiteralSzdd(const std::string &content)
{
    Bytes out(8);
    SzddMagic(out.data());
    out.push_back(kSzddModeA);
    out.push_back(0);
    uint32_t n = uint32_t(content.size());
    for (int i = 0; i < 4; i++)
        out.push_back(uint8_t(n >> (8 * i)));
    for (size_t i = 0; i < content.size(); i += 8) {
        out.push_back(0xFF);
        for (size_t k = i; k < i + 8 && k < content.size(); k++)
            out.push_back(uint8_t(content[k]));
    }
    return out;
}

Bytes Compressed(const Bytes &content)
{
    Bytes out;
    EXPECT_TRUE(SzddCompress(content.data(), content.size(), out));
    return out;
}

struct Step {
    int result;
    long position;
    int placed;
};

struct Temp {
    std::string path;
    long size;
    uint32_t hash;
};

struct Report {
    int open = -1;
    std::vector<Step> steps;
    std::vector<std::string> statuses;
    std::vector<Temp> temps;
    std::vector<std::string> boxes;  // caption|text|buttons|icon|owned
    int placed = -1;
    uint32_t checksum = 0;
    bool streamsOpen = true;
};

std::string BoxLine(int code, const char *text)
{
    std::string escaped;
    for (const char *p = text; *p; p++)
        escaped += *p == '\n' ? std::string("\\n") : std::string(1, *p);
    char tail[64];
    snprintf(tail, sizeof tail, "|%u|%u|1", unsigned(MB_OK), unsigned(MB_ICONSTOP));
    return ErrorCaption(code) + "|" + escaped + tail;
}

class ScanTest : public PackedProgramTest {
protected:
    Bytes harness;

    void SetUp() override
    {
        PackedProgramTest::SetUp();
        ASSERT_TRUE(CreateDirectoryA(dest.c_str(), NULL)) << dest;
        harness = ReadWholeFile(ModuleDirectory() + "scan_harness.exe");
        ASSERT_FALSE(harness.empty());
    }

    // Head, items and tail laid end to end, with the checksum of that payload in
    // the head, as the packer would, but without its care for the layout.
    Bytes Assemble(const std::vector<Bytes> &items, const Bytes &tail, std::vector<size_t> *offsets = nullptr,
                   bool patchChecksum = true)
    {
        Bytes out = harness;
        for (const Bytes &item : items) {
            if (offsets)
                offsets->push_back(out.size());
            out.insert(out.end(), item.begin(), item.end());
        }
        out.insert(out.end(), tail.begin(), tail.end());
        if (!patchChecksum)
            return out;
        ScanResult scan;
        SimulateScan(out.data(), out.size(), scan);
        Bytes head = harness;
        size_t slot = 0;
        std::string error;
        EXPECT_TRUE(FindChecksumSlot(head.data(), head.size(), slot, error)) << error;
        EXPECT_TRUE(PatchChecksumSlot(head, slot, scan.checksum));
        std::copy(head.begin(), head.end(), out.begin());
        return out;
    }

    Bytes Packed(const std::vector<Bytes> &inputs, BuildReport &report) { return PackProgram(harness, inputs, report); }

    Report Run(const Bytes &installer, const char *option = "")
    {
        std::string reportPath = work + "\\report.txt";
        Report r;
        if (!Launch(installer, "\"" + reportPath + "\" \"" + dest + "\" " + option))
            return r;
        ExpectEnd(120000);

        FILE *f = fopen(reportPath.c_str(), "r");
        if (!f) {
            ADD_FAILURE() << "no report";
            return r;
        }
        char line[4096];
        while (fgets(line, sizeof line, f)) {
            std::string s(line);
            if (!s.empty() && s.back() == '\n')
                s.pop_back();
            std::istringstream in(s);
            std::string kind;
            in >> kind;
            std::string rest = s.size() > kind.size() ? s.substr(kind.size() + 1) : "";
            if (kind == "open") {
                in >> r.open;
            } else if (kind == "step") {
                Step step;
                in >> step.result >> step.position >> step.placed;
                r.steps.push_back(step);
            } else if (kind == "status") {
                r.statuses.push_back(rest);
            } else if (kind == "temp") {
                Temp t;
                in >> t.path >> t.size >> std::hex >> t.hash;
                r.temps.push_back(t);
            } else if (kind == "box") {
                r.boxes.push_back(rest);
            } else if (kind == "end") {
                int installerOpen, tempOpen;
                in >> r.placed >> std::hex >> r.checksum >> std::dec >> installerOpen >> tempOpen;
                r.streamsOpen = installerOpen || tempOpen;
            }
        }
        fclose(f);
        return r;
    }

    std::string Installed(int index) const { return dest + "\\" + PayloadItemName(index); }

    void ExpectInstalled(const std::vector<Bytes> &contents) { PackedProgramTest::ExpectInstalled(dest, contents); }
    void ExpectNothingInstalled() { PackedProgramTest::ExpectNothingInstalled(dest); }

    // Every step but the last read exactly 7001 bytes and asked for more.
    void ExpectWholeSteps(const Report &r, size_t fileSize, int lastResult)
    {
        ASSERT_FALSE(r.steps.empty());
        size_t expectedSteps = fileSize / kStepBytes + 1;
        EXPECT_EQ(r.steps.size(), expectedSteps);
        for (size_t k = 0; k + 1 < r.steps.size(); k++) {
            EXPECT_EQ(r.steps[k].result, 3) << "step " << k;
            EXPECT_EQ(r.steps[k].position, long((k + 1) * kStepBytes)) << "step " << k;
        }
        EXPECT_EQ(r.steps.back().result, lastResult);
        EXPECT_EQ(r.steps.back().position, -1) << "the installer file was left open";
    }

    // Each item's temporary file held exactly the bytes from its marker to the next
    // one (or to the end of the file), as the packer's replay of the scan says.
    void ExpectTemporaryFiles(const Report &r, const Bytes &installer)
    {
        ScanResult scan;
        SimulateScan(installer.data(), installer.size(), scan);
        ASSERT_EQ(r.temps.size(), scan.items.size());
        for (size_t i = 0; i < scan.items.size(); i++) {
            SCOPED_TRACE("item " + std::to_string(i));
            EXPECT_EQ(r.temps[i].size, long(scan.items[i].size));
            EXPECT_EQ(r.temps[i].hash, Fnv(installer.data() + scan.items[i].offset, scan.items[i].size));
        }
    }
};

TEST_F(ScanTest, SoundInstallerPlacesEveryItem)
{
    std::vector<Bytes> inputs = Inputs();
    BuildReport built;
    Bytes installer = Packed(inputs, built);
    Report r = Run(installer);

    EXPECT_EQ(r.open, 1);
    ExpectWholeSteps(r, installer.size(), 1);
    EXPECT_TRUE(r.boxes.empty()) << r.boxes[0];
    EXPECT_EQ(r.placed, 11);
    EXPECT_EQ(r.checksum, built.checksum);
    EXPECT_FALSE(r.streamsOpen);
    ExpectTemporaryFiles(r, installer);
    ExpectInstalled(inputs);

    // The status line announces each item, then names it while it is placed.
    std::vector<std::string> validating;
    for (const std::string &s : r.statuses)
        if (s.rfind("Validating file: ", 0) == 0)
            validating.push_back(s.substr(17));
    ASSERT_EQ(validating.size(), 11u);
    for (int i = 0; i < kPayloadItemCount; i++) {
        EXPECT_EQ(validating[i], PayloadItemName(i));
        EXPECT_NE(
            std::find(r.statuses.begin(), r.statuses.end(), std::string("Extracting file: ") + PayloadItemName(i)),
            r.statuses.end())
            << "no extracting status for " << PayloadItemName(i);
    }
    EXPECT_EQ(r.statuses.front(), "Scanning files...");
    ASSERT_FALSE(r.temps.empty());
    EXPECT_EQ(GetFileAttributesA(r.temps[0].path.c_str()), INVALID_FILE_ATTRIBUTES) << "temporary file left";
}

TEST_F(ScanTest, CraftedLayoutsScanAsTheMatcherSays)
{
    std::vector<Bytes> plain = Inputs();
    std::vector<Bytes> items;
    for (const Bytes &b : plain)
        items.push_back(Compressed(b));

    struct Case {
        const char *name;
        int item;             // item whose stored bytes are replaced, -1 for none
        std::string content;  // its literal-only content
        Bytes tail;
        bool splitMarker;  // pad item 0 so that item 1's marker straddles two steps
    } cases[] = {
        {"marker split across two steps", -1, "", {}, true},
        {"S,S,Z,D,D inside an item", 4, "abSSZDDc-then-more-text", {}, false},
        {"partial marker at the very end", -1, "", {'x', 'S', 'Z'}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> stored = items;
        std::vector<Bytes> expected = plain;
        if (c.item >= 0) {
            stored[c.item] = LiteralSzdd(c.content);
            expected[c.item] = Bytes(c.content.begin(), c.content.end());
        }
        std::vector<size_t> offsets;
        Bytes installer = Assemble(stored, c.tail, &offsets);
        if (c.splitMarker) {
            // Junk after item 0's compressed data moves item 1 to offset 6999 of a step.
            size_t pad = (kStepBytes * 2 + 6999 - offsets[1] % kStepBytes) % kStepBytes;
            stored[0].insert(stored[0].end(), pad, 'x');
            offsets.clear();
            installer = Assemble(stored, c.tail, &offsets);
            ASSERT_EQ(offsets[1] % kStepBytes, 6999u);
        }
        Report r = Run(installer);
        ExpectWholeSteps(r, installer.size(), 1);
        EXPECT_TRUE(r.boxes.empty()) << r.boxes[0];
        EXPECT_EQ(r.placed, 11);
        ExpectTemporaryFiles(r, installer);
        ExpectInstalled(expected);
        for (int i = 0; i < kPayloadItemCount; i++)
            DeleteFileA(Installed(i).c_str());
    }
}

TEST_F(ScanTest, NoMarkerEndsWithCorruptFileAndPlacesNothing)
{
    // The program keeps the checksum it was built with.
    Bytes installer = Assemble({}, Bytes(20000, 'q'), nullptr, false);
    Report r = Run(installer);
    ExpectWholeSteps(r, installer.size(), 0);
    EXPECT_EQ(r.checksum, 0u);
    EXPECT_EQ(r.placed, 0);
    EXPECT_TRUE(r.temps.empty());
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0], BoxLine(13, kCorrupt));
}

TEST_F(ScanTest, ChangedPayloadByteIsCaughtAfterPlacingAndRolledBack)
{
    std::vector<Bytes> inputs = Inputs();
    BuildReport built;
    Bytes sound = Packed(inputs, built);
    size_t tailStart = sound.size() - kTailSize;
    struct Case {
        const char *name;
        size_t offset;
    } cases[] = {
        {"item data (the header's name byte)", built.itemOffsets[3] + 9},
        {"tail", tailStart + 1},
        {"last byte of the file", sound.size() - 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes installer = sound;
        installer[c.offset] ^= 0x01;
        Report r = Run(installer);
        ExpectWholeSteps(r, installer.size(), 0);
        EXPECT_EQ(r.temps.size(), 11u) << "every item is placed before the checksum is known";
        ASSERT_EQ(r.boxes.size(), 1u);
        EXPECT_EQ(r.boxes[0], BoxLine(13, kCorrupt));
        EXPECT_EQ(r.placed, 0) << "rollback leaves nothing counted";
        ExpectNothingInstalled();
    }
}

TEST_F(ScanTest, ChangedHeadByteChangesNothing)
{
    std::vector<Bytes> inputs = Inputs();
    BuildReport built;
    Bytes installer = Packed(inputs, built);
    // A byte of the DOS stub's message: read and ignored like the rest of the head.
    const char message[] = "This program cannot be run in DOS mode";
    auto at = std::search(installer.begin(), installer.end(), message, message + sizeof message - 1);
    ASSERT_NE(at, installer.end());
    *(at + 5) = 'P';
    Report r = Run(installer);
    ExpectWholeSteps(r, installer.size(), 1);
    EXPECT_TRUE(r.boxes.empty()) << r.boxes[0];
    ExpectInstalled(inputs);
}

TEST_F(ScanTest, TwelfthItemFailsPlacementAndEndsTheRun)
{
    std::vector<Bytes> plain = Inputs();
    std::vector<Bytes> stored;
    for (const Bytes &b : plain)
        stored.push_back(Compressed(b));
    stored.push_back(Compressed(plain[4]));
    Bytes installer = Assemble(stored, {});
    Report r = Run(installer);
    ASSERT_FALSE(r.steps.empty());
    EXPECT_EQ(r.steps.back().result, 0);
    EXPECT_EQ(r.steps.back().position, -1);
    EXPECT_EQ(r.temps.size(), 12u);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0], BoxLine(4, kCopyProblem));
    EXPECT_EQ(r.placed, 0);
    ExpectNothingInstalled();
}

TEST_F(ScanTest, TemporaryFileFallsBackToDriveCRoot)
{
    std::vector<Bytes> inputs = Inputs();
    BuildReport built;
    Bytes installer = Packed(inputs, built);
    // A temporary directory too long for the buffer counts as none.
    const std::string tooLong = "c:\\" + std::string(320, 't');
    ScopedEnvironment tmp("TMP", tooLong), tempVariable("TEMP", tooLong);
    Report r = Run(installer);
    ASSERT_EQ(r.temps.size(), 11u);
    for (const Temp &t : r.temps)
        EXPECT_EQ(t.path, "c:\\ovra.tmp");
    EXPECT_EQ(r.steps.back().result, 1);
    ExpectInstalled(inputs);
    EXPECT_EQ(GetFileAttributesA("c:\\ovra.tmp"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(ScanTest, InstallerFileThatCannotBeOpenedIsReported)
{
    BuildReport built;
    Bytes installer = Packed(Inputs(), built);
    Report r = Run(installer, "--move-self-away");
    EXPECT_EQ(r.open, 0);
    EXPECT_TRUE(r.steps.empty()) << "a step ran without the installer file";
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0], BoxLine(9, kReadProblem));
    EXPECT_FALSE(r.streamsOpen);
    ExpectNothingInstalled();
}

TEST_F(ScanTest, TemporaryFileThatCannotBeCreatedEndsTheRun)
{
    std::vector<Bytes> inputs = Inputs();
    BuildReport built;
    Bytes installer = Packed(inputs, built);
    // A directory where the temporary file should go.
    std::string tempDir = work + "\\tmp\\";
    ASSERT_TRUE(CreateDirectoryA(tempDir.c_str(), NULL));
    ASSERT_TRUE(CreateDirectoryA((tempDir + "ovra.tmp").c_str(), NULL));
    ScopedEnvironment tmp("TMP", tempDir), tempVariable("TEMP", tempDir);
    Report r = Run(installer);
    ASSERT_FALSE(r.steps.empty());
    EXPECT_EQ(r.steps.back().result, 0);
    EXPECT_EQ(r.steps.back().position, -1) << "the installer file was left open";
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0], BoxLine(11, kExtractProblem));
    EXPECT_EQ(r.placed, 0);
    EXPECT_FALSE(r.streamsOpen);
    ExpectNothingInstalled();
}

}  // namespace
