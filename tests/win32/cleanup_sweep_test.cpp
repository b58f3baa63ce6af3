// SweepProcesses and TerminateProcessById against real helper processes in the throwaway prefix.
#include <gtest/gtest.h>
#include <windows.h>

#include "cleanup/cleanup.h"
#include "cleanup_helpers.h"
#include "temp_tree.h"

namespace {

const DWORD kEndTimeoutMs = 60000;

class ProcessSweep : public testing::Test {
protected:
    void TearDown() override
    {
        for (Helper& helper : helpers_)
            StopHelper(&helper);
    }

    // Starts a helper and keeps it for the tear-down.
    const Helper& Start(const std::string& program, const std::string& roleAndArgs)
    {
        Helper helper;
        EXPECT_TRUE(StartHelper(program, roleAndArgs, &helper)) << roleAndArgs << " from " << program;
        helpers_.push_back(helper);
        return helpers_.back();
    }

    std::vector<Helper> helpers_;
};

TEST_F(ProcessSweep, EndsTheWormsProcessesAndNothingElse)
{
    TempTree tree;
    for (const char* dir : {"named", "small", "lib", "LIB2", "other"})
        tree.Dir(dir);
    ASSERT_TRUE(CopyTo(ThisProgram(), tree.Path("named/Services.exe")));
    ASSERT_TRUE(CopyTo(ThisProgram(), tree.Path("small/services.exe")));
    ASSERT_TRUE(CopyTo(ProbeDllPath(), tree.Path("lib/msvbvm60.dll")));
    ASSERT_TRUE(CopyTo(ProbeDllPath(), tree.Path("LIB2/MSVBVM60.DLL")));
    ASSERT_TRUE(CopyTo(ProbeDllPath(), tree.Path("other/msvbvm60.dll.bak")));
    const DWORD platformServices = FindProcess("services.exe");
    ASSERT_NE(platformServices, 0u) << "Wine's service manager runs as services.exe";

    helpers_.reserve(6);
    const Helper& named = Start(tree.Path("named/Services.exe"), "wait");
    const Helper& small = Start(tree.Path("small/services.exe"), "wait");
    const Helper& library = Start("", "load " + tree.Path("lib/msvbvm60.dll"));
    const Helper& capitals = Start("", "load " + tree.Path("LIB2/MSVBVM60.DLL"));
    const Helper& backup = Start("", "load " + tree.Path("other/msvbvm60.dll.bak"));
    const Helper& clean = Start("", "wait");
    ASSERT_FALSE(HasFailure());

    EXPECT_EQ(SweepProcesses(), 1);

    EXPECT_EQ(WaitForExit(named, kEndTimeoutMs), static_cast<DWORD>(STILL_ACTIVE)) << "named Services.exe";
    EXPECT_EQ(WaitForExit(library, kEndTimeoutMs), static_cast<DWORD>(STILL_ACTIVE)) << "loaded msvbvm60.dll";
    EXPECT_EQ(WaitForExit(capitals, kEndTimeoutMs), static_cast<DWORD>(STILL_ACTIVE)) << "loaded MSVBVM60.DLL";
    EXPECT_TRUE(IsRunning(small)) << "services.exe in small letters is not the worm's name";
    EXPECT_TRUE(IsRunning(backup)) << "a library name followed by more text is no match";
    EXPECT_TRUE(IsRunning(clean));
    EXPECT_TRUE(ProcessStillActive(platformServices)) << "the platform's own service manager";

    EXPECT_EQ(SweepProcesses(), 0) << "nothing left to end";
    EXPECT_TRUE(IsRunning(small));
    EXPECT_TRUE(IsRunning(clean));
}

TEST_F(ProcessSweep, NothingToEndAnswersZero)
{
    const Helper& clean = Start("", "wait");
    EXPECT_EQ(SweepProcesses(), 0);
    EXPECT_TRUE(IsRunning(clean));
}

// A sweep run by a process that is itself named Services.exe and has loaded the library ends
// every other such process, but not itself: it lives to report 100 + its result.
TEST_F(ProcessSweep, NeverEndsItsOwnProcess)
{
    TempTree tree;
    tree.Dir("self");
    tree.Dir("other");
    ASSERT_TRUE(CopyTo(ThisProgram(), tree.Path("self/Services.exe")));
    ASSERT_TRUE(CopyTo(ThisProgram(), tree.Path("other/Services.exe")));
    ASSERT_TRUE(CopyTo(ProbeDllPath(), tree.Path("self/msvbvm60.dll")));

    helpers_.reserve(3);
    const Helper& other = Start(tree.Path("other/Services.exe"), "wait");
    const Helper& sweeper = Start(tree.Path("self/Services.exe"), "sweep " + tree.Path("self/msvbvm60.dll"));
    EXPECT_EQ(WaitForExit(sweeper, kEndTimeoutMs), 101u) << "the sweeper ended the other one and then itself returned";
    EXPECT_EQ(WaitForExit(other, kEndTimeoutMs), static_cast<DWORD>(STILL_ACTIVE));

    const Helper& alone = Start(tree.Path("self/Services.exe"), "sweep " + tree.Path("self/msvbvm60.dll"));
    EXPECT_EQ(WaitForExit(alone, kEndTimeoutMs), 100u) << "alone, it finds nothing: not even itself";

    EXPECT_EQ(TerminateProcessById(GetCurrentProcessId()), 0);
}

TEST_F(ProcessSweep, TerminationOfAProcessThatCannotBeOpenedAnswersZero)
{
    EXPECT_EQ(TerminateProcessById(0), 0);
    EXPECT_EQ(TerminateProcessById(0xFFFFFFF0u), 0);
}

}  // namespace
