// Figures for the scan's speed and memory: the infection test on small and large files, and a
// whole walk over a generated tree. Prints medians of several runs; asserts nothing.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "detect/infection.h"
#include "samples.h"
#include "scan/tree_walk.h"
#include "temp_tree.h"

namespace {

template <typename Work>
double MedianMs(int runs, Work work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

long PeakKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main()
{
    const Bytes sample = ReadBytes(SamplePath("sample32.exe"));
    if (sample.empty()) {
        std::fprintf(stderr, "set QF_SAMPLES to the build's samples folder\n");
        return 1;
    }
    TempTree tree;
    tree.File("small.exe", Infected(sample, MarkerForm::Form10));
    Bytes large = Infected(sample, MarkerForm::Form10);
    large.resize(256u << 20, 0x5A);  // 256 MiB: the test must cost what a small file costs
    tree.File("large.exe", large);
    large.clear();
    large.shrink_to_fit();

    const std::string small = tree.Path("small.exe"), big = tree.Path("large.exe");
    const long before = PeakKb();
    const double smallMs = MedianMs(201, [&] { IsInfectedExecutable(small.c_str()); });
    const double bigMs = MedianMs(201, [&] { IsInfectedExecutable(big.c_str()); });
    std::printf("infection test, %zu KiB file: median %.3f ms\n", sample.size() / 1024, smallMs);
    std::printf("infection test, 256 MiB file: median %.3f ms (ratio to small %.2f)\n", bigMs, bigMs / smallMs);
    std::printf("peak memory growth during the tests: %ld KiB\n", PeakKb() - before);

    // A tree of 2,000 folders with 10 files each, a tenth of them infected programs.
    TempTree walkTree;
    for (int d = 0; d < 200; ++d) {
        const std::string top = "t" + std::to_string(d);
        walkTree.Dir(top);
        for (int s = 0; s < 10; ++s) {
            const std::string dir = top + "/s" + std::to_string(s);
            walkTree.Dir(dir);
            for (int f = 0; f < 10; ++f) {
                if (f == 0)
                    walkTree.File(dir + "/p.exe", Infected(sample, MarkerForm::Form00));
                else
                    walkTree.Text(dir + "/f" + std::to_string(f) + ".txt", "text");
            }
        }
    }
    ScanCounts counts{};
    const double walkMs = MedianMs(5, [&] {
        char text[kPathCapacity];
        std::strcpy(text, walkTree.Root().c_str());
        TreeWalk walk;
        if (!WalkBegin(&walk, text, text, false, nullptr))
            return;
        while (WalkNext(&walk) == WalkStep::Entry) {
        }
        counts = walk.counts;
        WalkEnd(&walk);
    });
    std::printf("walk of %d folders, %d files (%d infected): median %.1f ms, %.2f us per file\n",
                counts.directories, counts.files, counts.infected, walkMs, walkMs * 1000.0 / counts.files);
    return 0;
}
