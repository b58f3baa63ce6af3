// The drive scan's walk: queue, listing, classification, counting and disposal.
#include "scan/tree_walk.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "detect/examine.h"
#include "detect/infection.h"
#include "quarantine/quarantine.h"
#include "scan/test_seams.h"

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

bool QueuePush(DirQueue* queue, const char* path, const FsFileId& id)
{
    const size_t size = sizeof id + std::strlen(path) + 1;
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
    std::memcpy(queue->data + queue->writeOffset, &id, sizeof id);
    std::memcpy(queue->data + queue->writeOffset + sizeof id, path, size - sizeof id);
    queue->writeOffset += size;
    return true;
}

void QueueFree(DirQueue* queue)
{
    std::free(queue->data);
    *queue = DirQueue{};
}

const char* WalkCurrentEntry(const TreeWalk* walk)
{
    return walk->queue.data + walk->current + sizeof(FsFileId);
}

bool FrontierBegin(WalkFrontier* frontier, const char* root, size_t queueCapacity)
{
    frontier->busy = 0;
    frontier->rootTaken = frontier->ended = false;
    if (!QueueInit(&frontier->queue, queueCapacity))
        return false;
    if (!QueuePush(&frontier->queue, root, FsFileId{})) {
        QueueFree(&frontier->queue);
        return false;
    }
    return true;
}

void FrontierEnd(WalkFrontier* frontier)
{
    QueueFree(&frontier->queue);
}

namespace {

void Prepare(TreeWalk* walk, char* text, size_t textCapacity, const WalkOptions& options,
             const std::atomic<int>* stopRequested, WalkFrontier* frontier)
{
    walk->current = 0;
    walk->dir = nullptr;
    walk->listing = nullptr;
    walk->directory = "";
    walk->path[0] = walk->target[0] = '\0';
    walk->counts = ScanCounts{};
    walk->text = text;
    walk->textCapacity = textCapacity;
    walk->options = options;
    walk->stopRequested = stopRequested;
    walk->note = WalkNote::None;
    walk->noteError = 0;
    walk->frontier = frontier;
    walk->atRoot = false;
    walk->holdsDisposals = false;
}

void ReleaseDisposals(TreeWalk* walk)
{
    if (walk->holdsDisposals) {
        walk->holdsDisposals = false;
        walk->options.disposals->unlock();
    }
}

}  // namespace

bool WalkJoin(TreeWalk* walk, WalkFrontier* frontier, char* text, size_t textCapacity, const WalkOptions& options,
              const std::atomic<int>* stopRequested)
{
    Prepare(walk, text, textCapacity, options, stopRequested, frontier);
    // Room for the one folder the walk holds at a time.
    return QueueInit(&walk->queue, sizeof(FsFileId) + kFsPathCapacity + 1);
}

