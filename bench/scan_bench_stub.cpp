// The installer side of the scan benchmark: packed with a payload by scan_bench,
// it scans its own file step by step (without the 50 ms pauses) and prints the
// time of each step and of the whole scan.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/session.h"
#include "tests/wine/stand_in_window.h"

static double Seconds(LARGE_INTEGER t)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return double(t.QuadPart) / double(f.QuadPart);
}

static double ThreadCpuSeconds()
{
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    ULARGE_INTEGER k = {{kernel.dwLowDateTime, kernel.dwHighDateTime}};
    ULARGE_INTEGER u = {{user.dwLowDateTime, user.dwHighDateTime}};
    return double(k.QuadPart + u.QuadPart) / 1e7;
}

static int Scan(const char *destination)
{
    HWND window = CreateStandInWindow(0, 0, 300, 100, {10, 40, 210, 60});
    if (!BeginStandInRun(window, destination)) {
        fprintf(stderr, "scan_bench_stub: destination too long: %s\n", destination);
        return 2;
    }
    CreateDirectoryA(destination, NULL);

    std::vector<double> steps;
    std::vector<double> placingSteps;  // steps in which at least one item was expanded
    double largestItemStep = 0;
    LARGE_INTEGER start, end;
    double cpuStart = ThreadCpuSeconds();
    QueryPerformanceCounter(&start);
    if (OpenInstallerFile() != OPEN_DONE)
        return 1;
    int result;
    do {
        LARGE_INTEGER a, b;
        QueryPerformanceCounter(&a);
        int placedBefore = session.placedCount;
        result = ScanStep();
        QueryPerformanceCounter(&b);
        double ms = (Seconds(b) - Seconds(a)) * 1000.0;
        steps.push_back(ms);
        if (session.placedCount != placedBefore)
            placingSteps.push_back(ms);
        if (placedBefore == 0 && session.placedCount > 0)
            largestItemStep = ms;
    } while (result == STEP_MORE);
    QueryPerformanceCounter(&end);
    double cpu = ThreadCpuSeconds() - cpuStart;

    std::vector<double> sorted = steps;
    std::sort(sorted.begin(), sorted.end());
    size_t worstAt = std::max_element(steps.begin(), steps.end()) - steps.begin();
    printf("scan: result %d, %d items placed, %u steps of 7001 bytes\n", result, int(session.placedCount),
           unsigned(steps.size()));
    printf("step wall time: median %.3f ms, 90th percentile %.3f ms, worst %.3f ms (step %u)\n",
           sorted[sorted.size() / 2], sorted[sorted.size() * 9 / 10], sorted.back(), unsigned(worstAt));
    std::sort(placingSteps.begin(), placingSteps.end());
    if (!placingSteps.empty())
        printf(
            "steps that expand items: %u, median %.3f ms, worst %.3f ms; the one that expands the largest item %.3f ms\n",
            unsigned(placingSteps.size()), placingSteps[placingSteps.size() / 2], placingSteps.back(), largestItemStep);
    printf("whole scan: %.1f ms wall, %.1f ms CPU (without the 50 ms pauses between steps)\n",
           (Seconds(end) - Seconds(start)) * 1000.0, cpu * 1000.0);
    DestroyWindow(window);
    return result == STEP_DONE ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: scan_bench_stub DESTINATION (run by scan_bench after packing)\n");
        return 2;
    }
    return Scan(argv[1]);
}
