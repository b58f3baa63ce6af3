// The console scanner's platform needs on POSIX.
#include "console/console_platform.h"

#include "cleanup/cleanup_rules.h"
#include "console/report.h"
#include "rescue/repair.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

namespace {

std::atomic<int>* interruptFlag;

void OnInterrupt(int)
{
    interruptFlag->store(1);
}

}  // namespace

void ConsoleStart()
{
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

std::string ConsoleTextToUtf8(const std::string& text)
{
    return text;  // file names here are already the bytes the user sees
}

void CatchInterrupt(std::atomic<int>* interrupt)
{
    interruptFlag = interrupt;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int RunSystemCleanup()
{
    return -1;  // nothing of a Windows system runs here; the offline repair does that job
}

bool OfflineSupported()
{
    return true;
}

bool OfflineRepair(const OfflineRequest& request, Report* report)
{
    RescueResult result;
    std::string error;
    // Only --delete or --move change the system; without them, as with --dry-run, it is planned.
    const bool dry = request.dryRun || (!request.deleteInfected && request.moveDir.empty());
    if (!RepairOfflineSystem({request.root, request.moveDir, dry}, &result, &error)) {
        ReportError(report, error);
        return false;
    }
    ReportNote(report, "system: " + result.system);
    for (const auto& skipped : result.skipped)
        ReportSkipped(report, skipped.first, skipped.second);
    bool allDone = true;
    for (const RescueChange& change : result.changes) {
        ReportChange(report, change.place, change.change, change.done, dry);
        allDone &= change.done;
    }
    const OfflineOutcome outcome = result.outcome == 0 && result.changes.empty() ? OfflineOutcome::Clean
                                   : !allDone || !result.skipped.empty()       ? OfflineOutcome::Incomplete
                                   : dry                                       ? OfflineOutcome::Unchanged
                                                                               : OfflineOutcome::Disabled;
    ReportVerdictText(report, outcome != OfflineOutcome::Clean, OfflineVerdict(outcome));
    return true;
}
