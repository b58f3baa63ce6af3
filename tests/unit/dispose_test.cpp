// The one disposal procedure over the POSIX layer (what is swapped in between test and disposal
// is raced for real in the console scanner's tests).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fs/file_system.h"
#include "samples.h"
#include "temp_tree.h"

namespace {

// A delete that fails leaves the file as it was: the write permission lifted for it goes back.
TEST(Dispose, FailedDeleteRestoresTheMode)
{
    TempTree tree;
    tree.Dir("shut");
    tree.Text("shut/sick.exe", "tested");
    chmod(tree.Path("shut/sick.exe").c_str(), 0444);
    chmod(tree.Path("shut").c_str(), 0555);
    if (access(tree.Path("shut").c_str(), W_OK) == 0)
        GTEST_SKIP() << "permissions do not bind this user; run through tools/run-native-tests.sh";
    FsFile file;
    const std::string path = tree.Path("shut/sick.exe");
    ASSERT_TRUE(FsOpenFile(path.c_str(), &file));
    EXPECT_EQ(FsDispose(&file, nullptr, false, nullptr, 0).outcome, FsOutcome::NotDone);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0444u);
    chmod(tree.Path("shut").c_str(), 0755);
}

}  // namespace
