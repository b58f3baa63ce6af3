// CleanupThread with the real operations: the verdict a user sees for a clean system, for a worm
// process only and for a dropped file only.
#include <gtest/gtest.h>
#include <windows.h>

#include "cleanup/cleanup_rules.h"
#include "cleanup_helpers.h"
#include "samples.h"
#include "temp_tree.h"

namespace {

class CleanupPass : public testing::Test {
protected:
    void SetUp() override
    {
        status_ = CreateStatusProbe();
        ASSERT_NE(status_, nullptr);
    }
    void TearDown() override { DestroyStatusProbe(status_); }

    // Runs the pass; the one text it sent, or a note of how many it sent.
    std::string Verdict()
    {
        EXPECT_EQ(RunCleanupPass(status_), 0u);
        if (StatusTexts().size() != 1)
            return std::to_string(StatusTexts().size()) + " texts sent";
        return StatusTexts()[0];
    }

    HWND status_ = nullptr;
};

TEST_F(CleanupPass, CleanSystem)
{
    EXPECT_EQ(Verdict(), CleanupVerdict(0));
}

TEST_F(CleanupPass, WormProcessOnly)
{
    TempTree tree;
    ASSERT_TRUE(CopyTo(ThisProgram(), tree.Path("Services.exe")));
    Helper worm;
    ASSERT_TRUE(StartHelper(tree.Path("Services.exe"), "wait", &worm));
    EXPECT_EQ(Verdict(), CleanupVerdict(1));
    EXPECT_EQ(WaitForExit(worm, 60000), static_cast<DWORD>(STILL_ACTIVE));
    StopHelper(&worm);
}

TEST_F(CleanupPass, DroppedFileOnly)
{
    char windows[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryA(windows, sizeof windows), 3u);
    const std::string library = std::string(windows, 3) + "msvbvm60.dll";
    ASSERT_TRUE(WriteBytes(library, Bytes{'M', 'Z'}));
    EXPECT_EQ(Verdict(), CleanupVerdict(1));
    EXPECT_EQ(GetFileAttributesA(library.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
