// The i686 installer program checked as it ships. No machine here runs 32-bit
// programs, so every Wine result comes from the x86_64 build of the same sources;
// what only the i686 build could get wrong is read from the built file: a 32-bit
// GUI program for i386, the imports and resources of the x86_64 build, no item
// marker, and the checksum slot where the packer looks for it. And what every
// Windows it is made for needs to start it: only functions that NT 3.1, Win32s and
// the first Windows 95 all have, subsystem version 3.10, and base relocations.
#include <gtest/gtest.h>

#include <algorithm>
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
#include "packer/pe_image.h"
#include "tests/test_files.h"

namespace {

using Bytes = std::vector<uint8_t>;

// What this test reads of a PE file: the headers and sections from the packer's PE
// reader, and the imports and resources walked here, every offset checked.
struct PeFile {
    Bytes bytes;
    PeHeaders headers{};
    uint16_t machine = 0;
    uint16_t magic = 0;
    uint16_t subsystem = 0;
    uint16_t characteristics = 0;
    uint16_t osVersion[2] = {0, 0};
    uint16_t subsystemVersion[2] = {0, 0};
    std::vector<PeSection> sections;
    std::string problem;

    bool In(size_t at, size_t n) const { return at <= bytes.size() && bytes.size() - at >= n; }

    // The file offset of an RVA, or SIZE_MAX.
    size_t Offset(uint32_t rva) const
    {
        for (const PeSection &s : sections)
            if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize)
                return size_t(s.rawOffset) + (rva - s.virtualAddress);
        return SIZE_MAX;
    }

    bool Load(const std::string &path)
    {
        bytes = ReadWholeFile(path);
        std::string error;
        if (!ReadPeHeaders(bytes.data(), bytes.size(), headers, error) ||
            !ReadPeSections(bytes.data(), bytes.size(), sections, error)) {
            problem = path + ": " + error;
            return false;
        }
        size_t optional = headers.optionalOffset;
        if (!In(optional, headers.optionalSize) || headers.optionalSize < 72) {
            problem = path + ": optional header cut short";
            return false;
        }
        machine = headers.machine;
        magic = headers.magic;
        characteristics = headers.characteristics;
        subsystem = ReadLe16(&bytes[optional + 68]);
        osVersion[0] = ReadLe16(&bytes[optional + 40]);
        osVersion[1] = ReadLe16(&bytes[optional + 42]);
        subsystemVersion[0] = ReadLe16(&bytes[optional + 48]);
        subsystemVersion[1] = ReadLe16(&bytes[optional + 50]);
        return true;
    }

