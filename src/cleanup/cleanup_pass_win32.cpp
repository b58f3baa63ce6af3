// The start-up cleanup pass: three rounds of sweep, repair and removal.
#include "cleanup/cleanup_win32.h"

namespace {

const int kCleanupRounds = 3;

}  // namespace

int RunCleanupPass(const char* moveFolder)
{
    int outcome = 0;
    for (int round = 0; round < kCleanupRounds; ++round) {
        outcome |= SweepProcesses();
        outcome |= RepairAutorun(moveFolder);
        outcome |= RemoveDroppedFiles(moveFolder);
    }
    return outcome;
}
