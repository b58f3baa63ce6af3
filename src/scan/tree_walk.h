// The drive scan's walk: breadth-first over a queue of directory paths, with the process's
// current directory as the cursor.
//
// The walk is driven one step at a time, so that the thread that runs it can show progress, check
// for a stop request and report what the walk met, between steps:
//
//   TreeWalk walk;
//   if (WalkBegin(&walk, ...)) {
//       WalkStep step;
//       while (WalkGoesOn(step = WalkNext(&walk))) { ...show walk.text, report walk.note... }
//       WalkEnd(&walk);
//   }
//
// Every directory path queued during the walk stays in the queue until WalkEnd; the queue grows
// as needed, so a drive with more directory text than the initial capacity is still walked.
#pragma once

#include <atomic>
#include <cstddef>

#include "fs/file_system.h"
#include "scan/scan_text.h"

constexpr size_t kDefaultQueueCapacity = 0x800000;  // 8 MiB, enough for most drives

// Directory paths stored back to back, each with its NUL, in the order queued.
struct DirQueue {
    char* data;
    size_t capacity;
    size_t readOffset;   // the next entry to take
    size_t writeOffset;  // just past the last entry's NUL
};

bool QueueInit(DirQueue* queue, size_t capacity);
// Appends path, growing the block when it is full; false only when memory runs out.
bool QueuePush(DirQueue* queue, const char* path);
void QueueFree(DirQueue* queue);

enum class WalkStep {
    Entry,          // one listed entry was handled; text may have changed
    Skipped,        // a queued directory below the root could not be entered or listed
    Finished,       // every queued directory was walked
    RootUnlisted,   // the scan root was entered but cannot be listed
    Stopped,        // the stop request was seen; nothing more was done
    OutOfMemory,    // the queue could not grow
};

inline bool WalkGoesOn(WalkStep step)
{
    return step == WalkStep::Entry || step == WalkStep::Skipped;
}

// What the last step met that a report may name. The window shows none of it; the console
// scanner reports every one.
enum class WalkNote {
    None,
    Infected,    // the entry is an infected file left in place; noteError when its deletion failed
    Deleted,     // the entry was an infected file and is deleted
    Unreadable,  // the entry is a file that could not be tested (noteError)
    TooLong,     // the entry is a folder whose path does not fit kFsPathCapacity: not walked
    NotEntered,  // Skipped: the folder WalkCurrentEntry names could not be entered (noteError)
    NotListed,   // Skipped or RootUnlisted: it could not be listed (noteError)
};

struct TreeWalk {
    DirQueue queue;
    size_t current;                    // queue offset of the directory being listed
    FsListing listing;                 // open while that directory is listed, else null
    FsEntry entry;                     // the entry just listed
    char directory[kFsPathCapacity];   // the current directory as the platform reports it
    char childPath[kFsPathCapacity];   // work buffer for a child's path
    ScanCounts counts;
    char* text;                        // progress text, kPathCapacity bytes (the shared buffer)
    bool deleteInfected;
    const std::atomic<int>* stopRequested;  // non-zero: end at the next check
    WalkNote note;                     // what the last step met
    int noteError;                     // FsLastError() of the failure the note names
};

// Queues root and prepares the walk; false when the queue cannot be allocated. text must hold
// kPathCapacity bytes; the walk writes its progress texts there.
bool WalkBegin(TreeWalk* walk, const char* root, char* text, bool deleteInfected,
               const std::atomic<int>* stopRequested, size_t queueCapacity = kDefaultQueueCapacity);

// Lists the next entry, testing, counting and deleting as it goes.
WalkStep WalkNext(TreeWalk* walk);

// The queue entry the walk is at (the directory that could not be entered or listed, after
// Skipped and RootUnlisted).
inline const char* WalkCurrentEntry(const TreeWalk* walk)
{
    return walk->queue.data + walk->current;
}

// Releases the queue and any open listing; safe after every step.
void WalkEnd(TreeWalk* walk);
