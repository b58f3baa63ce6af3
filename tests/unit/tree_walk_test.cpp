// The walk over real directory trees through the POSIX file-system layer, alone and as many walks
// on one frontier: order, counting, child paths, deletion, what it notes, failures, queue growth
// and stopping. (Paths past what Linux takes in one call: qfscan's own tests walk one.)
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "samples.h"
#include "scan/tree_walk.h"
#include "temp_tree.h"

namespace {

constexpr size_t kPathCapacity = 260;  // the window's text buffers

struct WalkResult {
    WalkStep end;
    ScanCounts counts;
    std::vector<std::string> entered;  // one walk: every folder that gave a step, in order
    std::vector<std::string> texts;   // the progress text after each entry
    std::vector<std::string> notes;   // "note path" for every step that noted something, sorted
};

// While it lives, no file's data is in memory and each file has a place on the disk, in another
// order than the listing's or the inode numbers': the disk's order is taken, not the listing's.
struct ColdDisk {
    explicit ColdDisk(bool cold) : cold(cold)
    {
        if (cold)
            setenv("QF_TEST_DISK", "cold", 1);
    }
    ~ColdDisk()
    {
        if (cold)
            unsetenv("QF_TEST_DISK");
    }
    bool cold;
};

const char* const kNoteNames[] = {"", "infected", "unreadable", "too-long", "not-entered", "not-listed", "passed-over"};
// What became of an infected file, after its note.
const char* const kHandlingNames[] = {"", " deleted", " moved", " not-deleted", " not-moved", " deleted-at-restart"};

// Walks root as the window and qfscan --jobs 1 do (jobs 0: one walk with its own queue), or with
// jobs walks on one frontier, each on its own thread, as qfscan --jobs does. An infected file is
// deleted when asked, or moved into moveFolder; stop is set once stopAfter texts were seen; dot
// folders are passed over with skipDots, as the window does; diskOrder tests files in batches in
// the disk's order, as qfscan on Linux does (on a frontier: jobs 1 or more), of a cold disk. A
// failure names the calling line.
WalkResult Walk(const std::string& root, int jobs, bool deleteInfected, const char* moveFolder = nullptr,
                size_t capacity = kDefaultQueueCapacity, std::atomic<int>* stop = nullptr, int stopAfter = -1,
                bool skipDots = false, bool diskOrder = false, const char* file = __builtin_FILE(),
                int line = __builtin_LINE())
{
    const testing::ScopedTrace caller(file, line, "walked from here");
    EXPECT_TRUE(!diskOrder || jobs > 0) << "the disk's order is the frontier's";
    const ColdDisk cold(diskOrder);
    struct Worker {
        TreeWalk walk;
        char text[kPathCapacity];
        WalkStep end;
    };
    const int walks = jobs == 0 ? 1 : jobs;
    const Disposal action = moveFolder != nullptr ? Disposal::Move : deleteInfected ? Disposal::Delete : Disposal::Leave;
    const DisposalPolicy policy{action, moveFolder, false, false};
    std::unique_ptr<Worker[]> workers(new Worker[walks]);
    WalkFrontier frontier;
    std::mutex disposals, lock;
    if (jobs == 0) {
        std::strcpy(workers[0].text, root.c_str());
        EXPECT_TRUE(WalkBegin(&workers[0].walk, root.c_str(), workers[0].text, kPathCapacity,
                              WalkOptions{policy, false, nullptr, skipDots, diskOrder}, stop, capacity));
    } else {
        EXPECT_TRUE(FrontierBegin(&frontier, root.c_str(), capacity));
        for (int i = 0; i < jobs; ++i)
            WalkJoin(&workers[i].walk, &frontier, workers[i].text, kPathCapacity,
                     WalkOptions{policy, false, &disposals, skipDots, diskOrder}, stop);
    }
    WalkResult result{};
    std::vector<std::thread> threads;
    for (int i = 0; i < walks; ++i)
        threads.emplace_back([&, i] {
            TreeWalk& walk = workers[i].walk;
            WalkStep& end = workers[i].end;
            while (WalkGoesOn(end = WalkNext(&walk)) || end == WalkStep::RootUnlisted) {
                std::lock_guard<std::mutex> hold(lock);
                if (jobs == 0 && (result.entered.empty() || result.entered.back() != WalkCurrentEntry(&walk)))
                    result.entered.push_back(WalkCurrentEntry(&walk));
                if (walk.note != WalkNote::None)
                    result.notes.push_back(kNoteNames[static_cast<int>(walk.note)] +
                                           std::string(walk.note == WalkNote::Infected
                                                           ? kHandlingNames[static_cast<int>(walk.outcome.handling)]
                                                           : "") +
                                           " " + (end == WalkStep::Entry ? walk.path : WalkCurrentEntry(&walk)));
                if (end == WalkStep::RootUnlisted)
                    break;
                if (end == WalkStep::Entry)
                    result.texts.push_back(workers[i].text);
                if (stop != nullptr && static_cast<int>(result.texts.size()) == stopAfter)
                    stop->store(1);
            }
        });
    result.end = WalkStep::Finished;
    for (int i = 0; i < walks; ++i) {
        threads[i].join();
        const ScanCounts& c = workers[i].walk.counts;
        result.counts.directories += c.directories;
        result.counts.files += c.files;
        result.counts.infected += c.infected;
        result.counts.deleted += c.deleted;
        result.counts.skipped += c.skipped;
        if (workers[i].end != WalkStep::Finished)
            result.end = workers[i].end;
    }
    for (int i = 0; i < walks; ++i)
        WalkEnd(&workers[i].walk);
    if (jobs != 0)
        FrontierEnd(&frontier);
    std::sort(result.notes.begin(), result.notes.end());
    return result;
}

using Strings = std::vector<std::string>;

const Bytes& Clean()
{
    static const Bytes bytes = ReadBytes(SamplePath("sample32.exe"));
    return bytes;
}

// A tiny first block makes the queue grow on the way. A dot folder is walked like any other unless
// it is to be passed over, as the window does.
TEST(Walk, BreadthFirstWithFullChildPathsInAGrowingQueue)
{
    TempTree tree;
    for (const char* dir : {"a", "b", "a/a1", "a/a1/a2", "b/b1", ".hidden"})
        tree.Dir(dir);
    tree.Text("a/a1/a2/f", "x");
    tree.Text("b/b1/f", "x");

    const WalkResult all = Walk(tree.Root(), 0, false, nullptr, 16);
    ASSERT_EQ(all.entered.size(), 7u) << ". and .. never";
    EXPECT_NE(std::find(all.entered.begin(), all.entered.begin() + 4, tree.Path(".hidden")), all.entered.begin() + 4);
    const WalkResult result = Walk(tree.Root(), 0, false, nullptr, 16, nullptr, -1, true);
    ASSERT_EQ(result.entered.size(), 6u) << "dot-named folders are passed over";
    const std::string& root = tree.Root();
    EXPECT_EQ(result.entered[0], root);
    const Strings depth1(result.entered.begin() + 1, result.entered.begin() + 3);
    EXPECT_TRUE(depth1 == Strings({root + "/a", root + "/b"}) || depth1 == Strings({root + "/b", root + "/a"}));
    const Strings depth2(result.entered.begin() + 3, result.entered.begin() + 5);
    EXPECT_TRUE(depth2 == Strings({root + "/a/a1", root + "/b/b1"}) || depth2 == Strings({root + "/b/b1", root + "/a/a1"}));
    EXPECT_EQ(result.entered[5], root + "/a/a1/a2");
    EXPECT_EQ(result.counts.directories, 5);
}

// The progress text: unchanged by non-executables, directory line for other executables,
// directory and file for 32-bit programs; the root as typed until the first executable.
TEST(Walk, ProgressTexts)
{
    TempTree tree;
    tree.Text("a.txt", "text");
    const WalkResult textOnly = Walk(tree.Root(), 0, false);
    ASSERT_FALSE(textOnly.texts.empty());
    for (const std::string& text : textOnly.texts)
        EXPECT_EQ(text, tree.Root());

    TempTree programs;
    programs.File("p64.exe", ReadBytes(SamplePath("sample64.exe")));
    EXPECT_EQ(Walk(programs.Root(), 0, false).texts.back(), "STATUS: Scanning\nDirectory: " + programs.Root());
    programs.File("p32.exe", Clean());
    std::remove(programs.Path("p64.exe").c_str());
    EXPECT_EQ(Walk(programs.Root(), 0, false).texts.back(),
              "STATUS: Scanning\nDirectory: " + programs.Root() + "\nFile: p32.exe");
}

// Only the root ends the scan when it cannot be listed, one walk or many; a folder below it that
// cannot be listed or entered is noted and passed over, and so is a file that cannot be read (in
// either order).
TEST(Walk, UnreadablePlaces)
{
    TempTree tree;
    for (const char* dir : {"secret", "shut", "open"})
        tree.Dir(dir);
    tree.File("open/infected.exe", Infected(Clean(), MarkerForm::Form10));
    tree.File("open/locked.exe", Infected(Clean(), MarkerForm::Form10));
    chmod(tree.Path("secret").c_str(), 0111);  // can be entered, not listed
    chmod(tree.Path("shut").c_str(), 0);
    chmod(tree.Path("open/locked.exe").c_str(), 0);
    if (access(tree.Path("secret").c_str(), R_OK) == 0)
        GTEST_SKIP() << "permissions do not bind this user; run through tools/run-native-tests.sh";

    for (const bool diskOrder : {false, true}) {
        const WalkResult below =
            Walk(tree.Root(), diskOrder ? 1 : 0, false, nullptr, kDefaultQueueCapacity, nullptr, -1, false, diskOrder);
        EXPECT_EQ(below.end, WalkStep::Finished);
        EXPECT_EQ(below.counts.directories, 3);
        EXPECT_EQ(below.counts.files, 2);
        EXPECT_EQ(below.counts.infected, 1);
        EXPECT_EQ(below.notes, Strings({"infected " + tree.Path("open/infected.exe"), "not-entered " + tree.Path("shut"),
                                        "not-listed " + tree.Path("secret"), "unreadable " + tree.Path("open/locked.exe")}))
            << diskOrder;
    }
    for (const int jobs : {0, 4}) {
        const WalkResult root = Walk(tree.Path("secret"), jobs, false);
        EXPECT_EQ(root.end, WalkStep::RootUnlisted) << jobs;
        EXPECT_EQ(root.notes, Strings({"not-listed " + tree.Path("secret")}));
    }
}

// A stop ends one walk before any further deletion, in the middle of a batch too, and every
// counted file is named; it ends every walk of many, however many wait for folders.
TEST(Walk, StopEndsTheWalkBeforeAnyFurtherDeletion)
{
    TempTree tree;
    for (const bool diskOrder : {false, true}) {
        for (int i = 0; i < 10; ++i)
            tree.File("infected" + std::to_string(i) + ".exe", Infected(Clean(), MarkerForm::Form10));
        std::atomic<int> stop{0};
        const WalkResult result =
            Walk(tree.Root(), diskOrder ? 1 : 0, true, nullptr, kDefaultQueueCapacity, &stop, 3, false, diskOrder);
        EXPECT_EQ(result.end, WalkStep::Stopped) << diskOrder;
        EXPECT_LE(result.counts.deleted, 3) << diskOrder;
        EXPECT_EQ(result.counts.infected, result.counts.deleted) << "nothing tested after the stop: " << diskOrder;
        EXPECT_EQ(result.notes.size(), static_cast<size_t>(result.counts.infected)) << diskOrder;
        int left = 0;
        for (int i = 0; i < 10; ++i)
            left += tree.Exists("infected" + std::to_string(i) + ".exe");
        EXPECT_EQ(left, 10 - result.counts.deleted) << diskOrder;
    }

    for (const int jobs : {0, 4}) {
        std::atomic<int> already{1};
        const WalkResult none = Walk(tree.Root(), jobs, true, nullptr, kDefaultQueueCapacity, &already);
        EXPECT_EQ(none.end, WalkStep::Stopped) << jobs;
        EXPECT_EQ(none.counts.directories + none.counts.files, 0);
    }
}

// In the disk's order a file is opened again by its name when a walk takes it to test (a few at
// a time): one swapped for another before that is not tested, one swapped after it is tested
// through the handle opened, and either way the file now at its name is not touched. In the
// listing's order the file at the name when its turn comes is the one tested.
TEST(Walk, AFileSwappedAfterTheListingIsNotTouched)
{
    const Bytes newcomer = Infected(Clean(), MarkerForm::Form00);
    constexpr int kFiles = 2 + 2 * kHeldFiles;
    for (const bool diskOrder : {false, true}) {
        SCOPED_TRACE(diskOrder);
        const ColdDisk cold(diskOrder);
        TempTree tree, away;
        for (int i = 0; i < kFiles; ++i)
            tree.File("sick" + std::to_string(i) + ".exe", Infected(Clean(), MarkerForm::Form10));
        WalkFrontier frontier;
        TreeWalk walk;
        char text[kPathCapacity];
        ASSERT_TRUE(FrontierBegin(&frontier, tree.Root().c_str()));
        WalkJoin(&walk, &frontier, text, sizeof text,
                 WalkOptions{DisposalPolicy{Disposal::Delete, nullptr, false, false}, false, nullptr, false, diskOrder},
                 nullptr);
        Strings swapped, replaced, changed;
        int deleted = 0;
        while (WalkGoesOn(WalkNext(&walk))) {
            if (walk.note == WalkNote::Unreadable && walk.noteError == FsReplacedError())
                replaced.push_back(walk.path);
            if (walk.note == WalkNote::Infected && walk.outcome.error == FsChangedError())
                changed.push_back(walk.path);
            if (walk.note != WalkNote::Infected || walk.outcome.handling != Handling::Deleted || ++deleted != 2)
                continue;
            // In the disk's order the first file was asked whether it is in memory, tested as listed;
            // the second is the batch's first: the others were listed and placed, some opened.
            for (int i = 0; i < kFiles; ++i) {
                const std::string name = "sick" + std::to_string(i) + ".exe";
                if (tree.Exists(name)) {
                    ASSERT_EQ(std::rename(tree.Path(name).c_str(), away.Path(name).c_str()), 0);
                    tree.File(name, newcomer);
                    swapped.push_back(tree.Path(name));
                }
            }
        }
        WalkEnd(&walk);
        FrontierEnd(&frontier);
        ASSERT_EQ(swapped.size(), static_cast<size_t>(kFiles - 2));
        EXPECT_EQ(walk.counts.files, kFiles);
        if (diskOrder) {
            EXPECT_FALSE(replaced.empty());
            EXPECT_FALSE(changed.empty());
            Strings both = replaced;
            both.insert(both.end(), changed.begin(), changed.end());
            std::sort(both.begin(), both.end());
            std::sort(swapped.begin(), swapped.end());
            EXPECT_EQ(both, swapped);
            EXPECT_EQ(walk.counts.infected, 2 + static_cast<int>(changed.size()));
            EXPECT_EQ(walk.counts.skipped, static_cast<int>(replaced.size()));
        } else {
            EXPECT_EQ(replaced.size() + changed.size(), 0u);
            EXPECT_EQ(walk.counts.deleted, kFiles);
        }
        for (const std::string& path : swapped) {
            EXPECT_EQ(std::filesystem::exists(path), diskOrder) << path;
            if (diskOrder) {
                EXPECT_EQ(ReadBytes(path), newcomer) << path;
            }
        }
    }
}

// One walk and any number of walks on one frontier, in the listing's order or the disk's, meet the
// same, each thing once: infected files are counted, deleted or moved (into a quarantine, each
// under a name of its own), and noted; a FIFO is counted but never opened, so it cannot hold the
// walk. A tiny queue or frontier grows (and the frontier is compacted) on the way. A dot folder is
// walked unless passed over. In the disk's order a batch that may hold but a few folders (as few
// handles as the process may open) is tested many times over.
TEST(SharedWalk, SameAnswerAsOneWalk)
{
    struct Case {
        int jobs;
        bool move;
        size_t capacity;
        bool skipDots;
        bool diskOrder;
        rlim_t batchFolders;  // 0: as many as the process's limit allows
    };
    for (const Case& c : {Case{0, false, 16, true, false, 0}, Case{1, false, kDefaultQueueCapacity, false, false, 0},
                          Case{2, false, 16, false, false, 0}, Case{8, false, kDefaultQueueCapacity, true, false, 0},
                          Case{0, true, kDefaultQueueCapacity, false, false, 0}, Case{2, true, 16, true, false, 0},
                          Case{8, true, kDefaultQueueCapacity, false, false, 0}, Case{1, false, 16, false, true, 0},
                          Case{1, true, kDefaultQueueCapacity, true, true, 0}, Case{8, false, 16, false, true, 0},
                          Case{8, true, kDefaultQueueCapacity, true, true, 0}, Case{1, false, 16, false, true, 3},
                          Case{8, true, kDefaultQueueCapacity, false, true, 2}}) {
        SCOPED_TRACE(std::to_string(c.jobs) + (c.move ? " move" : " delete") + (c.skipDots ? " skip dots" : "") +
                     (c.diskOrder ? " disk order" : "") +
                     (c.batchFolders != 0 ? ", batches of " + std::to_string(c.batchFolders) + " folders" : ""));
        TempTree tree, quarantine;
        for (int i = 0; i < 5; ++i)
            tree.Dir("d" + std::to_string(i));
        for (int i = 0; i < 60; ++i) {
            const std::string folder = "d" + std::to_string(i % 5) + "/e" + std::to_string(i);
            tree.Dir(folder);
            tree.File(folder + "/sick.exe", Infected(Clean(), i % 2 ? MarkerForm::Form10 : MarkerForm::Form00));
            tree.File(folder + "/clean.exe", Clean());
        }
        tree.Dir(".hidden");
        tree.File(".hidden/sick.exe", Infected(Clean(), MarkerForm::Form10));
        ASSERT_EQ(mkfifo(tree.Path("pipe.exe").c_str(), 0644), 0);
        struct rlimit limit;
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
        const rlim_t before = limit.rlim_cur;
        if (c.batchFolders != 0) {
            limit.rlim_cur = kWalkHandles + c.batchFolders;
            ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        }
        const WalkResult result = Walk(tree.Root(), c.jobs, !c.move, c.move ? quarantine.Root().c_str() : nullptr,
                                       c.capacity, nullptr, -1, c.skipDots, c.diskOrder);
        limit.rlim_cur = before;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
        const int dot = !c.skipDots, sick = 60 + dot;
        EXPECT_EQ(result.end, WalkStep::Finished);
        EXPECT_EQ(result.counts.directories, 65 + dot);
        EXPECT_EQ(result.counts.files, 121 + dot);
        EXPECT_EQ(result.counts.infected, sick);
        EXPECT_EQ(result.counts.deleted, c.move ? 0 : sick);
        ASSERT_EQ(result.notes.size(), static_cast<size_t>(sick));
        EXPECT_EQ(std::adjacent_find(result.notes.begin(), result.notes.end()), result.notes.end()) << "each found once";
        for (const std::string& note : result.notes)
            EXPECT_EQ(note.substr(0, note.find(' ', note.find(' ') + 1)), c.move ? "infected moved" : "infected deleted");
        size_t stored = 0;  // one stored file each, the same bytes under names of their own
        for (const auto& entry : std::filesystem::directory_iterator(quarantine.Root()))
            stored += entry.path().extension() == ".quarantined";
        EXPECT_EQ(stored, c.move ? static_cast<size_t>(sick) : 0u);
        EXPECT_EQ(tree.Exists(".hidden/sick.exe"), c.skipDots);
    }
}

}  // namespace
