// CleanupThread's order of calls and its choice of verdict, with recording stand-ins linked in
// place of the three operations.
#include <gtest/gtest.h>

#include "cleanup/cleanup.h"
#include "cleanup/cleanup_rules.h"
#include "cleanup_helpers.h"

namespace {

std::string calls;  // one letter per call: S sweep, R repair, D dropped files
int finder;         // the call (0..8) that finds something, -1 for none

int Answer(char letter)
{
    calls.push_back(letter);
    return static_cast<int>(calls.size()) - 1 == finder ? finder + 1 : 0;  // any non-zero answer counts
}

}  // namespace

int SweepProcesses() { return Answer('S'); }
int RepairAutorun() { return Answer('R'); }
int DeleteDroppedFiles() { return Answer('D'); }

namespace {

TEST(CleanupPassOrder, NineCallsInOrderAndAnyFindingChoosesTheFoundVerdict)
{
    for (finder = -1; finder < 9; ++finder) {
        SCOPED_TRACE(finder);
        calls.clear();
        EXPECT_EQ(RecordCleanupPass(), std::vector<std::string>{CleanupVerdict(finder >= 0)});
        EXPECT_EQ(calls, "SRDSRDSRD");
    }
}

}  // namespace
