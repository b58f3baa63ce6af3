// The drive scan's walk: breadth-first over a queue of folders, each folder opened relative to
// its parent's handle, one name at a time and never through a link, and listed through that
// handle; never through the current directory. Only the root is reached by its path.
//
// The walk is driven one step at a time, so that the thread that runs it can show progress, check
// for a stop request and report what the walk met, between steps:
//
//   TreeWalk walk;
//   if (WalkBegin(&walk, root, options, ...)) {
//       WalkStep step;
//       while (WalkGoesOn(step = WalkNext(&walk))) { ...show walk.text, report walk.note... }
//       WalkEnd(&walk);
//   }
//
// A queued folder is a node: its name, what its parent's listing saw it to be, and its parent's
// node, kept as long as a folder below it waits. To enter a folder the walk opens, from the
// deepest folder it still holds that lies on the way, each folder below down to it, each checked
// against what its parent's listing saw. So no path length limits the walk below the root.
//
// Handles held: a folder whose subfolders wait stays open for them, whichever walk takes them,
// so that each costs one open: at most 256 such folders for all walks together (the first ones
// listed; those past it are not kept). Each walk also keeps the folders from the root down to the
// last one it entered (its chain), at most max(2, 256 / walks) of them open (the deepest; the
// others are opened again by name, checked, when needed). Besides: the root (one for all walks),
// the file under test and, while an infected file goes, the folder it moves into and a copy (on
// Windows a second handle on the file), and in the disk's order the files each walk took from the
// batch to test, at most 256 for all walks together. So all walks together hold at most
// 256 + 256 + 256 + 3 x walks + 1 folders and files: 961 for qfscan --jobs 64, within
// kWalkHandles, Linux's default limit of 1,024 open files, whatever the tree's depth or width; in
// the disk's order, besides, the folders of the batch (see below).
//
// Several walks may share one WalkFrontier instead (qfscan --jobs): each runs on its own thread,
// takes the next waiting folder, queues the subfolders it lists there and tests its files.
//
// In the disk's order (WalkOptions::diskOrder, qfscan on Linux; walks on a frontier only) the
// walks list files into one batch shared by all of them (file_batch.h), from as many folders as it
// holds; once it is full, or nothing more is to be listed, the walks learn where each file's data
// lies, taking the files in turn in the order of their inode numbers (folders waiting are taken
// in that order too), and then take them, a few at a time, in the order of their places, each
// file one step. Each is opened again by its name in its folder's handle when taken, its head
// asked for in the batch's order: one that is no longer the file listed is not tested
// (FsReplacedError), else it is tested and disposed of through that handle. Then the walks list
// on. On a volume that serves one request at a time (FsServedInTurn: ntfs-3g) one walk lists at a
// time. A batch begins with a few files tested as listed, whose data is asked whether it is in
// memory already: then the order matters to no disk, and the next kBatchFiles files are tested as
// listed, as on a volume that tells no places. Each folder in the batch holds a handle of its
// own: at most kBatchFolders of them, fewer where the process may not open that many files beyond
// kWalkHandles.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "fs/file_system.h"
#include "scan/file_batch.h"
#include "scan/file_outcome.h"
#include "scan/scan_text.h"

constexpr size_t kDefaultQueueCapacity = 0x10000;  // bytes of the first block; it grows
constexpr int kHeldFolders = 256;                   // folders the chains of all walks hold open
constexpr int kSharedFolders = 256;                 // and that all walks hold for their subfolders
constexpr size_t kWalkHandles = 1024;               // room for those, and for what the caller opens

struct FolderNode;  // a queued folder (tree_walk.cpp)

// The folders waiting, in the order queued; taken ones are dropped as the block fills.
struct DirQueue {
    FolderNode** entries;
    size_t capacity;     // entries
    size_t readOffset;   // the next entry to take
    size_t writeOffset;  // just past the last entry
};

bool QueueInit(DirQueue* queue, size_t capacity);
// Appends node, growing the block when it is full; false only when memory runs out.
bool QueuePush(DirQueue* queue, FolderNode* node);
void QueueFree(DirQueue* queue);  // lets go of the folders still waiting

