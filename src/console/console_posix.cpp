// The console scanner's platform needs on POSIX.
#include "console/console_platform.h"

#include "cleanup/cleanup_rules.h"
#include "console/report.h"
#include "rescue/repair_linux.h"
#include "scan/file_batch.h"
#include "scan/tree_walk.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

std::atomic<int>* interruptFlag;

void OnInterrupt(int)
{
    interruptFlag->store(1);
}

}  // namespace

void ConsoleStart(int*, char***)
{
    // A closed standard output or error stays unwritable: otherwise the next file opened would take
    // its number, and the report would be written into it.
    for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) != fd)
            _exit(2);
    // Room for every descriptor the walks may hold (tree_walk.h), and for the folders of a batch in
    // the disk's order as far as the hard limit allows. The table is grown while one thread runs:
    // once threads share it, each time it grows the kernel waits for an RCU grace period, some ten
    // milliseconds, four times on the way to a thousand.
    constexpr rlim_t kWanted = kWalkHandles + kBatchFolders;
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < kWanted && limit.rlim_max > limit.rlim_cur) {
        limit.rlim_cur = std::min(kWanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur > 3) {
        const int high = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, static_cast<int>(std::min(limit.rlim_cur, kWanted) - 1));
        if (high >= 0)
            close(high);
    }
}

bool StderrIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

uint64_t MonotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

bool ConsoleWrite(FILE* stream, const std::string& text)
{
    // File names here are already the bytes the user sees.
    return std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0;
}

void CatchInterrupt(std::atomic<int>* interrupt)
{
    interruptFlag = interrupt;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESTART;  // a write must not fail for a signal, only for its stream
    // A broken pipe also fails the write with EPIPE, which breaks the report.
    for (int signal : {SIGHUP, SIGINT, SIGTERM, SIGPIPE})
        sigaction(signal, &action, nullptr);
}

bool FolderChain(const std::string& folder, std::vector<FolderId>* chain)
{
    chain->clear();
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    // Up through "..", which the kernel resolves from the folder itself, not from its name.
    for (struct stat info; fd >= 0 && fstat(fd, &info) == 0;) {
        const FolderId id{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
        if (!chain->empty() && chain->back() == id)
            break;
        chain->push_back(id);
        const int parent = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(fd);
        fd = parent;
    }
    if (fd >= 0)
        close(fd);
    return !chain->empty();
}

bool ResolveFile(std::string* path)
{
    char* real = realpath(path->c_str(), nullptr);
    if (real == nullptr)
        return false;
    *path = real;
    std::free(real);
    return true;
}

int RunSystemCleanup(const std::string&, Report*)
{
    return -1;  // nothing of a Windows system runs here; the offline repair does that job
}

bool RunningAsAdministrator()
{
    return geteuid() == 0;
}

bool OfflineSupported()
{
    return true;
}

bool OfflineRepair(const OfflineRequest& request, Report* report)
{
    RescueResult result;
    std::string error;
    const bool dry = !PolicyChanges(request.policy);
    if (!RepairOfflineSystem({request.root, request.policy, request.windows}, &result, &error)) {
        ReportError(report, error);
        return false;
    }
    ReportNote(report, "system: " + result.system);
    for (const auto& skipped : result.skipped)
        ReportSkipped(report, skipped.first, skipped.second);
    for (const RescueChange& change : result.changes)
        ReportChange(report, change.place, change.change, change.done, change.error, dry);
    ReportVerdictText(report, OfflineFound(result), false, OfflineVerdict(DecideOfflineOutcome(result, dry)));
    return true;
}
