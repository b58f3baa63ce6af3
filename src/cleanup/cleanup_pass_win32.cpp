// The start-up cleanup pass: three rounds of sweep, repair and removal.
#include "cleanup/cleanup_win32.h"

namespace {

const int kCleanupRounds = 3;

}  // namespace

int RunCleanupPass(const char* moveFolder, CleanupChanges* changes)
{
    int outcome = 0;
    for (int round = 0; round < kCleanupRounds; ++round) {
        outcome |= SweepProcesses();
        outcome |= RepairAutorun(moveFolder, changes);
        outcome |= RemoveDroppedFiles(moveFolder, changes);
    }
    return outcome;
}

void NoteCleanupChange(CleanupChanges* changes, const std::string& place, const std::string& change, bool done,
                       const std::string& error)
{
    if (changes != nullptr)
        changes->push_back({place, change, done, done ? std::string() : error});
}
