// The POSIX layer's own checks: the one disposal procedure, and a folder's identity between
// listing and entry (what is swapped in between test and disposal is raced for real in the
// console scanner's tests).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "fs/file_system.h"
#include "samples.h"
#include "temp_tree.h"

// While set, removing a name the layer took for a delete fails, as on a volume that refuses it:
// this program's own unlinkat is taken before the C library's.
static bool refuseRemoval = false;
extern "C" int unlinkat(int folder, const char* name, int flags) noexcept
{
    if (refuseRemoval && std::strncmp(name, ".qfscan-", 8) == 0) {
        errno = EPERM;
        return -1;
    }
    return static_cast<int>(syscall(SYS_unlinkat, folder, name, flags));
}

namespace {

// A delete that fails leaves the file as it was: its name, and the write permission lifted for it
// (a mounted Windows volume refuses to delete a read-only file) put back.
TEST(Dispose, FailedDeleteRestoresTheMode)
{
    TempTree tree;
    tree.Text("sick.exe", "tested");
    const std::string path = tree.Path("sick.exe");
    chmod(path.c_str(), 0444);
    FsFile file;
    ASSERT_TRUE(FsOpenFile(path.c_str(), &file));
    refuseRemoval = true;
    const FsDisposal disposal = FsDispose(&file, nullptr, false, nullptr, 0);
    refuseRemoval = false;
    EXPECT_EQ(disposal.outcome, FsOutcome::NotDone);
    EXPECT_EQ(disposal.error, EPERM);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0) << "its name given back";
    EXPECT_EQ(info.st_mode & 07777, 0444u);
    // Nor is anything lifted for a name that cannot be taken (a folder that may not be written).
    chmod(tree.Root().c_str(), 0555);
    if (access(tree.Root().c_str(), W_OK) != 0 && FsOpenFile(path.c_str(), &file)) {
        EXPECT_EQ(FsDispose(&file, nullptr, false, nullptr, 0).outcome, FsOutcome::NotDone);
        EXPECT_TRUE(stat(path.c_str(), &info) == 0 && (info.st_mode & 07777) == 0444u) << "a folder that may not be written";
    }
    chmod(tree.Root().c_str(), 0755);
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