    // Data directory entry n: its RVA and size.
    bool Directory(int n, uint32_t &rva, uint32_t &size) const
    {
        size_t at = 0;
        if (!PeDataDirectoryEntry(bytes.data(), bytes.size(), headers, uint32_t(n), at))
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

// The two builds call the same system functions: with no C run-time in either, there
// is no helper of an architecture's own left to differ.
TEST_F(ShippedProgram, ImportsTheSameFunctionsAsTheTestedBuild)
{
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
            EXPECT_TRUE(b[d.first].count(f)) << f << " is imported by the i686 build only";
        for (const std::string &f : b[d.first])
            EXPECT_TRUE(d.second.count(f)) << f << " is imported by the x86_64 build only";
    }
}

// What each function's vendor reference documents as its first releases: Windows
// NT 3.1, Win32s (on Windows 3.1) and Windows 95. Every import of the installer must
// be in this table and present on all three; a function of a later release is to be
// looked up at run time with a fallback (as Ctl3d32.dll's three are). The rows with
// "no" are later functions one might reach for, kept to say why they are not used.
struct Availability {
    const char *dll;
    const char *function;
    bool nt31, win32s, win95;
};
const Availability kAvailability[] = {
    {"comdlg32.dll", "GetOpenFileNameA", true, true, true},
    {"gdi32.dll", "CreateSolidBrush", true, true, true},
    {"gdi32.dll", "DeleteObject", true, true, true},
    {"gdi32.dll", "ExtTextOutA", true, true, true},
    {"gdi32.dll", "GetStockObject", true, true, true},
    {"gdi32.dll", "SetBkColor", true, true, true},
    {"gdi32.dll", "SetTextColor", true, true, true},
    {"kernel32.dll", "CloseHandle", true, true, true},
    {"kernel32.dll", "CreateDirectoryA", true, true, true},
    {"kernel32.dll", "CreateFileA", true, true, true},
    {"kernel32.dll", "DeleteFileA", true, true, true},
    {"kernel32.dll", "ExitProcess", true, true, true},
    {"kernel32.dll", "FreeLibrary", true, true, true},
    {"kernel32.dll", "GetDriveTypeA", true, true, true},
    {"kernel32.dll", "GetFileAttributesA", true, true, true},
    {"kernel32.dll", "GetFileSize", true, true, true},
    {"kernel32.dll", "GetLastError", true, true, true},
    {"kernel32.dll", "GetModuleFileNameA", true, true, true},
    {"kernel32.dll", "GetModuleHandleA", true, true, true},
    {"kernel32.dll", "GetProcAddress", true, true, true},
    {"kernel32.dll", "GetStartupInfoA", true, true, true},
    {"kernel32.dll", "GetTempPathA", true, true, true},
    {"kernel32.dll", "GetVersion", true, true, true},
    {"kernel32.dll", "GetWindowsDirectoryA", true, true, true},
    {"kernel32.dll", "LoadLibraryA", true, true, true},
    {"kernel32.dll", "MoveFileA", true, true, true},
    {"kernel32.dll", "ReadFile", true, true, true},
    {"kernel32.dll", "RemoveDirectoryA", true, true, true},
    {"kernel32.dll", "SetCurrentDirectoryA", true, true, true},
    {"kernel32.dll", "SetErrorMode", true, true, true},
    {"kernel32.dll", "SetFileAttributesA", true, true, true},
    {"kernel32.dll", "SetFilePointer", true, true, true},
    {"kernel32.dll", "WriteFile", true, true, true},
    {"kernel32.dll", "lstrcpynA", true, true, true},
    {"kernel32.dll", "lstrlenA", true, true, true},
    {"kernel32.dll", "GetFileSizeEx", false, false, false},         // Windows 2000
    {"kernel32.dll", "SetFilePointerEx", false, false, false},      // Windows 2000
    {"kernel32.dll", "GetFileAttributesExA", false, false, false},  // NT 4.0, Windows 98
    {"user32.dll", "BeginPaint", true, true, true},
    {"user32.dll", "CharLowerA", true, true, true},
    {"user32.dll", "CheckDlgButton", true, true, true},
    {"user32.dll", "CreateWindowExA", true, true, true},
    {"user32.dll", "DdeClientTransaction", true, true, true},
    {"user32.dll", "DdeConnect", true, true, true},
    {"user32.dll", "DdeCreateStringHandleA", true, true, true},
    {"user32.dll", "DdeDisconnect", true, true, true},
    {"user32.dll", "DdeFreeStringHandle", true, true, true},
    {"user32.dll", "DdeInitializeA", true, true, true},
    {"user32.dll", "DdeUninitialize", true, true, true},
    {"user32.dll", "DefWindowProcA", true, true, true},
    {"user32.dll", "DestroyIcon", true, true, true},
    {"user32.dll", "DestroyWindow", true, true, true},
    {"user32.dll", "DialogBoxParamA", true, true, true},
    {"user32.dll", "DispatchMessageA", true, true, true},
    {"user32.dll", "DrawIcon", true, true, true},
    {"user32.dll", "EnableWindow", true, true, true},
    {"user32.dll", "EndDialog", true, true, true},
    {"user32.dll", "EndPaint", true, true, true},
    {"user32.dll", "FillRect", true, true, true},
    {"user32.dll", "FrameRect", true, true, true},
    {"user32.dll", "GetDC", true, true, true},
    {"user32.dll", "GetDesktopWindow", true, true, true},
    {"user32.dll", "GetDlgItem", true, true, true},
    {"user32.dll", "GetDlgItemTextA", true, true, true},
    {"user32.dll", "GetMessageA", true, true, true},
    {"user32.dll", "GetWindowRect", true, true, true},
    {"user32.dll", "InvalidateRect", true, true, true},
    {"user32.dll", "IsDlgButtonChecked", true, true, true},
    {"user32.dll", "IsWindowVisible", true, true, true},
    {"user32.dll", "KillTimer", true, true, true},
    {"user32.dll", "LoadCursorA", true, true, true},
    {"user32.dll", "LoadIconA", true, true, true},
    {"user32.dll", "MapWindowPoints", true, true, true},
    {"user32.dll", "MessageBoxA", true, true, true},
    {"user32.dll", "PostMessageA", true, true, true},
    {"user32.dll", "PostQuitMessage", true, true, true},
    {"user32.dll", "RegisterClassA", true, true, true},
    {"user32.dll", "ReleaseDC", true, true, true},
    {"user32.dll", "ScreenToClient", true, true, true},
    {"user32.dll", "SendDlgItemMessageA", true, true, true},
    {"user32.dll", "SendMessageA", true, true, true},
    {"user32.dll", "SetDlgItemTextA", true, true, true},
    {"user32.dll", "SetFocus", true, true, true},
    {"user32.dll", "SetTimer", true, true, true},
    {"user32.dll", "SetWindowPos", true, true, true},
    {"user32.dll", "SetWindowTextA", true, true, true},
    {"user32.dll", "ShowWindow", true, true, true},
    {"user32.dll", "TranslateMessage", true, true, true},
    {"user32.dll", "UnregisterClassA", true, true, true},
    {"user32.dll", "UpdateWindow", true, true, true},
};

TEST_F(ShippedProgram, ImportsOnlyWhatNt31Win32sAndWindows95AllHave)
{
    const std::set<std::string> systemDlls = {"kernel32.dll", "user32.dll", "gdi32.dll", "comdlg32.dll"};
    auto imports = i686.Imports();
    ASSERT_FALSE(imports.empty());
    for (const auto &d : imports) {
        SCOPED_TRACE(d.first);
        EXPECT_TRUE(systemDlls.count(d.first)) << d.first << " is not a DLL every Windows it is made for has";
        for (const std::string &f : d.second) {
            const Availability *row = nullptr;
            for (const Availability &a : kAvailability)
                if (d.first == a.dll && f == a.function)
                    row = &a;
            if (row == nullptr) {
                ADD_FAILURE() << f << ": not in the availability table; look up where it first shipped";
                continue;
            }
            EXPECT_TRUE(row->nt31) << f << " is missing on Windows NT 3.1";
            EXPECT_TRUE(row->win32s) << f << " is missing under Win32s";
            EXPECT_TRUE(row->win95) << f << " is missing on Windows 95";
        }
    }
}

// NT 3.1 refuses a program that asks for a later subsystem version; Win32s moves
// every program it loads, which needs its base relocations. Each block of the table
// must cover whole 32-bit addresses inside the program.
TEST_F(ShippedProgram, StartsOnNt31AndCanBeMovedByWin32s)
{
    EXPECT_EQ(3, i686.subsystemVersion[0]);
    EXPECT_EQ(10, i686.subsystemVersion[1]);
    EXPECT_EQ(3, i686.osVersion[0]);
    EXPECT_EQ(10, i686.osVersion[1]);
    EXPECT_EQ(0, i686.characteristics & 0x0001) << "IMAGE_FILE_RELOCS_STRIPPED";
    uint32_t rva = 0, size = 0;
    ASSERT_TRUE(i686.Directory(5, rva, size)) << "no base relocation directory";
    size_t at = i686.Offset(rva);
    ASSERT_NE(at, SIZE_MAX);
    ASSERT_TRUE(i686.In(at, size));
    uint32_t imageEnd = 0;
    for (const PeSection &s : i686.sections)
        imageEnd = std::max(imageEnd, s.virtualAddress + s.virtualSize);
    size_t addresses = 0;
    for (size_t block = at; block < at + size;) {
        ASSERT_TRUE(i686.In(block, 8));
        uint32_t page = ReadLe32(&i686.bytes[block]), blockSize = ReadLe32(&i686.bytes[block + 4]);
        ASSERT_GE(blockSize, 8u);
        ASSERT_LE(block + blockSize, at + size);
        for (size_t e = block + 8; e + 2 <= block + blockSize; e += 2) {
            uint16_t entry = ReadLe16(&i686.bytes[e]);
            int type = entry >> 12;
            if (type == 0)  // padding to a 4-byte block
                continue;
            EXPECT_EQ(3, type) << "IMAGE_REL_BASED_HIGHLOW at page " << page;
            EXPECT_LE(page + (entry & 0xFFF) + 4, imageEnd);
            ++addresses;
        }
        block += blockSize;
    }
    EXPECT_GT(addresses, 100u) << "every address of a string or record in the code needs one";
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
    EXPECT_EQ(ReadLe32(&f[slot]), 0x02E14A11u);  // the shipped payload's checksum, until packed
}

}  // namespace
