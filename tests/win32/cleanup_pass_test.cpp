// CleanupThread with the real operations: the verdict for a clean system, for a worm process only
// and for a dropped file only.
#include <gtest/gtest.h>
#include <windows.h>

#include "cleanup/cleanup_rules.h"
#include "cleanup_helpers.h"
#include "samples.h"
#include "temp_tree.h"

namespace {

using Texts = std::vector<std::string>;

TEST(CleanupPass, VerdictsForACleanSystemAWormProcessAndADroppedFile)
{
    EXPECT_EQ(RunCleanupPass(), Texts{CleanupVerdict(0)});

    TempTree tree;
    ASSERT_TRUE(CopyTo(ThisProgram(), tree.Path("Services.exe")));
    Helper worm(tree.Path("Services.exe"), "wait");
    ASSERT_TRUE(worm.ready());
    EXPECT_EQ(RunCleanupPass(), Texts{CleanupVerdict(1)});
    EXPECT_EQ(worm.ExitCode(), static_cast<DWORD>(STILL_ACTIVE));

    char windows[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryA(windows, sizeof windows), 3u);
    const std::string library = std::string(windows, 3) + "msvbvm60.dll";
    ASSERT_TRUE(WriteBytes(library, Bytes{'M', 'Z'}));
    EXPECT_EQ(RunCleanupPass(), Texts{CleanupVerdict(1)});
    EXPECT_EQ(GetFileAttributesA(library.c_str()), INVALID_FILE_ATTRIBUTES);
}

}  // namespace
