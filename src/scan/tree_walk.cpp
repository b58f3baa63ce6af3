// The drive scan's walk: queue, listing, classification, counting and deletion.
#include "scan/tree_walk.h"

#include <cstdlib>
#include <cstring>

#include "detect/examine.h"

bool QueueInit(DirQueue* queue, size_t capacity)
{
    *queue = DirQueue{};
    if (capacity == 0)
        capacity = 1;
    queue->data = static_cast<char*>(std::malloc(capacity));
    if (queue->data == nullptr)
        return false;
    queue->capacity = capacity;
    return true;
}

bool QueuePush(DirQueue* queue, const char* path)
{
    const size_t size = std::strlen(path) + 1;
    if (size > queue->capacity - queue->writeOffset) {
        size_t capacity = queue->capacity;
        while (size > capacity - queue->writeOffset) {
            if (capacity > SIZE_MAX / 2)
                return false;
            capacity *= 2;
        }
        char* data = static_cast<char*>(std::realloc(queue->data, capacity));
        if (data == nullptr)
            return false;
        queue->data = data;
        queue->capacity = capacity;
    }
    std::memcpy(queue->data + queue->writeOffset, path, size);
    queue->writeOffset += size;
    return true;
}

void QueueFree(DirQueue* queue)
{
    std::free(queue->data);
    *queue = DirQueue{};
}

bool WalkBegin(TreeWalk* walk, const char* root, char* text, bool deleteInfected,
               const std::atomic<int>* stopRequested, size_t queueCapacity)
{
    walk->current = 0;
    walk->listing = nullptr;
    walk->counts = ScanCounts{};
    walk->text = text;
    walk->deleteInfected = deleteInfected;
    walk->stopRequested = stopRequested;
    walk->directory[0] = '\0';
    walk->note = WalkNote::None;
    walk->noteError = 0;
    if (!QueueInit(&walk->queue, queueCapacity))
        return false;
    // The root is copied before the text buffer that may hold it is used for progress.
    if (!QueuePush(&walk->queue, root)) {
        QueueFree(&walk->queue);
        return false;
    }
    return true;
}

namespace {

bool StopSeen(const TreeWalk* walk)
{
    return walk->stopRequested != nullptr && walk->stopRequested->load() != 0;
}

// Moves the queue past the directory at walk->current.
void FinishDirectory(TreeWalk* walk)
{
    if (walk->listing != nullptr) {
        FsListClose(walk->listing);
        walk->listing = nullptr;
    }
    walk->queue.readOffset = walk->current + std::strlen(WalkCurrentEntry(walk)) + 1;
}

// A subdirectory: queued with its full path unless it is a link or its name begins with a dot;
// one whose path would not fit a path buffer is noted and left.
WalkStep HandleDirectory(TreeWalk* walk)
{
    const FsEntry& entry = walk->entry;
    if (entry.isReparsePoint || entry.name[0] == '.')
        return WalkStep::Entry;
    if (walk->directory[0] == '\0' ||
        !BuildChildPath(walk->directory, entry.name, walk->childPath, sizeof walk->childPath, kFsSeparator)) {
        walk->note = WalkNote::TooLong;
        return WalkStep::Entry;
    }
    if (!QueuePush(&walk->queue, walk->childPath))
        return WalkStep::OutOfMemory;
    ++walk->counts.directories;
    return WalkStep::Entry;
}

// A file: classified; a 32-bit Windows executable is tested, and deleted when it is infected
// and deletion was asked for.
WalkStep HandleFile(TreeWalk* walk)
{
    const char* name = walk->entry.name;
    ++walk->counts.files;
    if (walk->entry.isSpecial)
        return WalkStep::Entry;
    const FileCheck check = ExamineFile(name);
    if (check.verdict == FileVerdict::Unreadable) {
        walk->note = WalkNote::Unreadable;
        walk->noteError = check.error;
    }
    if (check.type == pe::kNotExecutable)
        return WalkStep::Entry;
    FormatProgress(walk->text, kPathCapacity, WalkCurrentEntry(walk), check.type == pe::kWin32Binary ? name : nullptr);
    if (check.verdict != FileVerdict::Infected)
        return WalkStep::Entry;
    ++walk->counts.infected;
    walk->note = WalkNote::Infected;
    if (walk->deleteInfected) {
        if (StopSeen(walk))
            return WalkStep::Stopped;
        FsMakeDeletable(name);
        if (FsDeleteFile(name)) {
            ++walk->counts.deleted;
            walk->note = WalkNote::Deleted;
        } else {
            walk->noteError = FsLastError();
        }
    }
    return WalkStep::Entry;
}

WalkStep HandleEntry(TreeWalk* walk)
{
    return walk->entry.isDirectory ? HandleDirectory(walk) : HandleFile(walk);
}

// Notes why the directory at walk->current is left, and moves past it.
WalkStep SkipDirectory(TreeWalk* walk, WalkNote note)
{
    walk->note = note;
    walk->noteError = FsLastError();
    FinishDirectory(walk);
    return WalkStep::Skipped;
}

}  // namespace

WalkStep WalkNext(TreeWalk* walk)
{
    walk->note = WalkNote::None;
    walk->noteError = 0;
    for (;;) {
        if (StopSeen(walk))
            return WalkStep::Stopped;
        if (walk->listing != nullptr) {
            if (FsListNext(walk->listing, &walk->entry))
                return HandleEntry(walk);
            FinishDirectory(walk);
            continue;
        }
        if (walk->queue.readOffset >= walk->queue.writeOffset)
            return WalkStep::Finished;

        walk->current = walk->queue.readOffset;
        if (!FsSetCurrentDirectory(WalkCurrentEntry(walk)))
            return SkipDirectory(walk, WalkNote::NotEntered);  // vanished, refused, or no directory at all
        if (!FsGetCurrentDirectory(walk->directory, sizeof walk->directory))
            walk->directory[0] = '\0';  // its children's paths would not fit either
        switch (FsListFirst(&walk->listing, &walk->entry)) {
        case FsListStart::Listed:
            return HandleEntry(walk);
        case FsListStart::Empty:
            FinishDirectory(walk);
            continue;
        case FsListStart::Failed:
            walk->listing = nullptr;
            // Only the root ends the scan: one unreadable folder must not end a drive's scan.
            if (walk->current == 0) {
                walk->note = WalkNote::NotListed;
                walk->noteError = FsLastError();
                return WalkStep::RootUnlisted;
            }
            return SkipDirectory(walk, WalkNote::NotListed);
        }
    }
}

void WalkEnd(TreeWalk* walk)
{
    if (walk->listing != nullptr) {
        FsListClose(walk->listing);
        walk->listing = nullptr;
    }
    QueueFree(&walk->queue);
}
