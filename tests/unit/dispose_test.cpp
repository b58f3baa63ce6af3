// The one disposal procedure over the POSIX layer: it acts on the file the test read, or on
// nothing, whatever is put in its place between the test and the disposal.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "fs/file_system.h"
#include "samples.h"
#include "temp_tree.h"

namespace {

enum class Swap { None, LinkOutside, CleanFile };

// Opens tree/sick.exe as the walk does, swaps its name as a hostile owner would, and disposes.
TEST(Dispose, ActsOnlyOnTheTestedFile)
{
    const struct {
        Swap swap;
        bool move;
        FsOutcome outcome;
    } cases[] = {
        {Swap::None, false, FsOutcome::Deleted},         {Swap::None, true, FsOutcome::Moved},
        {Swap::LinkOutside, false, FsOutcome::NotDone},  {Swap::LinkOutside, true, FsOutcome::NotDone},
        {Swap::CleanFile, false, FsOutcome::NotDone},    {Swap::CleanFile, true, FsOutcome::NotDone},
    };
    for (const auto& c : cases) {
        TempTree tree, outside, quarantine;
        tree.Text("sick.exe", "tested");
        outside.Text("secret", "root's own");
        chmod(tree.Path("sick.exe").c_str(), 0444);
        chmod(outside.Path("secret").c_str(), 0600);
        FsDir dir;
        FsFileId id;
        ASSERT_TRUE(FsOpenDirectory(tree.Root().c_str(), nullptr, &dir, &id));
        FsEntry entry{};
        std::snprintf(entry.name, sizeof entry.name, "sick.exe");
        FsFile file;
        ASSERT_TRUE(FsOpenChild(dir, entry, &file));
        const std::string name = tree.Path("sick.exe");
        if (c.swap != Swap::None)
            ASSERT_EQ(rename(name.c_str(), tree.Path("moved-away").c_str()), 0);
        if (c.swap == Swap::LinkOutside)
            ASSERT_EQ(symlink(outside.Path("secret").c_str(), name.c_str()), 0);
        if (c.swap == Swap::CleanFile)
            tree.Text("sick.exe", "clean");
        char target[kFsPathCapacity] = "";
        const FsDisposal done = FsDispose(&file, c.move ? quarantine.Root().c_str() : nullptr, false, target, sizeof target);
        FsCloseDirectory(dir);

        SCOPED_TRACE(static_cast<int>(c.swap) * 2 + c.move);
        EXPECT_EQ(done.outcome, c.outcome);
        struct stat secret;
        ASSERT_EQ(stat(outside.Path("secret").c_str(), &secret), 0);
        EXPECT_EQ(secret.st_mode & 07777, 0600u) << "a file outside the tree changed";
        EXPECT_EQ(tree.Exists("sick.exe"), c.swap != Swap::None) << "what was put in its place stays";
        if (c.outcome == FsOutcome::Moved)
            EXPECT_EQ(std::string(target), quarantine.Path("sick.exe"));
        if (c.outcome == FsOutcome::NotDone)
            EXPECT_EQ(done.error, FsChangedError());
    }
}

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