// The folders waiting for the walks that share them, and how many walks are inside one.
//
// Who owns what: the thread that runs FrontierBegin and FrontierEnd owns the record before the
// first WalkJoin and after the last WalkEnd. In between, lock guards queue, busy, rootTaken and
// ended; a walk takes a folder, queues subfolders and leaves a folder only under it. root is
// written by FrontierBegin alone. rootDir is written once, by the walk that took the root, before
// that walk queues the root's subfolders; every other walk reads it only after taking one of
// them under lock, so it never sees it unset. walks is atomic: only WalkJoin adds to it.
// changed is signalled (with lock held) when a folder is queued (one walk), and to every walk
// when the queue is empty with no walk inside a folder (the walk is over) or when ended is set.
// A walk also wakes every 20 ms to see a stop request, which a signal handler cannot signal.
//
// Lock order, for everything the walks and qfscan hold: WalkOptions::disposals first, then
// qfscan's report lock, then the pause of the test hooks. lock is held only for the queue's own
// work and takes no other lock inside it.
// The batch of the walks in the disk's order, under their frontier's lock.
enum class BatchPhase {
    Listing,  // walks list files into it
    Placing,  // walks learn where their data lies, taking its files in turn
    Testing,  // walks take its files in turn; the last one done empties it
};
struct DiskBatch {
    FileBatch files;  // reserved when the first file is batched
    BatchPhase phase = BatchPhase::Listing;
    size_t toPlace = 0;       // in the order to place, the next file to hand out
    int working = 0;          // walks placing or testing one of its files
    uint32_t round = 0;       // batches tested, so that a walk knows whether its folder is in this one
    int probes = 0;           // files asked this round whose place is not known
    bool placing = false;     // a probe found a file's place: files go into the batch
    bool noRoom = false;      // no memory or handles for a batch: files are tested as listed
    bool oneLister = false;   // the volume serves one request at a time: one walk lists at a time
    std::atomic<long> asListed{0};  // files to test as listed before the next probe
    size_t shares = 0;              // Testing: shares of its files taken
    // The walks ask for the heads of their shares in the order taken, under askLock alone.
    std::mutex askLock;
    std::condition_variable asked;
    size_t nextAsked = 0;
};

// A file of the batch that a walk took to test, opened (or why not) and its head asked for.
struct HeldFile {
    FsEntry entry;    // as listed
    FsFile file;      // open unless error is set
    uint32_t folder;  // in the batch
    int error;
};
constexpr size_t kHeldFiles = 16;  // that a walk takes at once (fewer when many walks run)

struct WalkFrontier {
    std::mutex lock;
    std::condition_variable changed;
    DirQueue queue;
    int busy = 0;       // walks holding a folder taken from the queue
    bool rootTaken = false;
    bool ended = false;  // a walk ran out of memory: the others take no more folders
    FolderNode* root = nullptr;
    FsDir rootDir = nullptr;  // opened by the walk that takes the root; every walk opens from it
    std::atomic<int> walks{0};
    DiskBatch disk;           // in the disk's order
};

// Queues root (absolute); false when the queue cannot be allocated.
bool FrontierBegin(WalkFrontier* frontier, const char* root, size_t queueCapacity = kDefaultQueueCapacity);
void FrontierEnd(WalkFrontier* frontier);  // after every walk's WalkEnd

// One folder of a walk's chain: held from the root down to the last folder entered.
struct ChainLink {
    FolderNode* node;
    FsDir dir;          // null once closed to stay within the walk's share of handles
    size_t pathLength;  // of its path, which starts TreeWalk::folder
};

enum class WalkStep {
    Entry,          // one listed entry was handled; text may have changed
    Skipped,        // a queued directory could not be entered or listed
    Finished,       // every queued directory was walked
    RootUnlisted,   // the scan root was entered but cannot be listed
    Stopped,        // the stop request was seen; nothing more was done
    OutOfMemory,    // the queue could not grow
};

inline bool WalkGoesOn(WalkStep step)
{
    return step == WalkStep::Entry || step == WalkStep::Skipped;
}

// What the last step met that a report may name. The window shows only the number of skips; the
// console scanner reports every one.
enum class WalkNote {
    None,
    Infected,    // an infected file: walk.outcome says what became of it (walk.target where it went)
    Unreadable,  // a file that could not be opened or tested (noteError): skipped
    TooLong,     // a folder or file whose path does not fit kFsPathCapacity: skipped
    NotEntered,  // Skipped: the folder WalkCurrentEntry names could not be opened (noteError)
    NotListed,   // Skipped or RootUnlisted: it could not be listed (noteError)
    PassedOver,  // Entry: walk.path, a mount of a kernel file system, is not scanned (noteError)
};

