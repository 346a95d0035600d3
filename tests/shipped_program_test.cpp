// The i686 installer program checked as it ships. No machine here runs 32-bit
// programs, so every Wine result comes from the x86_64 build of the same sources;
// what only the i686 build could get wrong is read from the built file: a 32-bit
// GUI program for i386, the imports and resources of the x86_64 build, no item
// marker, and the checksum slot where the packer looks for it.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "format/byte_order.h"
#include "format/payload.h"
#include "packer/checksum_slot.h"
#include "tests/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Only what this test reads of a PE file, every offset checked.
struct PeFile {
    Bytes bytes;
    uint32_t pe = 0;
    uint16_t machine = 0;
    uint16_t magic = 0;
    uint16_t subsystem = 0;
    struct Section {
        uint32_t rva, virtualSize, raw, rawSize;
    };
    std::vector<Section> sections;
    std::string problem;

    bool In(size_t at, size_t n) const { return at <= bytes.size() && bytes.size() - at >= n; }

    // The file offset of an RVA, or SIZE_MAX.
    size_t Offset(uint32_t rva) const
    {
        for (const Section &s : sections)
            if (rva >= s.rva && rva - s.rva < s.rawSize)
                return size_t(s.raw) + (rva - s.rva);
        return SIZE_MAX;
    }

    bool Load(const std::string &path)
    {
        bytes = ReadWholeFile(path);
        if (!In(0x40, 0) || bytes[0] != 'M' || bytes[1] != 'Z') {
            problem = path + ": not a Windows program";
            return false;
        }
        pe = ReadLe32(&bytes[0x3C]);
        if (!In(pe, 24 + 2) || std::memcmp(&bytes[pe], "PE\0\0", 4) != 0) {
            problem = path + ": no PE header";
            return false;
        }
        machine = ReadLe16(&bytes[pe + 4]);
        uint16_t count = ReadLe16(&bytes[pe + 6]);
        uint16_t optionalSize = ReadLe16(&bytes[pe + 20]);
        size_t optional = pe + 24;
        magic = ReadLe16(&bytes[optional]);
        if (!In(optional, optionalSize) || optionalSize < 72) {
            problem = path + ": optional header cut short";
            return false;
        }
        subsystem = ReadLe16(&bytes[optional + 68]);
        size_t table = optional + optionalSize;
        for (uint16_t i = 0; i < count; ++i) {
            size_t h = table + size_t(i) * 40;
            if (!In(h, 40)) {
                problem = path + ": section table cut short";
                return false;
            }
            sections.push_back({ReadLe32(&bytes[h + 12]), ReadLe32(&bytes[h + 8]), ReadLe32(&bytes[h + 20]),
                                ReadLe32(&bytes[h + 16])});
        }
        return true;
    }

    // Data directory entry n: its RVA and size.
    bool Directory(int n, uint32_t &rva, uint32_t &size) const
    {
        size_t optional = pe + 24;
        size_t at = optional + (magic == 0x20B ? 112 : 96) + size_t(n) * 8;
        if (!In(at, 8))
            return false;
        rva = ReadLe32(&bytes[at]);
        size = ReadLe32(&bytes[at + 4]);
        return rva != 0;
    }

    std::string CString(size_t at) const
    {
        std::string s;
        while (at < bytes.size() && bytes[at] != 0)
            s += char(bytes[at++]);
        return s;
    }

    // DLL name (lower case) -> the functions imported from it by name.
    std::map<std::string, std::set<std::string>> Imports() const
    {
        std::map<std::string, std::set<std::string>> imports;
        uint32_t rva = 0, size = 0;
        if (!Directory(1, rva, size))
            return imports;
        size_t thunkSize = magic == 0x20B ? 8 : 4;
        for (size_t d = Offset(rva); d != SIZE_MAX && In(d, 20); d += 20) {
            uint32_t lookup = ReadLe32(&bytes[d]), name = ReadLe32(&bytes[d + 12]), first = ReadLe32(&bytes[d + 16]);
            if (name == 0)
                break;
            std::string dll = CString(Offset(name));
            for (char &c : dll)
                c = char(std::tolower(static_cast<unsigned char>(c)));
            std::set<std::string> &functions = imports[dll];
            for (size_t t = Offset(lookup ? lookup : first); t != SIZE_MAX && In(t, thunkSize); t += thunkSize) {
                uint64_t entry = thunkSize == 8 ? (uint64_t(ReadLe32(&bytes[t + 4])) << 32 | ReadLe32(&bytes[t]))
                                                : ReadLe32(&bytes[t]);
                if (entry == 0)
                    break;
                bool byOrdinal = thunkSize == 8 ? (entry >> 63) != 0 : (entry >> 31) != 0;
                functions.insert(byOrdinal ? "#" + std::to_string(entry & 0xFFFF)
                                           : CString(Offset(uint32_t(entry)) + 2));
            }
        }
        return imports;
    }

    // "type/name/language" -> the resource's bytes.
    std::map<std::string, Bytes> Resources() const
    {
        std::map<std::string, Bytes> found;
        uint32_t rva = 0, size = 0;
        if (!Directory(2, rva, size))
            return found;
        size_t root = Offset(rva);
        Walk(root, root, "", 0, found);
        return found;
    }

