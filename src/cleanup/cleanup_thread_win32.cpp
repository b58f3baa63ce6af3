// The start-up cleanup pass: three rounds of sweep, repair and removal, then one verdict.
#include <windows.h>

#include "context/scan_context.h"
#include "cleanup/cleanup.h"
#include "cleanup/cleanup_rules.h"

namespace {

const int kCleanupRounds = 3;

}  // namespace

int RunCleanupPass()
{
    int outcome = 0;
    for (int round = 0; round < kCleanupRounds; ++round) {
        outcome |= SweepProcesses();
        outcome |= RepairAutorun();
        outcome |= DeleteDroppedFiles();
    }
    return outcome;
}

DWORD WINAPI CleanupThread(LPVOID parameter)
{
    const auto* context = static_cast<const ScanContext*>(parameter);
    const int outcome = RunCleanupPass();
    SendMessageA(context->statusWindow, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(CleanupVerdict(outcome)));
    return 0;
}
