// The walk over real directory trees through the POSIX file-system layer: order, counting,
// child paths, deletion, failures, links, queue growth and stopping.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "scan/tree_walk.h"
#include "samples.h"
#include "temp_tree.h"

namespace {

struct WalkResult {
    WalkStep end;
    ScanCounts counts;
    std::vector<std::string> queued;  // every queue entry, in order
    std::vector<std::string> texts;   // the progress text after each entry
    std::string failedEntry;
};

// The Windows-syntax form of a POSIX path, as the layer reports directories.
std::string Win(std::string path)
{
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

WalkResult Walk(const std::string& root, bool deleteInfected, size_t capacity = kDefaultQueueCapacity,
                std::atomic<int>* stop = nullptr, int stopAfter = -1)
{
    char text[kPathCapacity];
    std::strcpy(text, root.c_str());
    TreeWalk walk;
    WalkResult result{};
    if (!WalkBegin(&walk, text, text, deleteInfected, stop, capacity)) {
        result.end = WalkStep::OutOfMemory;
        return result;
    }
    while ((result.end = WalkNext(&walk)) == WalkStep::Entry) {
        result.texts.push_back(text);
        if (stop != nullptr && static_cast<int>(result.texts.size()) == stopAfter)
            stop->store(1);
    }
    result.counts = walk.counts;
    result.failedEntry = WalkCurrentEntry(&walk);
    for (size_t at = 0; at < walk.queue.writeOffset; at += std::strlen(walk.queue.data + at) + 1)
        result.queued.push_back(walk.queue.data + at);
    WalkEnd(&walk);
    return result;
}

const Bytes& Clean()
{
    static const Bytes bytes = ReadBytes(SamplePath("sample32.exe"));
    return bytes;
}

TEST(Walk, BreadthFirstWithFullChildPaths)
{
    TempTree tree;
    for (const char* dir : {"a", "b", "a/a1", "a/a1/a2", "b/b1"})
        tree.Dir(dir);

    const WalkResult result = Walk(tree.Root(), false);
    ASSERT_EQ(result.queued.size(), 6u);
    EXPECT_EQ(result.queued[0], tree.Root());  // the root as given
    const std::string root = Win(tree.Root());
    const std::vector<std::string> depth1(result.queued.begin() + 1, result.queued.begin() + 3);
    EXPECT_TRUE((depth1 == std::vector<std::string>{root + "\\a", root + "\\b"}) ||
                (depth1 == std::vector<std::string>{root + "\\b", root + "\\a"}));
    const std::vector<std::string> depth2(result.queued.begin() + 3, result.queued.begin() + 5);
    EXPECT_TRUE((depth2 == std::vector<std::string>{root + "\\a\\a1", root + "\\b\\b1"}) ||
                (depth2 == std::vector<std::string>{root + "\\b\\b1", root + "\\a\\a1"}));
    EXPECT_EQ(result.queued[5], root + "\\a\\a1\\a2");
    EXPECT_EQ(result.counts.directories, 5);
}

// The progress text: unchanged by non-executables, directory line for other executables,
// directory and file for 32-bit programs; the root as typed until the first executable.
TEST(Walk, ProgressTexts)
{
    TempTree tree;
    tree.Text("a.txt", "text");
    const WalkResult textOnly = Walk(tree.Root(), false);
    ASSERT_FALSE(textOnly.texts.empty());
    for (const std::string& text : textOnly.texts)
        EXPECT_EQ(text, tree.Root());

    TempTree programs;
    programs.File("p64.exe", ReadBytes(SamplePath("sample64.exe")));
    const WalkResult other = Walk(programs.Root(), false);
    EXPECT_EQ(other.texts.back(), "STATUS: Scanning\nDirectory: " + programs.Root());

    programs.File("p32.exe", Clean());
    std::remove(programs.Path("p64.exe").c_str());
    const WalkResult win32 = Walk(programs.Root(), false);
    EXPECT_EQ(win32.texts.back(), "STATUS: Scanning\nDirectory: " + programs.Root() + "\nFile: p32.exe");
}

// Only the root ends the scan when it cannot be listed; an unreadable folder below it is passed
// over and the rest of the tree is still walked.
TEST(Walk, UnlistableFolders)
{
    TempTree tree;
    tree.Dir("secret");
    tree.Dir("open");
    tree.File("open/infected.exe", Infected(Clean(), MarkerForm::Form10));
    tree.File("secret/hidden.exe", Infected(Clean(), MarkerForm::Form10));
    chmod(tree.Path("secret").c_str(), 0111);  // can be entered, not listed
    if (access(tree.Path("secret").c_str(), R_OK) == 0)
        GTEST_SKIP() << "permissions do not bind this user; run through tools/run-native-tests.sh";

    const WalkResult below = Walk(tree.Root(), false);
    EXPECT_EQ(below.end, WalkStep::Finished);
    EXPECT_EQ(below.counts.directories, 2);
    EXPECT_EQ(below.counts.infected, 1);

    const WalkResult root = Walk(tree.Path("secret"), false);
    EXPECT_EQ(root.end, WalkStep::RootUnlisted);
    EXPECT_EQ(root.failedEntry, tree.Path("secret"));
}

// Links to directories are neither queued nor counted, so a loop cannot make the walk endless.
TEST(Walk, DirectoryLinksAreNotFollowed)
{
    TempTree tree;
    tree.Dir("real");
    tree.File("real/infected.exe", Infected(Clean(), MarkerForm::Form10));
    ASSERT_EQ(symlink(tree.Path("real").c_str(), tree.Path("real/loop").c_str()), 0);
    ASSERT_EQ(symlink(tree.Path("real").c_str(), tree.Path("again").c_str()), 0);
    ASSERT_EQ(symlink(tree.Path("nowhere").c_str(), tree.Path("dangling").c_str()), 0);

    const WalkResult result = Walk(tree.Root(), false);
    EXPECT_EQ(result.end, WalkStep::Finished);
    EXPECT_EQ(result.counts.directories, 1);
    EXPECT_EQ(result.counts.files, 1);
    EXPECT_EQ(result.counts.infected, 1);
}

// The queue grows past its first block: a tiny initial capacity still walks every directory.
TEST(Walk, QueueGrows)
{
    TempTree tree;
    for (int i = 0; i < 40; ++i) {
        tree.Dir("d" + std::to_string(i));
        tree.Dir("d" + std::to_string(i) + "/inner");
    }
    tree.File("d39/inner/infected.exe", Infected(Clean(), MarkerForm::Form00));
    const WalkResult result = Walk(tree.Root(), false, 16);
    EXPECT_EQ(result.end, WalkStep::Finished);
    EXPECT_EQ(result.counts.directories, 80);
    EXPECT_EQ(result.counts.infected, 1);
}

// A child whose path would not fit 259 characters is not queued (nor counted); nothing overflows.
TEST(Walk, OverlongChildPathsAreNotQueued)
{
    TempTree tree;
    std::string relative;
    const std::string part(40, 'p');
    while (Win(tree.Root()).size() + relative.size() + part.size() + 2 < 259) {
        relative += (relative.empty() ? "" : "/") + part;
        tree.Dir(relative);
    }
    tree.Dir(relative + "/" + part);  // its path is longer than 259 characters
    const WalkResult result = Walk(tree.Root(), false);
    EXPECT_EQ(result.end, WalkStep::Finished);
    EXPECT_EQ(static_cast<size_t>(result.counts.directories), relative.size() / (part.size() + 1) + 1);
    for (const std::string& queued : result.queued)
        EXPECT_LE(queued.size(), 259u);
}

TEST(Walk, StopEndsTheWalkBeforeAnyFurtherDeletion)
{
    TempTree tree;
    for (int i = 0; i < 10; ++i)
        tree.File("infected" + std::to_string(i) + ".exe", Infected(Clean(), MarkerForm::Form10));
    std::atomic<int> stop{0};
    const WalkResult result = Walk(tree.Root(), true, kDefaultQueueCapacity, &stop, 3);
    EXPECT_EQ(result.end, WalkStep::Stopped);
    EXPECT_LE(result.counts.deleted, 3);
    int left = 0;
    for (int i = 0; i < 10; ++i)
        left += tree.Exists("infected" + std::to_string(i) + ".exe");
    EXPECT_EQ(left, 10 - result.counts.deleted);

    std::atomic<int> already{1};
    const WalkResult none = Walk(tree.Root(), true, kDefaultQueueCapacity, &already);
    EXPECT_EQ(none.end, WalkStep::Stopped);
    EXPECT_TRUE(none.texts.empty());
}

}  // namespace
