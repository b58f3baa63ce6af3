// The console scanner's platform needs on POSIX.
#include "console/console_platform.h"

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
    return false;
}

bool OfflineRepair(const OfflineRequest&, Report*)
{
    return false;
}
