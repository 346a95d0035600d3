// Times the payload scan: packs the stand-in installer scan_bench_stub.exe with a
// payload shaped like the product's into a 1 MB installer and runs it.
#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>

#include "format/payload.h"
#include "packer/files.h"
#include "packer/installer_writer.h"
#include "tests/wine/prefix.h"

int main()
{
    std::string stubPath = ModuleDirectory() + "scan_bench_stub.exe";
    std::string temp = TempDirectory();
    std::vector<uint8_t> stub;
    std::string error;
    if (!ReadFileBytes(stubPath, stub, error)) {
        fprintf(stderr, "scan_bench: %s\n", error.c_str());
        return 1;
    }
    // A payload shaped like the product's: one large program, help files, text and settings.
    const size_t sizes[kPayloadItemCount] = {1150000, 49152, 145818, 68237, 3990, 195256, 1029, 292, 2567, 23503, 782};
    std::vector<std::vector<uint8_t>> inputs;
    std::vector<std::string> names;
    uint32_t seed = 7;
    for (int i = 0; i < kPayloadItemCount; i++) {
        std::vector<uint8_t> b(sizes[i]);
        for (size_t k = 0; k < b.size(); k++) {
            seed = seed * 1103515245u + 12345u;
            b[k] = (k / 256) % 3 == 0 ? uint8_t(seed >> 24) : uint8_t("[options]\r\nnick=guest\r\n"[k % 24]);
        }
        inputs.push_back(b);
        names.push_back(PayloadItemName(i));
    }
    std::vector<uint8_t> installer;
    BuildReport report;
    if (!BuildInstaller(stub, inputs, names, installer, report, error)) {
        fprintf(stderr, "scan_bench: %s\n", error.c_str());
        return 1;
    }
    std::string exe = temp + "scan_bench_setup.exe";
    std::string destination = temp + "scan_bench_dest";
    if (!WriteFileReplacing(exe, installer, error)) {
        fprintf(stderr, "scan_bench: %s\n", error.c_str());
        return 1;
    }
    printf("installer: %u bytes (largest item %u bytes stored)\n", unsigned(installer.size()),
           unsigned(report.items[0].bytes.size()));
    fflush(stdout);
    std::string command = "\"" + exe + "\" \"" + destination + "\"";
    STARTUPINFOA si = {sizeof si};
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
        fprintf(stderr, "scan_bench: cannot run %s\n", exe.c_str());
        return 1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    for (int i = 0; i < kPayloadItemCount; i++)
        DeleteFileA((destination + "\\" + PayloadItemName(i)).c_str());
    RemoveDirectoryA(destination.c_str());
    DeleteFileA(exe.c_str());
    return int(code);
}