// What the walk does with an infected file (nothing, delete it, or move it into the quarantine),
// and how it moves.
struct WalkOptions {
    DisposalPolicy disposal;
    bool moveCursor;         // make each folder the current directory too, as the window does
    // Shared walks: held from the last stop check before a disposal until the next step begins,
    // so that the caller reports each change before another walk may make one. May be null.
    std::mutex* disposals;
    bool skipDotFolders;     // pass over folders whose names begin with a dot, as the window does
    bool diskOrder = false;  // walks on a frontier test files in the disk's order (see above)
};

struct TreeWalk {
    DirQueue queue;                     // one walk: the folders waiting
    FolderNode* root;                   // one walk: the root's node, held until WalkEnd
    FsDir rootDir;                      // one walk: the root, open from its entry until WalkEnd
    FolderNode* node;                   // the folder being entered or listed, taken from the queue
    std::vector<ChainLink> chain;       // indexed by depth: the root first
    size_t firstOpen;                   // chain links 1 to firstOpen - 1 are closed
    bool entered;                       // node is open (and counted as waiting on itself)
    std::vector<FolderNode*> steps;     // the folders to open on the way to node
    FsDir dir;                          // the folder being listed (the chain's last), else null
    FsListing listing;                  // likewise
    FsEntry entry;                      // the entry just listed
    bool pending;                       // in the disk's order: entry waits for the batch to be tested
    bool probing;                       // the file entry names is asked whether it is in memory
    bool folderBatched;                 // the folder listed is in the batch of round batchRound
    bool batchTest;                     // the last step tested a file of the batch
    uint32_t batchRound;
    uint32_t batchFolderAt;             // where in the batch's folders
    FsEntry batchEntry;                 // the batch's file being placed
    HeldFile held[kHeldFiles];          // the batch's files taken to test, in turn
    size_t heldCount, heldNext;
    char batchFolder[kFsPathCapacity];  // the folder's path of the file last tested of them
    const char* directory;              // the listed folder's path ("" when none is listed)
    char folder[kFsPathCapacity];       // the path of node, the folder being entered or listed
    char path[kFsPathCapacity];         // the entry's whole path, for a note about it
    char target[kFsPathCapacity];       // where a Moved file went
    FileOutcome outcome;                // the last file tested: its test and what became of it
    ScanCounts counts;                  // everything it met: each file's outcome and each skip it noted
                                        // (the root of RootUnlisted, the folder of OutOfMemory too)
    char* text;                         // progress text (the caller's buffer)
    size_t textCapacity;
    WalkOptions options;
    const std::atomic<int>* stopRequested;  // non-zero: end at the next check
    WalkNote note;                      // what the last step met
    int noteError;                      // FsLastError() of the failure the note names
    WalkFrontier* frontier;             // shared folders, or null: the walk's own queue
    bool atRoot;                        // the folder being listed is the scan root
    bool holdsDisposals;                // options.disposals is locked by this walk
};

// Queues root (absolute) and prepares the walk; false when the queue cannot be allocated. The
// walk writes its progress texts into text (capacity bytes).
bool WalkBegin(TreeWalk* walk, const char* root, char* text, size_t textCapacity, const WalkOptions& options,
               const std::atomic<int>* stopRequested, size_t queueCapacity = kDefaultQueueCapacity);

// Like WalkBegin, for one of the walks that share frontier (which FrontierBegin prepared); the
// walk's steps then run on its own thread. Finished comes once no folder waits and no walk is
// inside one; RootUnlisted to the walk that took the root.
void WalkJoin(TreeWalk* walk, WalkFrontier* frontier, char* text, size_t textCapacity, const WalkOptions& options,
              const std::atomic<int>* stopRequested);

// Lists the next entry, testing, counting and disposing of infected files as it goes.
WalkStep WalkNext(TreeWalk* walk);

// The path of the folder the walk is at (the one that could not be entered or listed, after
// Skipped and RootUnlisted; the tested file's, after a file of the batch).
const char* WalkCurrentEntry(const TreeWalk* walk);

// Releases the queue and any open directory; safe after every step.
void WalkEnd(TreeWalk* walk);
