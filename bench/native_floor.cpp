// The native floor of a scan: walk a tree and read the first 4 KB of every file, nothing else.
//   qf_native_floor [--random] ROOT
// Prints one line of key=value figures.
#include "bench_walk.h"

int main(int argc, char** argv)
{
    const std::string root = RootArgument(argc, argv);

    static char buffer[4096];
    const long long before = ReadChars();
    const auto start = std::chrono::steady_clock::now();
    const WalkCounts counts = WalkTree(root, [](int fd) {
        if (pread(fd, buffer, sizeof buffer, 0) < 0)
            std::perror("pread");
    });
    const double ms = MsSince(start);
    const long long bytes = ReadChars() - before;
    std::printf("ms=%.1f files=%ld folders=%ld bytes_read=%lld peak_rss_kb=%ld\n", ms, counts.files,
                counts.folders, bytes, PeakRssKb());
    return 0;
}