bool WalkBegin(TreeWalk* walk, const char* root, char* text, size_t textCapacity, const WalkOptions& options,
               const std::atomic<int>* stopRequested, size_t queueCapacity)
{
    Prepare(walk, text, textCapacity, options, stopRequested, nullptr);
    if (!QueueInit(&walk->queue, queueCapacity))
        return false;
    // The root is copied before the text buffer that may hold it is used for progress.
    if (!QueuePush(&walk->queue, root, FsFileId{})) {
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

void CloseDirectory(TreeWalk* walk)
{
    if (walk->listing != nullptr) {
        FsListClose(walk->listing);
        walk->listing = nullptr;
    }
    if (walk->dir != nullptr) {
        FsCloseDirectory(walk->dir);
        walk->dir = nullptr;
    }
    walk->directory = "";
}

// A shared walk gives its folder back; the last one out with nothing waiting wakes the others.
void ReleaseFolder(TreeWalk* walk)
{
    WalkFrontier* frontier = walk->frontier;
    std::lock_guard<std::mutex> hold(frontier->lock);
    if (--frontier->busy == 0 && frontier->queue.readOffset >= frontier->queue.writeOffset)
        frontier->changed.notify_all();
}

// Moves the queue past the directory at walk->current.
void FinishDirectory(TreeWalk* walk)
{
    CloseDirectory(walk);
    walk->queue.readOffset = walk->current + sizeof(FsFileId) + std::strlen(WalkCurrentEntry(walk)) + 1;
    if (walk->frontier != nullptr)
        ReleaseFolder(walk);
}

// Queues a folder for a shared walk. Taken entries are dropped first, so that the queue grows
// with the folders waiting only.
bool SharePush(WalkFrontier* frontier, const char* path, const FsFileId& id)
{
    std::lock_guard<std::mutex> hold(frontier->lock);
    DirQueue& queue = frontier->queue;
    if (queue.readOffset > 0 && sizeof id + std::strlen(path) + 1 > queue.capacity - queue.writeOffset) {
        std::memmove(queue.data, queue.data + queue.readOffset, queue.writeOffset - queue.readOffset);
        queue.writeOffset -= queue.readOffset;
        queue.readOffset = 0;
    }
    if (!QueuePush(&queue, path, id)) {
        frontier->ended = true;
        frontier->changed.notify_all();
        return false;
    }
    frontier->changed.notify_one();
    return true;
}

// Takes the next waiting folder into the walk's own queue; waits while other walks may still
// queue some. Entry when one was taken.
WalkStep TakeFolder(TreeWalk* walk)
{
    WalkFrontier* frontier = walk->frontier;
    DirQueue& queue = frontier->queue;
    std::unique_lock<std::mutex> hold(frontier->lock);
    for (;;) {
        if (walk->stopRequested != nullptr && walk->stopRequested->load() != 0)
            return WalkStep::Stopped;
        if (frontier->ended)
            return WalkStep::Finished;
        if (queue.readOffset < queue.writeOffset)
            break;
        if (frontier->busy == 0)
            return WalkStep::Finished;
        // A signal handler cannot notify, so the stop request is polled.
        frontier->changed.wait_for(hold, std::chrono::milliseconds(20));
    }
    FsFileId id;
    std::memcpy(&id, queue.data + queue.readOffset, sizeof id);
    const char* path = queue.data + queue.readOffset + sizeof id;
    const size_t size = sizeof id + std::strlen(path) + 1;
    walk->queue.readOffset = walk->queue.writeOffset = 0;
    if (!QueuePush(&walk->queue, path, id)) {
        frontier->ended = true;
        frontier->changed.notify_all();
        return WalkStep::OutOfMemory;
    }
    queue.readOffset += size;
    if (queue.readOffset == queue.writeOffset)
        queue.readOffset = queue.writeOffset = 0;
    walk->atRoot = !frontier->rootTaken;
    frontier->rootTaken = true;
    ++frontier->busy;
    return WalkStep::Entry;
}

// Builds the entry's whole path into walk->path; false, noted as a skip, when it does not fit.
bool BuildEntryPath(TreeWalk* walk)
{
    if (BuildChildPath(walk->directory, walk->entry.name, walk->path, sizeof walk->path, kFsSeparator))
        return true;
    BuildChildPath("", walk->entry.name, walk->path, sizeof walk->path, kFsSeparator);
    walk->note = WalkNote::TooLong;
    ++walk->counts.skipped;
    return false;
}

// A subdirectory: queued with its full path and what it is unless it is a link, . or .., or a
// dot folder the caller passes over; one whose path would not fit is noted and left.
WalkStep HandleDirectory(TreeWalk* walk)
{
    const FsEntry& entry = walk->entry;
    const char* name = entry.name;
    const bool self = name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
    if (entry.isLink || self || (name[0] == '.' && walk->options.skipDotFolders))
        return WalkStep::Entry;
    if (!BuildEntryPath(walk))
        return WalkStep::Entry;
    FsFileId id{};
    if (!FsEntryId(walk->dir, entry, &id)) {
        walk->note = WalkNote::NotEntered;  // gone since the listing
        walk->noteError = FsLastError();
        ++walk->counts.skipped;
        return WalkStep::Entry;
    }
    if (walk->frontier != nullptr ? !SharePush(walk->frontier, walk->path, id) : !QueuePush(&walk->queue, walk->path, id))
        return WalkStep::OutOfMemory;
    ++walk->counts.directories;
    return WalkStep::Entry;
}

void NoteUnreadable(TreeWalk* walk, int error)
{
    walk->note = WalkNote::Unreadable;
    walk->noteError = error;
    ++walk->counts.skipped;
}

// Deletes or moves the infected file that *file holds, as asked, and notes what became of it.
void Dispose(TreeWalk* walk, FsFile* file)
{
    PauseBeforeDisposal(walk->path);
    const WalkOptions& options = walk->options;
    const FsDisposal done =
        options.moveFolder != nullptr
            ? QuarantineFile(options.moveFolder, file, walk->path, InfectionWhy(*file).c_str(), walk->target, sizeof walk->target)
            : FsDispose(file, nullptr, options.atRestart, walk->target, sizeof walk->target);
    switch (done.outcome) {
    case FsOutcome::Deleted: walk->note = WalkNote::Deleted; break;
    case FsOutcome::DeleteAtRestart: walk->note = WalkNote::DeleteAtRestart; break;
    case FsOutcome::Moved: walk->note = WalkNote::Moved; break;
    case FsOutcome::NotDone: walk->noteError = done.error; break;
    }
    walk->counts.deleted += done.outcome == FsOutcome::Deleted || done.outcome == FsOutcome::DeleteAtRestart;
}

// The open file named name: classified and, as a 32-bit Windows program, tested; an infected one
// is disposed of through the same handle when that was asked for.
WalkStep TestFile(TreeWalk* walk, FsFile& file, const char* name)
{
    FileCheck check = ExamineFile(file, name);
    const char* broken = GetTestSeams().unreadableName;
    if (broken != nullptr && std::strcmp(broken, name) == 0)
        check = FileCheck{pe::kNotExecutable, FileVerdict::Unreadable, FsChangedError()};
    if (check.verdict == FileVerdict::Unreadable)
        NoteUnreadable(walk, check.error);
    if (check.type != pe::kNotExecutable)
        FormatProgress(walk->text, walk->textCapacity, WalkCurrentEntry(walk),
                       check.type == pe::kWin32Binary ? name : nullptr);
    if (check.verdict != FileVerdict::Infected) {
        FsClose(&file);
        return WalkStep::Entry;
    }
    ++walk->counts.infected;
    walk->note = WalkNote::Infected;
    const bool dispose = walk->options.deleteInfected || walk->options.moveFolder != nullptr;
    if (dispose && walk->options.disposals != nullptr) {
        walk->options.disposals->lock();
        walk->holdsDisposals = true;
    }
    // Counted, so named too: the next step ends the walk.
    if (dispose && StopSeen(walk)) {
        ReleaseDisposals(walk);
        FsClose(&file);
        walk->note = WalkNote::LeftAtStop;
        return WalkStep::Entry;
    }
    if (dispose)
        Dispose(walk, &file);
    else
        FsClose(&file);
    return WalkStep::Entry;
}

// A listed file: opened without following a link, then tested.
WalkStep HandleFile(TreeWalk* walk)
{
    const FsEntry& entry = walk->entry;
    ++walk->counts.files;
    if (entry.isSpecial || entry.isLink)
        return WalkStep::Entry;
    if (!BuildEntryPath(walk))
        return WalkStep::Entry;
    FsFile file;
    if (!FsOpenChild(walk->dir, entry, &file)) {
        NoteUnreadable(walk, FsLastError());
        return WalkStep::Entry;
    }
    return TestFile(walk, file, entry.name);
}

WalkStep HandleEntry(TreeWalk* walk)
{
    return walk->entry.isDirectory ? HandleDirectory(walk) : HandleFile(walk);
}

// Notes why the directory at walk->current is left, and moves past it.
WalkStep SkipDirectory(TreeWalk* walk, WalkNote note, int error)
{
    walk->note = note;
    walk->noteError = error;
    ++walk->counts.skipped;
    FinishDirectory(walk);
    return WalkStep::Skipped;
}

}  // namespace

WalkStep WalkNext(TreeWalk* walk)
{
    ReleaseDisposals(walk);
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
        if (walk->frontier != nullptr) {
            const WalkStep taken = TakeFolder(walk);
            if (taken != WalkStep::Entry)
                return taken;
        } else if (walk->queue.readOffset >= walk->queue.writeOffset) {
            return WalkStep::Finished;
        } else {
            walk->atRoot = walk->queue.readOffset == 0;
        }

        walk->current = walk->queue.readOffset;
        FsFileId expected;
        std::memcpy(&expected, walk->queue.data + walk->current, sizeof expected);
        FsFileId id;
        // The root is taken as the user named it; every folder below must still be the one its
        // parent listed.
        if (!FsOpenDirectory(WalkCurrentEntry(walk), walk->atRoot ? nullptr : &expected, &walk->dir, &id)) {
            walk->dir = nullptr;
            return SkipDirectory(walk, WalkNote::NotEntered, FsLastError());  // vanished, refused, or no folder
        }
        walk->directory = FsDirectoryPath(walk->dir);
        if (walk->options.moveCursor)
            FsSetCurrentDirectory(walk->directory);  // the cursor only: a refusal changes nothing
        switch (FsListFirst(walk->dir, &walk->listing, &walk->entry)) {
        case FsListStart::Listed:
            return HandleEntry(walk);
        case FsListStart::Empty:
            walk->listing = nullptr;
            FinishDirectory(walk);
            continue;
        case FsListStart::Failed:
            walk->listing = nullptr;
            // Only the root ends the scan: one unreadable folder must not end a drive's scan.
            if (walk->atRoot) {
                walk->note = WalkNote::NotListed;
                walk->noteError = FsLastError();
                CloseDirectory(walk);
                if (walk->frontier != nullptr)
                    ReleaseFolder(walk);
                return WalkStep::RootUnlisted;
            }
            return SkipDirectory(walk, WalkNote::NotListed, FsLastError());
        }
    }
}

WalkStep WalkFile(TreeWalk* walk)
{
    ReleaseDisposals(walk);
    walk->note = WalkNote::None;
    walk->noteError = 0;
    if (StopSeen(walk))
        return WalkStep::Stopped;
    const char* path = WalkCurrentEntry(walk);
    walk->queue.readOffset = walk->queue.writeOffset;  // nothing is left to list
    ++walk->counts.files;
    if (std::snprintf(walk->path, sizeof walk->path, "%s", path) >= static_cast<int>(sizeof walk->path)) {
        walk->note = WalkNote::TooLong;
        ++walk->counts.skipped;
        return WalkStep::Entry;
    }
    FsFile file;
    if (!FsOpenFile(path, &file)) {
        NoteUnreadable(walk, FsLastError());
        return WalkStep::Entry;
    }
    return TestFile(walk, file, file.name);
}

void WalkEnd(TreeWalk* walk)
{
    ReleaseDisposals(walk);
    CloseDirectory(walk);
    QueueFree(&walk->queue);
}
