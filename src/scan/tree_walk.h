// The drive scan's walk: breadth-first over a queue of directory paths, each folder opened by its
// absolute path and listed through the handle the layer holds, never through the current
// directory.
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
// Every directory queued during the walk stays in the queue until WalkEnd, with what its parent's
// listing saw it to be; the queue grows as needed.
//
// Several walks may share one WalkFrontier instead (qfscan --jobs): each runs on its own thread,
// takes the next waiting folder, queues the subfolders it lists there and tests its files. Then
// the frontier holds only the folders still waiting, and each walk's own queue only its folder.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "fs/file_system.h"
#include "scan/scan_text.h"

constexpr size_t kDefaultQueueCapacity = 0x800000;  // 8 MiB, enough for most drives

// Queued folders back to back: each an FsFileId, then its path and a NUL, in the order queued.
struct DirQueue {
    char* data;
    size_t capacity;
    size_t readOffset;   // the next entry to take
    size_t writeOffset;  // just past the last entry's NUL
};

bool QueueInit(DirQueue* queue, size_t capacity);
// Appends path, growing the block when it is full; false only when memory runs out.
bool QueuePush(DirQueue* queue, const char* path, const FsFileId& id);
void QueueFree(DirQueue* queue);

// The folders waiting for the walks that share them, and how many walks are inside one.
struct WalkFrontier {
    std::mutex lock;
    std::condition_variable changed;
    DirQueue queue;     // taken entries are dropped: compacted as it grows
    int busy = 0;       // walks holding a folder taken from the queue
    bool rootTaken = false;
    bool ended = false;  // a walk ran out of memory: the others take no more folders
};

// Queues root (absolute); false when the queue cannot be allocated.
bool FrontierBegin(WalkFrontier* frontier, const char* root, size_t queueCapacity = kDefaultQueueCapacity);
void FrontierEnd(WalkFrontier* frontier);

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
    Infected,         // an infected file left in place (noteError when its disposal failed)
    LeftAtStop,       // an infected file left in place: the stop came before its disposal
    Deleted,          // an infected file, deleted
    DeleteAtRestart,  // an infected file in use, to be deleted when Windows next starts
    Moved,            // an infected file, moved to walk.target
    Unreadable,       // a file that could not be opened or tested (noteError): skipped
    TooLong,          // a folder or file whose path does not fit kFsPathCapacity: skipped
    NotEntered,       // Skipped: the folder WalkCurrentEntry names could not be opened (noteError)
    NotListed,        // Skipped or RootUnlisted: it could not be listed (noteError)
};

// What the walk does with an infected file: nothing, delete it, or move it into moveFolder.
struct WalkOptions {
    bool deleteInfected;
    const char* moveFolder;  // absolute; null: not moved
    bool atRestart;          // a file in use is deleted at the next restart
    bool moveCursor;         // make each folder the current directory too, as the window does
    // Shared walks: held from the last stop check before a disposal until the next step begins,
    // so that the caller reports each change before another walk may make one. May be null.
    std::mutex* disposals;
    bool skipDotFolders;     // pass over folders whose names begin with a dot, as the window does
};

struct TreeWalk {
    DirQueue queue;
    size_t current;                     // queue offset of the directory being listed
    FsDir dir;                          // open while that directory is listed, else null
    FsListing listing;                  // likewise
    FsEntry entry;                      // the entry just listed
    const char* directory;              // the open directory's path ("" when none is open)
    char path[kFsPathCapacity];         // the entry's whole path, for a note about it
    char target[kFsPathCapacity];       // where a Moved file went
    ScanCounts counts;
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
bool WalkJoin(TreeWalk* walk, WalkFrontier* frontier, char* text, size_t textCapacity, const WalkOptions& options,
              const std::atomic<int>* stopRequested);

// Lists the next entry, testing, counting and disposing of infected files as it goes.
WalkStep WalkNext(TreeWalk* walk);

// Tests the file that WalkBegin was given as root instead of a folder, as a listed file is tested
// (a link there is followed: the user named it), and disposes of it as asked; WalkNext then
// finishes.
WalkStep WalkFile(TreeWalk* walk);

// The path of the queue entry the walk is at (the directory that could not be entered or
// listed, after Skipped and RootUnlisted).
const char* WalkCurrentEntry(const TreeWalk* walk);

// Releases the queue and any open directory; safe after every step.
void WalkEnd(TreeWalk* walk);
