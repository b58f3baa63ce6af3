// CleanupThread's order of calls and its choice of verdict. This program links recording
// stand-ins for the three operations in place of the real ones, which would act on the system.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "cleanup/cleanup.h"
#include "cleanup/cleanup_rules.h"
#include "cleanup_helpers.h"

namespace {

std::string calls;   // one letter per call: S sweep, R repair, D dropped files
int answers[9];      // what the calls answer, in call order

int Answer(char letter)
{
    const size_t index = calls.size();
    calls.push_back(letter);
    return index < 9 ? answers[index] : 0;
}

}  // namespace

int SweepProcesses()
{
    return Answer('S');
}

int RepairAutorun()
{
    return Answer('R');
}

int DeleteDroppedFiles()
{
    return Answer('D');
}

namespace {

class CleanupPassOrder : public testing::Test {
protected:
    void SetUp() override
    {
        status_ = CreateStatusProbe();
        ASSERT_NE(status_, nullptr);
        calls.clear();
        for (int& answer : answers)
            answer = 0;
    }
    void TearDown() override { DestroyStatusProbe(status_); }

    HWND status_ = nullptr;
};

TEST_F(CleanupPassOrder, NineCallsInOrderThenTheCleanVerdict)
{
    EXPECT_EQ(RunCleanupPass(status_), 0u);
    EXPECT_EQ(calls, "SRDSRDSRD");
    ASSERT_EQ(StatusTexts().size(), 1u);
    EXPECT_EQ(StatusTexts()[0], "STATUS: idle\nNo Zaverin found in memory.");
}

// Whichever single call finds something, all nine still run and the verdict says so.
TEST_F(CleanupPassOrder, AnyOneFindingChoosesTheFoundVerdict)
{
    for (int finder = 0; finder < 9; ++finder) {
        SCOPED_TRACE(finder);
        calls.clear();
        for (int& answer : answers)
            answer = 0;
        answers[finder] = finder == 4 ? 2 : 1;
        EXPECT_EQ(RunCleanupPass(status_), 0u);
        EXPECT_EQ(calls, "SRDSRDSRD");
        ASSERT_EQ(StatusTexts().size(), 1u);
        EXPECT_EQ(StatusTexts()[0],
                  "STATUS: idle\nZaverin found in memory, and has been disabled.\nPlease proceed with scan.");
    }
}

}  // namespace