    void Walk(size_t root, size_t dir, const std::string &key, int depth, std::map<std::string, Bytes> &found) const
    {
        if (depth > 2 || !In(dir, 16))
            return;
        int entries = ReadLe16(&bytes[dir + 12]) + ReadLe16(&bytes[dir + 14]);
        for (int i = 0; i < entries; ++i) {
            size_t e = dir + 16 + size_t(i) * 8;
            if (!In(e, 8))
                return;
            uint32_t id = ReadLe32(&bytes[e]), target = ReadLe32(&bytes[e + 4]);
            std::string part;
            if (id & 0x80000000u) {
                size_t s = root + (id & 0x7FFFFFFFu);
                for (size_t k = 0; In(s, 2) && k < ReadLe16(&bytes[s]) && In(s + 2 + 2 * k, 2); ++k)
                    part += char(bytes[s + 2 + 2 * k]);
            } else {
                part = std::to_string(id);
            }
            std::string next = key.empty() ? part : key + "/" + part;
            if (target & 0x80000000u) {
                Walk(root, root + (target & 0x7FFFFFFFu), next, depth + 1, found);
            } else if (In(root + target, 16)) {
                size_t data = Offset(ReadLe32(&bytes[root + target]));
                uint32_t length = ReadLe32(&bytes[root + target + 4]);
                if (data != SIZE_MAX && In(data, length))
                    found[next] = Bytes(bytes.begin() + long(data), bytes.begin() + long(data + length));
            }
        }
    }
};

std::string Env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

class ShippedProgram : public ::testing::Test {
protected:
    PeFile i686, x64;
    void SetUp() override
    {
        std::string product = Env("SETUP32_I686_STUB"), tested = Env("SETUP32_X64_STUB");
        ASSERT_FALSE(product.empty()) << "SETUP32_I686_STUB is not set";
        ASSERT_TRUE(i686.Load(product)) << i686.problem << " (scripts/build.sh builds it)";
        if (tested.empty() || ReadWholeFile(tested).empty())
            GTEST_SKIP() << "no x86_64 build beside it: this machine runs the i686 build itself under Wine";
        ASSERT_TRUE(x64.Load(tested)) << x64.problem;
    }
};

TEST_F(ShippedProgram, IsA32BitGuiProgramForI386)
{
    EXPECT_EQ(i686.machine, 0x14C) << "IMAGE_FILE_MACHINE_I386";
    EXPECT_EQ(i686.magic, 0x10B) << "PE32";
    EXPECT_EQ(i686.subsystem, 2) << "IMAGE_SUBSYSTEM_WINDOWS_GUI";
    EXPECT_EQ(x64.machine, 0x8664);
    EXPECT_EQ(x64.subsystem, 2);
}

// The two builds call the same system functions; the only differences allowed are
// the C run-time's own helpers, which differ by architecture in MinGW's library
// (on i686 its _vscprintf stand-in takes malloc, realloc, free and _errno from
// msvcrt, and GetModuleHandleW to look the real one up).
TEST_F(ShippedProgram, ImportsTheSameFunctionsAsTheTestedBuild)
{
    const std::set<std::string> onlyI686 = {"GetModuleHandleW", "malloc", "realloc", "free", "_errno"};
    const std::set<std::string> onlyX64 = {"_vscprintf"};
    auto a = i686.Imports(), b = x64.Imports();
    ASSERT_FALSE(a.empty());
    std::set<std::string> dllsA, dllsB;
    for (const auto &d : a)
        dllsA.insert(d.first);
    for (const auto &d : b)
        dllsB.insert(d.first);
    EXPECT_EQ(dllsA, dllsB);
    for (const auto &d : a) {
        SCOPED_TRACE(d.first);
        for (const std::string &f : d.second)
            EXPECT_TRUE(b[d.first].count(f) || onlyI686.count(f)) << f << " is imported by the i686 build only";
        for (const std::string &f : b[d.first])
            EXPECT_TRUE(d.second.count(f) || onlyX64.count(f)) << f << " is imported by the x86_64 build only";
    }
}

// Dialog templates and icons byte for byte: a control's style, place or text that
// differed would only show on the shipped program.
TEST_F(ShippedProgram, CarriesTheTestedBuildsDialogsAndIcons)
{
    auto a = i686.Resources(), b = x64.Resources();
    int dialogs = 0, icons = 0;
    for (const auto &r : a) {
        if (r.first.rfind("5/", 0) == 0)
            ++dialogs;
        if (r.first.rfind("3/", 0) == 0 || r.first.rfind("14/", 0) == 0)
            ++icons;
    }
    EXPECT_EQ(dialogs, 2) << "INSTALL_DLG and the chooser's template";
    EXPECT_GE(icons, 4) << "two icons and their groups";
    ASSERT_EQ(a.size(), b.size());
    for (const auto &r : a) {
        SCOPED_TRACE(r.first);
        ASSERT_TRUE(b.count(r.first)) << "missing from the x86_64 build";
        EXPECT_TRUE(r.second == b.at(r.first)) << "differs from the x86_64 build";
    }
}

TEST_F(ShippedProgram, HoldsNoMarkerAndItsChecksumSlotIsFound)
{
    char marker[4];
    BuildMarker(marker);
    const Bytes &f = i686.bytes;
    for (size_t i = 0; i + 4 <= f.size(); ++i)
        ASSERT_NE(std::memcmp(&f[i], marker, 4), 0) << "the marker at offset " << i;
    size_t slot = 0;
    std::string error;
    ASSERT_TRUE(FindChecksumSlot(f.data(), f.size(), slot, error)) << error;
    EXPECT_EQ(ReadLe32(&f[slot]), kShippedPayloadChecksum);
}

}  // namespace
