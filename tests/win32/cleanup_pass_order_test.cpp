// The cleanup pass's order of calls and how it joins their results, with recording stand-ins
// linked in place of the three operations.
#include <gtest/gtest.h>

#include <string>

#include "cleanup/cleanup.h"

namespace {

std::string calls;  // one letter per call: S sweep, R repair, D dropped files
int finder;         // the call (0..8) that finds something, -1 for none

int Answer(char letter)
{
    calls.push_back(letter);
    return static_cast<int>(calls.size()) - 1 == finder ? 1 : 0;
}

}  // namespace

int SweepProcesses() { return Answer('S'); }
int RepairAutorun() { return Answer('R'); }
int DeleteDroppedFiles() { return Answer('D'); }

namespace {

TEST(CleanupPass, NineCallsInOrderAndAnyFindingCounts)
{
    for (finder = -1; finder < 9; ++finder) {
        calls.clear();
        EXPECT_EQ(RunCleanupPass(), finder >= 0 ? 1 : 0) << finder;
        EXPECT_EQ(calls, "SRDSRDSRD");
    }
}

}  // namespace
