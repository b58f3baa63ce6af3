// Runs a command and prints what it cost, as key=value figures for bench-lib.sh:
//   qf_measure [--drop ROOT] CMD...   ms= bytes_read= disk_bytes= peak_rss_kb= exit=
// bytes_read is the kernel's count of bytes the command read (rchar of /proc/PID/io, read while
// it is a zombie, before it is reaped), disk_bytes what the disk read for it, read-ahead
// included (read_bytes there). --drop first drops ROOT's files from the page cache.
#include <sys/resource.h>
#include <sys/wait.h>

#include "bench_walk.h"

int main(int argc, char** argv)
{
    int first = 1;
    if (argc > 3 && std::strcmp(argv[1], "--drop") == 0) {
        DropTreeCache(argv[2]);
        first = 3;
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: qf_measure [--drop ROOT] CMD...\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[first], argv + first);
        _exit(127);
    }
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT);
    const double ms = MsSince(start);
    long long bytes = -1, disk = -1;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/io", static_cast<int>(child));
    if (FILE* io = std::fopen(path, "r")) {
        char line[128];
        while (std::fgets(line, sizeof line, io))
            if (std::sscanf(line, "rchar: %lld", &bytes) != 1)
                std::sscanf(line, "read_bytes: %lld", &disk);
        std::fclose(io);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    std::printf("ms=%.1f bytes_read=%lld disk_bytes=%lld peak_rss_kb=%ld exit=%d\n", ms, bytes, disk, usage.ru_maxrss,
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}
