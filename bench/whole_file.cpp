// The obvious scan: walk a tree, read every file whole into memory and test the image there.
//   qf_whole_file ROOT
// Prints one line of key=value figures, the same as the native floor plus the infected count.
#include <vector>

#include "bench_walk.h"
#include "detect/pe_image.h"

int main(int argc, char** argv)
{
    const std::string root = RootArgument(argc, argv);

    long infected = 0;
    const long long before = ReadChars();
    const auto start = std::chrono::steady_clock::now();
    const WalkCounts counts = WalkTree(root, [&infected](int fd) {
        struct stat st;
        if (fstat(fd, &st) != 0)
            return;
        std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        if (pe::IsInfectedImage(bytes.data(), got))
            ++infected;
    });
    const double ms = MsSince(start);
    const long long bytes = ReadChars() - before;
    std::printf("ms=%.1f files=%ld folders=%ld infected=%ld bytes_read=%lld peak_rss_kb=%ld\n", ms,
                counts.files, counts.folders, infected, bytes, PeakRssKb());
    return 0;
}
