// The packer library: the replayed scan, the layout and its alignment bytes,
// marker avoidance in compressed items, the checksum slot, build/list/extract.
#include "packer/checksum_slot.h"
#include "packer/installer_reader.h"
#include "packer/installer_writer.h"
#include "packer/scan_replay.h"
#include "packer/stored_item.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

#include "format/payload.h"
#include "packer/compressor/compressor_parts.h"
#include "packer/szdd_memory.h"
#include "tests/packer_fixture.h"
#include "tests/test_files.h"

using packer_fixture::MakeStub;
using packer_fixture::PayloadTexts;
using packer_fixture::StubShape;

namespace {

// The installer reads its file 7001 bytes a step.
constexpr size_t kStepBytes = 7001;

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

std::vector<uint8_t> Filler(size_t n, uint8_t seed = 0)
{
    // Bytes 0x80..0xBF never touch the marker's letters.
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = uint8_t(0x80 | ((i * 7 + seed) & 0x3F));
    return v;
}

std::vector<uint8_t> Compressed(const std::vector<uint8_t> &in)
{
    std::vector<uint8_t> out;
    EXPECT_TRUE(SzddCompress(in.data(), in.size(), out));
    return out;
}

TEST(SimulateScan, Cases)
{
    const std::vector<uint8_t> M = BytesOf("SZDD");
    struct Case {
        const char *name;
        std::vector<uint8_t> file;
        std::vector<size_t> offsets;
        std::vector<size_t> sizes;
        uint32_t checksum;
    };
    // Checksums by hand: weights 1,2,3,-4 from the byte after the first marker.
    const Case cases[] = {
        {"no marker", BytesOf("just a program, SZD and SZ but no marker"), {}, {}, 0},
        {"one item", BytesOf("headSZDDab"), {4}, {6}, 97 + 2 * 98},
        {"weights cross items",
         BytesOf("hSZDDabSZDDc"),
         {1, 7},
         {6, 5},
         97 + 2 * 98 + 3 * 'S' - 4 * 'Z' + 'D' + 2 * 'D' + 3 * 99},
        {"S,S,Z,D,D inside an item is data",
         Cat({BytesOf("hSZDDx"), BytesOf("SSZDD"), BytesOf("y")}),
         {1},
         {11},
         'x' + 2 * 'S' + 3 * 'S' - 4 * 'Z' + 'D' + 2 * 'D' + 3 * 'y'},
        {"partial marker at the end stays in the last item", BytesOf("hSZDDaSZ"), {1}, {7}, 'a' + 2 * 'S' + 3 * 'Z'},
        {"item ending in S hides the next marker",
         BytesOf("hSZDDaSSZDDb"),
         {1},
         {11},
         'a' + 2 * 'S' + 3 * 'S' - 4 * 'Z' + 'D' + 2 * 'D' + 3 * 'b'},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScanResult r;
        SimulateScan(c.file.data(), c.file.size(), r);
        ASSERT_EQ(r.items.size(), c.offsets.size());
        for (size_t i = 0; i < r.items.size(); ++i) {
            EXPECT_EQ(r.items[i].offset, c.offsets[i]);
            EXPECT_EQ(r.items[i].size, c.sizes[i]);
        }
        EXPECT_EQ(r.checksum, c.checksum);
        EXPECT_EQ(r.steps, 1u);
    }
}

TEST(SimulateScan, MarkerSplitAcrossTwoSteps)
{
    for (size_t before : {1, 2, 3}) {
        SCOPED_TRACE("marker bytes in the first step: " + std::to_string(before));
        std::vector<uint8_t> file = Cat({Filler(kStepBytes - before), BytesOf("SZDD"), Filler(10)});
        ScanResult r;
        SimulateScan(file.data(), file.size(), r);
        ASSERT_EQ(r.items.size(), 1u);
        EXPECT_EQ(r.items[0].offset, kStepBytes - before);
        EXPECT_EQ(r.items[0].step, 1u);
        EXPECT_EQ(r.steps, 2u);
    }
}

TEST(SimulateScan, ChangedByteAfterFirstMarkerChangesChecksumButNotInHead)
{
    std::vector<uint8_t> file = Cat({Filler(300), BytesOf("SZDD"), Filler(200, 1), BytesOf("SZDD"), Filler(90, 2)});
    ScanResult base;
    SimulateScan(file.data(), file.size(), base);
    ASSERT_EQ(base.items.size(), 2u);
    struct Case {
        const char *name;
        size_t at;
        bool checksumChanges;
    };
    const Case cases[] = {
        {"head", 100, false}, {"first item", 350, true}, {"second item's last byte", file.size() - 1, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> changed = file;
        changed[c.at] ^= 0x01;
        ScanResult r;
        SimulateScan(changed.data(), changed.size(), r);
        ASSERT_EQ(r.items.size(), 2u);
        EXPECT_EQ(r.checksum != base.checksum, c.checksumChanges);
    }
}

// The shipped item sizes and tail: the offsets follow from the sizes alone and
// the scan takes the expected number of steps.
TEST(LayOutInstaller, ShippedSizesAndTail)
{
    const size_t stored[kPayloadItemCount] = {514325, 25703, 141490, 35453, 2326, 91869, 785, 242, 1189, 8477, 485};
    const size_t headSize = 14848;
    std::vector<std::vector<uint8_t>> items;
    for (size_t i = 0; i < kPayloadItemCount; ++i)
        items.push_back(Cat({BytesOf("SZDD"), Filler(stored[i] - 4, uint8_t(i))}));
    std::vector<uint8_t> tail(1663, 0);
    std::vector<uint8_t> file;
    std::vector<size_t> offsets;
    std::string error;
    ASSERT_TRUE(LayOutInstaller(Filler(headSize, 9), items, tail, file, offsets, error)) << error;
    ASSERT_EQ(file.size(), 838855u);  // 14,848 + 822,344 + 1,663
    ScanResult r;
    SimulateScan(file.data(), file.size(), r);
    ASSERT_EQ(r.items.size(), size_t(kPayloadItemCount));
    size_t expected = headSize;
    for (size_t i = 0; i < kPayloadItemCount; ++i) {
        SCOPED_TRACE(PayloadItemName(int(i)));
        EXPECT_EQ(offsets[i], expected);
        EXPECT_EQ(r.items[i].offset, expected);
        EXPECT_EQ(r.items[i].size, stored[i] + (i == 10 ? 1663 : 0));
        EXPECT_EQ(r.items[i].step, (expected + 3) / kStepBytes);
        expected += stored[i];
    }
    EXPECT_EQ(r.items[0].step, 2u);
    EXPECT_EQ(r.items[10].step, 119u);
    EXPECT_EQ(r.steps, 120u);  // 119 full steps of 7,001 bytes, then the one that meets the end
}

// A head or item whose last bytes leave the matcher inside a partial marker gets
// one alignment byte; S,S leaves it at rest and needs none.
TEST(LayOutInstaller, AlignmentBreaksHiddenMarkers)
{
    struct Case {
        const char *name;
        std::string headEnd;
        std::string itemEnd;
        size_t alignmentBytes;
    };
    const Case cases[] = {
        {"plain", "x", "x", 0},
        {"head ends in S", "S", "x", 1},
        {"head ends in SZD", "SZD", "x", 1},
        {"item ends in SZ", "x", "SZ", 1},
        {"item ends in SS", "x", "SS", 0},
        {"both", "SZ", "SZD", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> head = Cat({Filler(50), BytesOf(c.headEnd)});
        std::vector<std::vector<uint8_t>> items = {Cat({BytesOf("SZDD"), Filler(20), BytesOf(c.itemEnd)}),
                                                   Cat({BytesOf("SZDD"), Filler(20, 3)})};
        std::vector<uint8_t> file;
        std::vector<size_t> offsets;
        std::string error;
        ASSERT_TRUE(LayOutInstaller(head, items, BytesOf("T"), file, offsets, error)) << error;
        EXPECT_EQ(file.size(), head.size() + items[0].size() + items[1].size() + 1 + c.alignmentBytes);
        ScanResult r;
        SimulateScan(file.data(), file.size(), r);
        ASSERT_EQ(r.items.size(), 2u);
        EXPECT_EQ(r.items[0].offset, offsets[0]);
        EXPECT_EQ(r.items[1].offset, offsets[1]);
    }
}

TEST(LayOutInstaller, RefusesMarkersThatWouldSplitAnItem)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> head;
        std::vector<uint8_t> item;
        std::vector<uint8_t> tail;
        const char *expected;
    };
    const Case cases[] = {
        {"marker in the head", BytesOf("progSZDDram"), BytesOf("SZDDx"), {}, "program holds"},
        {"second marker in an item",
         {},
         BytesOf("SZDDabSZDDcd"),
         {},
         "item 0 (ovra32.exe) holds a second marker, which the installer would take for a new item"},
        {"item without marker", {}, BytesOf("SZDx"), {}, "does not start"},
        {"item shorter than the marker", {}, BytesOf("SZ"), {}, "does not start"},
        {"tail completes a marker",
         {},
         BytesOf("SZDDabS"),
         BytesOf("ZDD"),
         "item 0 (ovra32.exe) holds a second marker"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> file;
        std::vector<size_t> offsets;
        std::string error;
        EXPECT_FALSE(LayOutInstaller(c.head, {c.item}, c.tail, file, offsets, error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

// Text whose optimal encoding spells the marker, from literal letters or with a
// flag byte; the packer must find another encoding that expands the same.
std::vector<uint8_t> WordSoup(uint32_t seed)
{
    static const char *const words[] = {"SZ", "D", "DD", "abc", "Zq", "S", "xyz", "SZD", "qq"};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < 400)
        s += words[rng() % 9];
    return BytesOf(s);
}

bool MarkerUsesFlagByte(const std::vector<uint8_t> &in)
{
    std::vector<uint8_t> out;
    SzddTrace trace;
    SzddCompressTraced(in.data(), in.size(), out, {}, trace);
    MarkerRun run = RunMarkerMatcher(out.data() + 4, out.size() - 4);
    if (!run.complete)
        return false;
    for (size_t k = run.markerOffset + 4; k < run.markerOffset + 8; ++k)
        if (trace.originLen[k] == 0xFF)
            return true;
    return false;
}

TEST(PrepareItem, AvoidsMarkerInCompressedData)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> input;
        bool flagByte;
    };
    const Case cases[] = {
        {"the word in a text",
         BytesOf(
             "The installer reads its payload; the installer checks its payload; the installer writes its payload. Items are SZDD files."),
         false},
        {"flag byte spells a marker letter", WordSoup(51833), true},
        {"flag byte, second fixture", WordSoup(86009), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> plain = Compressed(c.input);
        ASSERT_TRUE(RunMarkerMatcher(plain.data() + 4, plain.size() - 4).complete) << "fixture no longer traps";
        ASSERT_EQ(MarkerUsesFlagByte(c.input), c.flagByte) << "fixture no longer traps this way";
        StoredItem item;
        std::string error;
        ASSERT_TRUE(PrepareItem(c.input, "crafted.txt", item, error)) << error;
        EXPECT_FALSE(ContainsMarkerBytes(item.bytes.data() + 4, item.bytes.size() - 4));
        EXPECT_EQ(item.optimalSize, plain.size());
        EXPECT_LE(item.bytes.size(), plain.size() + 4);
        std::vector<uint8_t> back;
        ASSERT_GE(SzddExpandBuffer(item.bytes.data(), item.bytes.size(), back), 0);
        EXPECT_EQ(back, c.input);
    }
}

TEST(PrepareItem, EveryAvoidedEncodingIsSoundAndSmall)
{
    int trapped = 0;
    int avoided = 0;
    for (uint32_t seed = 1; seed < 1500; ++seed) {
        std::vector<uint8_t> input = WordSoup(seed);
        std::vector<uint8_t> plain = Compressed(input);
        if (!RunMarkerMatcher(plain.data() + 4, plain.size() - 4).complete)
            continue;
        ++trapped;
        StoredItem item;
        std::string error;
        if (!PrepareItem(input, "soup", item, error)) {
            EXPECT_NE(error.find("soup: "), std::string::npos) << error;
            continue;
        }
        ++avoided;
        SCOPED_TRACE("seed " + std::to_string(seed));
        EXPECT_FALSE(RunMarkerMatcher(item.bytes.data() + 4, item.bytes.size() - 4).complete);
        EXPECT_LE(item.bytes.size(), plain.size() + 8);
        std::vector<uint8_t> back;
        ASSERT_GE(SzddExpandBuffer(item.bytes.data(), item.bytes.size(), back), 0);
        EXPECT_EQ(back, input);
    }
    EXPECT_GT(avoided, 0);
    EXPECT_GT(trapped, avoided);  // letters at the very start are beyond any encoding
}

TEST(PrepareItem, SzddInputs)
{
    std::vector<uint8_t> text = BytesOf("an ordinary settings file with ordinary settings\n");
    StoredItem item;
    std::string error;
    // Kept as it is, whatever encoder made it.
    std::vector<uint8_t> szdd = Compressed(text);
    ASSERT_TRUE(PrepareItem(szdd, "a.ini", item, error)) << error;
    EXPECT_TRUE(item.embeddedAsIs);
    EXPECT_EQ(item.bytes, szdd);
    // One whose own encoding holds a second marker is encoded again.
    std::vector<uint8_t> word = BytesOf(
        "The installer reads its payload; the installer checks its payload; the installer writes its payload. Items are SZDD files.");
    ASSERT_TRUE(PrepareItem(Compressed(word), "b.txt", item, error)) << error;
    EXPECT_FALSE(item.embeddedAsIs);
    EXPECT_FALSE(ContainsMarkerBytes(item.bytes.data() + 4, item.bytes.size() - 4));
    std::vector<uint8_t> back;
    ASSERT_GE(SzddExpandBuffer(item.bytes.data(), item.bytes.size(), back), 0);
    EXPECT_EQ(back, word);
}

// Only exactly one complete stream stands for its expansion; anything else
// taken as one would lose bytes (streams back to back, bytes after the data)
// or change them (cut short, another mode). Such a file starts with the marker
// letters, so as data it cannot be stored either: it is refused, saying why.
TEST(PrepareItem, OnlyOneSoundStreamIsTakenAsCompressed)
{
    std::vector<uint8_t> one = Compressed(BytesOf("[menus]\nfile=open,save,close\nedit=cut,copy,paste\n"));
    std::vector<uint8_t> other = Compressed(BytesOf("host=chat.example.net\n"));
    std::vector<uint8_t> modeB = one;
    modeB[8] = 'B';
    std::vector<uint8_t> longer = one;
    longer[kSzddLengthOffset] += 1;
    struct Case {
        const char *name;
        std::vector<uint8_t> file;
        std::string refusal;  // empty: stored, and gives back what it stands for
    };
    const Case cases[] = {
        {"one stream", one, ""},
        {"empty content", Compressed({}), ""},
        {"plain text", BytesOf("plain text"), ""},
        {"three streams back to back", Cat({one, other, one}),
         "followed by " + std::to_string(other.size() + one.size()) + " more bytes"},
        {"one byte after the data", Cat({one, BytesOf("x")}), "followed by 1 more bytes"},
        {"cut short", std::vector<uint8_t>(one.begin(), one.end() - 3), "ends before the length"},
        {"header only, cut", std::vector<uint8_t>(one.begin(), one.begin() + 10), "header is cut short"},
        {"mode B", modeB, "mode is not 'A'"},
        {"header states more than the data holds", longer, "ends before the length"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> expanded;
        EXPECT_EQ(IsOneSoundSzddStream(c.file, expanded), c.refusal.empty() && c.file != BytesOf("plain text"));
        StoredItem item;
        std::string error;
        bool stored = PrepareItem(c.file, "f.ini", item, error);
        if (!c.refusal.empty()) {
            EXPECT_FALSE(stored);
            EXPECT_EQ(error.rfind("f.ini: ", 0), 0u) << error;
            EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(stored) << error;
        std::vector<uint8_t> back;
        ASSERT_GE(SzddExpandBuffer(item.bytes.data(), item.bytes.size(), back), 0);
        EXPECT_EQ(back, item.embeddedAsIs ? expanded : c.file);
    }
}

TEST(BuildInstaller, RoundTripThroughListAndExtract)
{
    std::vector<std::vector<uint8_t>> inputs = PayloadTexts();
    inputs[4] = Compressed(inputs[4]);  // one already compressed
    std::vector<uint8_t> stub = MakeStub();
    std::vector<uint8_t> installer;
    BuildReport report;
    std::string error;
    ASSERT_TRUE(BuildInstaller(stub, inputs, {}, installer, report, error)) << error;
    EXPECT_TRUE(report.items[4].embeddedAsIs);

    InstallerInfo info;
    std::string problem;
    ASSERT_TRUE(InspectInstaller(installer.data(), installer.size(), info, problem)) << problem;
    EXPECT_EQ(info.expectedChecksum, report.checksum);
    EXPECT_EQ(info.scan.checksum, report.checksum);
    EXPECT_EQ(info.programEnd, stub.size());
    ASSERT_EQ(info.items.size(), size_t(kPayloadItemCount));
    for (size_t i = 0; i < info.items.size(); ++i) {
        SCOPED_TRACE(PayloadItemName(int(i)));
        EXPECT_EQ(info.items[i].offset, report.itemOffsets[i]);
        EXPECT_EQ(info.items[i].storedSize, report.items[i].bytes.size());
        EXPECT_EQ(info.items[i].expandedSize, report.items[i].expandedSize);
    }
    // The tail follows the last item; nothing else is appended.
    EXPECT_EQ(info.items[10].size, info.items[10].storedSize + kTailSize);
    EXPECT_EQ(std::string(installer.end() - kTailSize, installer.end() - 1), std::string(kTailText));

    std::vector<std::vector<uint8_t>> files;
    ASSERT_TRUE(ExtractInstaller(installer.data(), installer.size(), files, error)) << error;
    std::vector<std::vector<uint8_t>> originals = PayloadTexts();
    ASSERT_EQ(files.size(), originals.size());
    for (size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(files[i], originals[i]) << PayloadItemName(int(i));

    std::vector<uint8_t> again;
    ASSERT_TRUE(BuildInstaller(stub, inputs, {}, again, report, error));
    EXPECT_EQ(again, installer);
}

// An installer holds eleven markers; as a payload item of another it is
// encoded so that none of them shows, and comes back byte for byte.
TEST(BuildInstaller, AnInstallerAsAPayloadItem)
{
    std::vector<uint8_t> stub = MakeStub();
    std::vector<uint8_t> inner;
    BuildReport report;
    std::string error;
    ASSERT_TRUE(BuildInstaller(stub, PayloadTexts(), {}, inner, report, error)) << error;
    std::vector<std::vector<uint8_t>> inputs = PayloadTexts();
    inputs[4] = inner;
    std::vector<uint8_t> outer;
    ASSERT_TRUE(BuildInstaller(stub, inputs, {}, outer, report, error)) << error;
    std::vector<std::vector<uint8_t>> files;
    ASSERT_TRUE(ExtractInstaller(outer.data(), outer.size(), files, error)) << error;
    EXPECT_EQ(files[4], inner);
}

TEST(BuildInstaller, StubEndingInsideAPartialMarkerGetsAnAlignmentByte)
{
    StubShape shape;
    shape.trailer = "SZD";
    std::vector<uint8_t> stub = MakeStub(shape);
    std::vector<uint8_t> installer;
    BuildReport report;
    std::string error;
    ASSERT_TRUE(BuildInstaller(stub, PayloadTexts(), {}, installer, report, error)) << error;
    EXPECT_EQ(report.headSize, stub.size() + 1);
    EXPECT_EQ(report.itemOffsets[0], stub.size() + 1);
    InstallerInfo info;
    std::string problem;
    EXPECT_TRUE(InspectInstaller(installer.data(), installer.size(), info, problem)) << problem;
}

// The installer as the packer laid it out while it held the whole payload:
// every item prepared first, the payload laid out whole for each adjust byte and
// summed at once, then the stub patched and given its alignment byte.
struct WholeBuild {
    std::vector<uint8_t> installer;
    uint32_t checksum;
};

WholeBuild WholePayloadBuild(const std::vector<uint8_t> &stub, const std::vector<std::vector<uint8_t>> &inputs)
{
    size_t slot = 0;
    std::string error;
    EXPECT_TRUE(FindChecksumSlot(stub.data(), stub.size(), slot, error)) << error;
    std::vector<std::vector<uint8_t>> stored;
    for (const std::vector<uint8_t> &input : inputs) {
        StoredItem item;
        EXPECT_TRUE(PrepareItem(input, "input", item, error)) << error;
        stored.push_back(item.bytes);
    }
    for (int adjust = 0; adjust < 256; ++adjust) {
        std::vector<uint8_t> tail(kTailText, kTailText + kTailSize - 1);
        tail.push_back(uint8_t(adjust));
        std::vector<uint8_t> payload;
        std::vector<size_t> offsets;
        EXPECT_TRUE(LayOutInstaller({}, stored, tail, payload, offsets, error)) << error;
        uint32_t checksum = 0;
        uint32_t weight = 1;
        for (size_t k = 4; k < payload.size(); ++k)
            ChecksumAddByte(checksum, weight, payload[k]);
        std::vector<uint8_t> head = stub;
        if (!PatchChecksumSlot(head, slot, checksum))
            continue;
        if (RunMarkerMatcher(head.data(), head.size()).endMatch != 0)
            head.push_back(kAlignmentByte);
        return WholeBuild{Cat({head, payload}), checksum};
    }
    ADD_FAILURE() << "no adjust byte keeps the checksum clear of the marker";
    return WholeBuild{};
}

// The slot section cut to the slot itself and the file cut after it: the
// checksum is the program's last four bytes.
std::vector<uint8_t> StubEndingInTheSlot()
{
    std::vector<uint8_t> stub = MakeStub();
    stub.resize(0x40C);
    packer_fixture::PutLe(stub, 0x40 + 24 + 0xE0 + 40 + 16, 0x0C, 4);
    return stub;
}

// Texts whose compressed forms end in S, SZ and SZD: the items after them need an alignment byte.
std::vector<std::vector<uint8_t>> ItemsEndingInPartialMarkers()
{
    std::vector<std::vector<uint8_t>> inputs = PayloadTexts();
    const char *ends[] = {"last=S", "last=SZ", "last=SZD"};
    for (int k = 0; k < 3; ++k) {
        std::vector<uint8_t> end = BytesOf(ends[k]);
        inputs[size_t(1 + 2 * k)].insert(inputs[size_t(1 + 2 * k)].end(), end.begin(), end.end());
    }
    return inputs;
}

// A scratch folder of the test's own, removed afterwards.
struct ScratchDir {
    std::filesystem::path path;
    explicit ScratchDir(const std::string &name)
        : path(std::filesystem::temp_directory_path() / ("packer_test_" + std::to_string(::getpid()) + "_" + name))
    {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(path))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// The inputs as files in `dir`, in table order.
std::vector<std::string> WriteInputs(const std::filesystem::path &dir, const std::vector<std::vector<uint8_t>> &inputs)
{
    std::vector<std::string> paths;
    for (size_t i = 0; i < inputs.size(); ++i) {
        paths.push_back((dir / PayloadItemName(int(i))).string());
        EXPECT_TRUE(WriteWholeFile(paths.back(), inputs[i]));
    }
    return paths;
}

// Written one item at a time, in memory or to a file, the installer is the one
// the whole payload laid out at once gives, byte for byte.
TEST(WriteInstaller, SameBytesAsTheWholePayloadLaidOutAtOnce)
{
    std::vector<std::vector<uint8_t>> asIs = PayloadTexts();
    asIs[4] = Compressed(asIs[4]);
    StubShape endsInSZD;
    endsInSZD.trailer = "SZD";
    struct Case {
        const char *name;
        std::vector<uint8_t> stub;
        std::vector<std::vector<uint8_t>> inputs;
        size_t headAlignment;
        size_t itemAlignment;
        bool slotPass;
    };
    const Case cases[] = {
        {"plain texts", MakeStub(), PayloadTexts(), 0, 0, false},
        {"an item stored as it is", MakeStub(), asIs, 0, 0, false},
        {"items ending inside partial markers", MakeStub(), ItemsEndingInPartialMarkers(), 0, 3, false},
        {"stub ending inside a partial marker", MakeStub(endsInSZD), PayloadTexts(), 1, 0, false},
        {"checksum as the stub's last bytes", StubEndingInTheSlot(), PayloadTexts(), 0, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WholeBuild whole = WholePayloadBuild(c.stub, c.inputs);
        std::vector<uint8_t> installer;
        BuildReport report;
        std::string error;
        ASSERT_TRUE(BuildInstaller(c.stub, c.inputs, {}, installer, report, error)) << error;
        EXPECT_EQ(installer, whole.installer);
        EXPECT_EQ(report.checksum, whole.checksum);
        EXPECT_EQ(report.installerSize, installer.size());
        EXPECT_EQ(report.headSize, c.stub.size() + c.headAlignment);
        EXPECT_EQ(report.slotPass, c.slotPass);
        size_t stored = 0;
        for (const StoredItem &item : report.items)
            stored += item.storedSize;
        EXPECT_EQ(installer.size() - report.headSize - stored - kTailSize, c.itemAlignment);
        EXPECT_EQ(report.items[4].embeddedAsIs, c.inputs[4] == asIs[4]);

        ScratchDir dir(std::string("same_bytes_") + std::to_string(&c - cases));
        std::vector<std::string> paths = WriteInputs(dir.path, c.inputs);
        std::string out = (dir.path / "setup.exe").string();
        BuildReport fileReport;
        ASSERT_TRUE(BuildInstallerFile(c.stub, paths, out, fileReport, error)) << error;
        EXPECT_EQ(ReadWholeFile(out), whole.installer);
        EXPECT_EQ(dir.Names().size(), paths.size() + 1) << "a temporary file stays behind";
    }
}

// A compressed file of literals only (a flag byte before every eight), each
// literal high where its weight adds to the payload checksum and zero where it
// subtracts; payloadOffset is where the item starts in the payload.
std::vector<uint8_t> WeightedLiterals(size_t groups, size_t payloadOffset)
{
    std::vector<uint8_t> file(8);
    SzddMagic(file.data());
    file.push_back(kSzddModeA);
    file.push_back(0);
    for (int i = 0; i < 4; ++i)
        file.push_back(uint8_t((groups * 8) >> (8 * i)));
    for (size_t g = 0; g < groups; ++g) {
        file.push_back(0xFF);
        for (int k = 0; k < 8; ++k)
            file.push_back((payloadOffset + file.size() - 4) % 4 == 3 ? 0x00 : 0xFF);
    }
    return file;
}

// When the checksum is the stub's last bytes, its value decides the alignment
// byte that comes before every item, so the build learns it in a first pass.
// A checksum whose top byte is S (the stub then ends in a partial marker) takes
// a payload of some 4 MB: one item stored as it is, its bytes weighted upwards.
TEST(WriteInstaller, ChecksumAsTheStubsLastBytesDecidesItsAlignmentByte)
{
    std::vector<uint8_t> stub = StubEndingInTheSlot();
    std::vector<std::vector<uint8_t>> inputs = PayloadTexts();
    inputs[10] = WeightedLiterals(1, 0);
    std::vector<uint8_t> installer;
    BuildReport report;
    std::string error;
    ASSERT_TRUE(BuildInstaller(stub, inputs, {}, installer, report, error)) << error;
    size_t lastItemAt = report.itemOffsets[10] - report.itemOffsets[0];
    const double target = double(0x53800000u);
    size_t groups = 400000;
    WholeBuild whole;
    for (int attempt = 0; attempt < 5; ++attempt) {
        inputs[10] = WeightedLiterals(groups, lastItemAt);
        whole = WholePayloadBuild(stub, inputs);
        if (whole.checksum >> 24 == 0x53 && (whole.checksum >> 16 & 0xFF) != 0x53)
            break;
        groups = size_t(double(groups) * target / double(whole.checksum));
    }
    ASSERT_EQ(whole.checksum >> 24, 0x53u) << "fixture no longer reaches a checksum ending in S";
    ASSERT_TRUE(BuildInstaller(stub, inputs, {}, installer, report, error)) << error;
    EXPECT_TRUE(report.items[10].embeddedAsIs);
    EXPECT_TRUE(report.slotPass);
    EXPECT_EQ(report.headSize, stub.size() + 1);
    EXPECT_EQ(installer, whole.installer);
    InstallerInfo info;
    std::string problem;
    EXPECT_TRUE(InspectInstaller(installer.data(), installer.size(), info, problem)) << problem;
}

// A sink that fails where the case says: after some bytes, at the slot patch or on reading back.
struct FailingSink {
    std::vector<uint8_t> bytes;
    size_t writeLimit;
    bool failPatch;
    bool failReadBack;
};

long FailingWrite(void *ctx, const uint8_t *buf, long n)
{
    FailingSink &f = *static_cast<FailingSink *>(ctx);
    if (f.bytes.size() + size_t(n) > f.writeLimit)
        return -1;
    f.bytes.insert(f.bytes.end(), buf, buf + n);
    return n;
}

bool FailingWriteAt(void *ctx, uint64_t offset, const uint8_t *data, size_t size)
{
    FailingSink &f = *static_cast<FailingSink *>(ctx);
    if (f.failPatch)
        return false;
    std::memcpy(f.bytes.data() + offset, data, size);
    return true;
}

bool FailingReadAt(void *ctx, uint64_t offset, uint8_t *data, size_t size)
{
    FailingSink &f = *static_cast<FailingSink *>(ctx);
    if (f.failReadBack)
        return false;
    std::memcpy(data, f.bytes.data() + offset, size);
    return true;
}

bool InputFromTable(void *ctx, size_t index, const std::vector<uint8_t> *&bytes, std::string &)
{
    bytes = &(*static_cast<std::vector<std::vector<uint8_t>> *>(ctx))[index];
    return true;
}

TEST(WriteInstaller, AFailedWriteStopsTheBuildAndSaysSo)
{
    std::vector<uint8_t> stub = MakeStub();
    std::vector<std::vector<uint8_t>> inputs = PayloadTexts();
    inputs[4] = Compressed(inputs[4]);  // one item written as it is, not by the encoder
    std::vector<uint8_t> good;
    BuildReport report;
    std::string error;
    ASSERT_TRUE(BuildInstaller(stub, inputs, {}, good, report, error)) << error;
    const std::string full = "cannot write 'out.exe': write failed (disk full?)";
    struct Case {
        const char *name;
        size_t writeLimit;
        bool failPatch;
        bool failReadBack;
        std::string message;
    };
    const Case cases[] = {
        {"inside the program", 100, false, false, full},
        {"inside the first item", report.itemOffsets[0] + 50, false, false, full},
        {"inside the item kept as it is", report.itemOffsets[4] + 20, false, false, full},
        {"inside the tail", good.size() - 3, false, false, full},
        {"patching the checksum slot", good.size(), true, false, full},
        {"reading back for the check", good.size(), false, true, "cannot read back 'out.exe' for its final check"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FailingSink f{{}, c.writeLimit, c.failPatch, c.failReadBack};
        InstallerSink sink{FailingWrite, FailingWriteAt, FailingReadAt, &f, "out.exe"};
        BuildReport failed;
        error.clear();
        EXPECT_FALSE(WriteInstaller(stub, inputs.size(), InputFromTable, &inputs, {}, sink, failed, error));
        EXPECT_EQ(error, c.message);
    }
}

// An input that cannot be read part-way through leaves no output and no temporary file.
TEST(WriteInstaller, AnUnreadableInputLeavesNothingBehind)
{
    ScratchDir dir("unreadable_input");
    std::vector<std::string> paths = WriteInputs(dir.path, PayloadTexts());
    std::filesystem::remove(paths[7]);
    BuildReport report;
    std::string error;
    EXPECT_FALSE(BuildInstallerFile(MakeStub(), paths, (dir.path / "setup.exe").string(), report, error));
    EXPECT_EQ(error.rfind("cannot read '" + paths[7] + "'", 0), 0u) << error;
    EXPECT_EQ(dir.Names().size(), paths.size() - 1);
    EXPECT_FALSE(std::filesystem::exists(dir.path / "setup.exe"));
}

TEST(BuildInstaller, RefusesBadStubsAndInputCounts)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> stub;
        size_t inputs;
        const char *expected;
    };
    StubShape noSection;
    noSection.sectionName = ".data";
    StubShape noTag;
    noTag.withTag = false;
    StubShape marker;
    marker.codeText = "code that spells SZDD";
    std::vector<uint8_t> cutStub = MakeStub();
    cutStub.resize(0x300);  // the slot section lies outside the file
    const Case cases[] = {
        {"not a program", BytesOf("just some text, long enough to have a header field"), 11, "no MZ header"},
        {"no checksum section", MakeStub(noSection), 11, "no .ovrasum section"},
        {"section without slot", MakeStub(noTag), 11, "no checksum slot"},
        {"stub holds the marker", MakeStub(marker), 11, "marker bytes"},
        {"section outside the file", cutStub, 11, "outside the file"},
        {"ten inputs", MakeStub(), 10, "expected 11 files, got 10"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<uint8_t>> inputs = PayloadTexts();
        inputs.resize(c.inputs);
        std::vector<uint8_t> installer;
        BuildReport report;
        std::string error;
        EXPECT_FALSE(BuildInstaller(c.stub, inputs, {}, installer, report, error));
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
    }
}

TEST(PatchChecksumSlot, RefusesValuesThatSpellTheMarkerWithTheirNeighbours)
{
    StubShape shape;
    shape.afterSlot = "ZDD";
    std::vector<uint8_t> stub = MakeStub(shape);
    size_t slot = 0;
    std::string error;
    ASSERT_TRUE(FindChecksumSlot(stub.data(), stub.size(), slot, error)) << error;
    EXPECT_EQ(slot, 0x408u);
    struct Case {
        const char *name;
        uint32_t value;
        bool accepted;
    };
    const Case cases[] = {
        {"ordinary value", 0x12345678, true},
        {"top byte S before ZDD", 0x53000000, false},
        {"value spells the marker", 0x44445A53, false},
        {"top bytes SZ before DD", 0x5A530000, true},  // "SZ" + "ZDD" is no marker
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> patched = stub;
        EXPECT_EQ(PatchChecksumSlot(patched, slot, c.value), c.accepted);
        EXPECT_EQ(patched[slot], uint8_t(c.value));
    }
}

TEST(InspectInstaller, DamagedInstallers)
{
    std::vector<uint8_t> stub = MakeStub();
    std::vector<uint8_t> good;
    BuildReport report;
    std::string error;
    ASSERT_TRUE(BuildInstaller(stub, PayloadTexts(), {}, good, report, error)) << error;

    std::vector<uint8_t> flipped = good;
    flipped[report.itemOffsets[5] + 20] ^= 0x01;
    std::vector<uint8_t> truncated(good.begin(), good.begin() + report.itemOffsets[7] + 10);
    std::vector<uint8_t> twelve = good;
    std::vector<uint8_t> extra = Compressed(BytesOf("an extra file nobody expects"));
    twelve.insert(twelve.end(), extra.begin(), extra.end());
    std::vector<uint8_t> headMarker = good;
    std::memcpy(&headMarker[0x210], "SZDD", 4);
    std::vector<uint8_t> lastCut(good.begin(), good.end() - kTailSize - 3);
    struct Case {
        const char *name;
        std::vector<uint8_t> file;
        const char *expected;
    };
    const Case cases[] = {
        {"one byte changed in an item", flipped, "differs from the program's"},
        {"cut inside item 7", truncated, "item 7 (macros.ini) is not a complete compressed file"},
        {"a twelfth item", twelve, "found 12 items"},
        {"marker inside the program", headMarker, "item 0 (ovra32.exe) is not a complete"},
        {"last item cut short", lastCut, "item 10 (links.ini) is not a complete"},
        {"empty file", {}, "no MZ header"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        InstallerInfo info;
        std::string problem;
        EXPECT_FALSE(InspectInstaller(c.file.data(), c.file.size(), info, problem));
        EXPECT_NE(problem.find(c.expected), std::string::npos) << problem;
        std::vector<std::vector<uint8_t>> files;
        EXPECT_FALSE(ExtractInstaller(c.file.data(), c.file.size(), files, error));
    }
}

}  // namespace
