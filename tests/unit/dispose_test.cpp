// The POSIX layer's own checks: the one disposal procedure, and a folder's identity between
// listing and entry (what is swapped in between test and disposal is raced for real in the
// console scanner's tests).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
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

// A folder is entered from its parent only while its name still names the folder that the
// parent's listing showed: not another one renamed into its place, nor a link.
TEST(Layer, AFolderRenamedOverBetweenListingAndEntryIsNotEntered)
{
    TempTree tree;
    tree.Dir("sub");
    tree.Dir("other");
    FsDir root;
    FsFileId rootId, expected{};
    ASSERT_TRUE(FsOpenDirectory(tree.Root().c_str(), &root, &rootId));
    FsListing listing;
    FsEntry entry;
    bool found = false;
    if (FsListFirst(root, &listing, &entry) == FsListStart::Listed) {
        do
            found |= std::strcmp(entry.name, "sub") == 0 && FsEntryId(root, entry, &expected);
        while (FsListNext(listing, &entry));
        FsListClose(listing);
    }
    ASSERT_TRUE(found);

    const std::string sub = tree.Path("sub");
    FsDir dir;
    FsFileId id;
    ASSERT_TRUE(FsOpenSubdirectory(root, "sub", expected, sub.c_str(), &dir, &id)) << "still the folder listed";
    FsCloseDirectory(dir);
    ASSERT_EQ(std::rename(sub.c_str(), tree.Path("away").c_str()), 0);
    ASSERT_EQ(std::rename(tree.Path("other").c_str(), sub.c_str()), 0);
    EXPECT_FALSE(FsOpenSubdirectory(root, "sub", expected, sub.c_str(), &dir, &id));
    EXPECT_EQ(FsLastError(), FsChangedError());
    ASSERT_EQ(std::rename(sub.c_str(), tree.Path("other").c_str()), 0);
    ASSERT_EQ(symlink(tree.Path("away").c_str(), sub.c_str()), 0);
    EXPECT_FALSE(FsOpenSubdirectory(root, "sub", expected, sub.c_str(), &dir, &id)) << "a link to it is no way in";
    FsCloseDirectory(root);
}

}  // namespace
