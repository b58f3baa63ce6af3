// The drive scan's walk: queue, chain, listing, classification, counting and disposal.
#include "scan/tree_walk.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "detect/file_source.h"
#include "fs/test_seams.h"

// A queued folder. Its queue entry (or the walk that took it), each chain link that holds it and
// each node queued below it hold one reference; the last one out frees it.
struct FolderNode {
    FolderNode* parent;  // null for the root
    std::atomic<int> refs;
    // Its subfolders queued and not yet entered, and 1 while it is listed: while any wait, the
    // folder may stay open for them all (shared), so that each costs one open.
    std::atomic<int> waiting;
    std::atomic<FsDir> shared;
    uint32_t depth;
    FsFileId id;   // what its parent's listing saw it to be
    char name[1];  // the root's: its whole path as the user named it
};

namespace {

FolderNode* NewNode(FolderNode* parent, const char* name, const FsFileId& id)
{
    const size_t length = std::strlen(name);
    void* memory = std::malloc(sizeof(FolderNode) + length);
    if (memory == nullptr)
        return nullptr;
    auto* node = new (memory) FolderNode;
    node->parent = parent;
    node->refs.store(1, std::memory_order_relaxed);
    node->waiting.store(0, std::memory_order_relaxed);
    node->shared.store(nullptr, std::memory_order_relaxed);
    node->depth = parent != nullptr ? parent->depth + 1 : 0;
    node->id = id;
    std::memcpy(node->name, name, length + 1);
    if (parent != nullptr)
        parent->refs.fetch_add(1, std::memory_order_relaxed);
    return node;
}

FolderNode* Hold(FolderNode* node)
{
    node->refs.fetch_add(1, std::memory_order_relaxed);
    return node;
}

// Folders held open for their subfolders, by all walks together.
std::atomic<int> sharedFolders{0};

void CloseShared(FolderNode* node)
{
    if (FsDir dir = node->shared.exchange(nullptr, std::memory_order_acq_rel)) {
        FsCloseDirectory(dir);
        sharedFolders.fetch_sub(1, std::memory_order_relaxed);
    }
}

// One of the folder's waits is over; the last one closes it.
void Settle(FolderNode* node)
{
    if (node->waiting.fetch_sub(1, std::memory_order_acq_rel) == 1)
        CloseShared(node);
}

void Release(FolderNode* node)
{
    while (node != nullptr && node->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        FolderNode* parent = node->parent;
        CloseShared(node);  // subfolders that were never entered (a stop)
        node->~FolderNode();
        std::free(node);
        node = parent;
    }
}

}  // namespace

bool QueueInit(DirQueue* queue, size_t capacity)
{
    *queue = DirQueue{};
    capacity = capacity / sizeof(FolderNode*) > 0 ? capacity / sizeof(FolderNode*) : 1;
    queue->entries = static_cast<FolderNode**>(std::malloc(capacity * sizeof(FolderNode*)));
    if (queue->entries == nullptr)
        return false;
    queue->capacity = capacity;
    return true;
}

bool QueuePush(DirQueue* queue, FolderNode* node)
{
    if (queue->writeOffset == queue->capacity && queue->readOffset > 0) {
        // Taken entries are dropped first, so that the block grows with the folders waiting only.
        std::memmove(queue->entries, queue->entries + queue->readOffset,
                     (queue->writeOffset - queue->readOffset) * sizeof(FolderNode*));
        queue->writeOffset -= queue->readOffset;
        queue->readOffset = 0;
    }
    if (queue->writeOffset == queue->capacity) {
        if (queue->capacity > SIZE_MAX / 2 / sizeof(FolderNode*))
            return false;
        auto* entries = static_cast<FolderNode**>(std::realloc(queue->entries, 2 * queue->capacity * sizeof(FolderNode*)));
        if (entries == nullptr)
            return false;
        queue->entries = entries;
        queue->capacity *= 2;
    }
    queue->entries[queue->writeOffset++] = node;
    return true;
}

void QueueFree(DirQueue* queue)
{
    for (size_t at = queue->readOffset; at < queue->writeOffset; ++at)
        Release(queue->entries[at]);
    std::free(queue->entries);
    *queue = DirQueue{};
}

const char* WalkCurrentEntry(const TreeWalk* walk)
{
    return walk->batchTest ? walk->batchFolder : walk->folder;
}

namespace {

// A queue with the root's node in it, and a hold on that node in *root.
bool QueueRoot(DirQueue* queue, const char* path, size_t capacity, FolderNode** root)
{
    if (!QueueInit(queue, capacity))
        return false;
    *root = NewNode(nullptr, path, FsFileId{});
    if (*root == nullptr || !QueuePush(queue, *root)) {
        Release(*root);
        *root = nullptr;
        QueueFree(queue);
        return false;
    }
    Hold(*root);
    return true;
}

}  // namespace

bool FrontierBegin(WalkFrontier* frontier, const char* root, size_t queueCapacity)
{
    frontier->busy = 0;
    frontier->rootTaken = frontier->ended = false;
    frontier->rootDir = nullptr;
    frontier->walks = 0;
    DiskBatch& disk = frontier->disk;
    disk.files = FileBatch{};
    disk.phase = BatchPhase::Listing;
    disk.toPlace = 0;
    disk.working = disk.probes = 0;
    disk.round = 0;
    disk.placing = disk.noRoom = disk.oneLister = false;
    disk.asListed = 0;
    return QueueRoot(&frontier->queue, root, queueCapacity, &frontier->root);
}

void FrontierEnd(WalkFrontier* frontier)
{
    QueueFree(&frontier->queue);
    BatchFree(&frontier->disk.files);
    Release(frontier->root);
    frontier->root = nullptr;
    if (frontier->rootDir != nullptr)
        FsCloseDirectory(frontier->rootDir);
    frontier->rootDir = nullptr;
}

namespace {

void Prepare(TreeWalk* walk, char* text, size_t textCapacity, const WalkOptions& options,
             const std::atomic<int>* stopRequested, WalkFrontier* frontier)
{
    walk->queue = DirQueue{};
    walk->root = walk->node = nullptr;
    walk->rootDir = walk->dir = nullptr;
    walk->chain.clear();
    walk->firstOpen = 1;
    walk->entered = false;
    walk->steps.clear();
    walk->listing = nullptr;
    walk->pending = walk->probing = walk->folderBatched = walk->batchTest = false;
    walk->batchRound = walk->batchFolderAt = 0;
    walk->batchFolder[0] = '\0';
    walk->heldCount = walk->heldNext = 0;
    walk->directory = "";
    walk->folder[0] = walk->path[0] = walk->target[0] = '\0';
    walk->outcome = FileOutcome{};
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

void WalkJoin(TreeWalk* walk, WalkFrontier* frontier, char* text, size_t textCapacity, const WalkOptions& options,
              const std::atomic<int>* stopRequested)
{
    Prepare(walk, text, textCapacity, options, stopRequested, frontier);
    frontier->walks.fetch_add(1);
}

bool WalkBegin(TreeWalk* walk, const char* root, char* text, size_t textCapacity, const WalkOptions& options,
               const std::atomic<int>* stopRequested, size_t queueCapacity)
{
    Prepare(walk, text, textCapacity, options, stopRequested, nullptr);
    // The root is copied before the text buffer that may hold it is used for progress.
    return QueueRoot(&walk->queue, root, queueCapacity, &walk->root);
}

namespace {

bool StopSeen(const TreeWalk* walk)
{
    return walk->stopRequested != nullptr && walk->stopRequested->load() != 0;
}

// How many folders of its chain the walk keeps open: its share of kHeldFolders.
size_t ChainShare(const TreeWalk* walk)
{
    const int walks = walk->frontier != nullptr ? walk->frontier->walks.load(std::memory_order_relaxed) : 1;
    const int share = kHeldFolders / (walks > 0 ? walks : 1);
    return share > 2 ? static_cast<size_t>(share) : 2;
}

// Lets go of the chain's links from depth on (the root's link stays while depth is above 0).
void CutChain(TreeWalk* walk, size_t depth)
{
    while (walk->chain.size() > depth) {
        ChainLink& link = walk->chain.back();
        if (link.dir != nullptr && walk->chain.size() > 1)
            FsCloseDirectory(link.dir);
        Release(link.node);
        walk->chain.pop_back();
    }
    if (walk->firstOpen > walk->chain.size())
        walk->firstOpen = walk->chain.size() > 1 ? walk->chain.size() : 1;
}

// Adds the open folder dir of node to the chain, closing its shallowest open folder (the root
// aside) when the walk would hold more than its share.
void Extend(TreeWalk* walk, FolderNode* node, FsDir dir, size_t pathLength)
{
    walk->chain.push_back(ChainLink{Hold(node), dir, pathLength});
    if (walk->chain.size() - walk->firstOpen > ChainShare(walk)) {
        ChainLink& oldest = walk->chain[walk->firstOpen++];
        FsCloseDirectory(oldest.dir);
        oldest.dir = nullptr;
    }
}

// Adds node to the chain without opening it (a folder on the way that its subfolder's shared
// parent skips); the open folders above it close, as the chain keeps its open ones deepest.
void Pass(TreeWalk* walk, FolderNode* node, size_t pathLength)
{
    for (; walk->firstOpen < walk->chain.size(); ++walk->firstOpen) {
        ChainLink& link = walk->chain[walk->firstOpen];
        FsCloseDirectory(link.dir);
        link.dir = nullptr;
    }
    walk->chain.push_back(ChainLink{Hold(node), nullptr, pathLength});
    walk->firstOpen = walk->chain.size();
}

// Appends the separator and name to walk->folder at length; false when it would not fit.
bool AppendName(TreeWalk* walk, size_t* length, const char* name)
{
    const size_t size = std::strlen(name);
    const bool separator = *length > 0 && walk->folder[*length - 1] != kFsSeparator;
    if (*length + separator + size + 1 > sizeof walk->folder)
        return false;
    if (separator)
        walk->folder[(*length)++] = kFsSeparator;
    std::memcpy(walk->folder + *length, name, size + 1);
    *length += size;
    return true;
}

// Opens the folder of walk->node below the root: from the deepest open folder of the chain that
// lies on its way, each folder down to it by its name, each checked against what its parent's
// listing saw. Its path goes into walk->folder first, for any note. False with FsLastError() set;
// the chain then ends with the last folder that could be opened.
bool Reach(TreeWalk* walk)
{
    std::vector<ChainLink>& chain = walk->chain;
    if (chain.empty()) {
        WalkFrontier* frontier = walk->frontier;
        FolderNode* root = frontier != nullptr ? frontier->root : walk->root;
        chain.push_back(ChainLink{Hold(root), frontier != nullptr ? frontier->rootDir : walk->rootDir,
                                  std::strlen(root->name)});
        std::memcpy(walk->folder, root->name, chain[0].pathLength + 1);
    }
    // The parent held open for its subfolders serves alone; else the folders to open, deepest
    // first, up to one that the chain holds open (the root at least). Either way the chain
    // becomes the folders from the root down to this one.
    FsDir shared = walk->node->parent->shared.load(std::memory_order_acquire);
    walk->steps.clear();
    for (FolderNode* at = walk->node;; at = at->parent) {
        walk->steps.push_back(at);
        const FolderNode* up = at->parent;
        if (up->depth < chain.size() && chain[up->depth].node == up && (shared != nullptr || chain[up->depth].dir != nullptr))
            break;
    }
    CutChain(walk, walk->steps.back()->depth);
    size_t length = chain.back().pathLength;
    for (size_t i = walk->steps.size(); i-- > 0;)
        AppendName(walk, &length, walk->steps[i]->name);  // fits: the whole path was checked when queued
    SeamPauseBeforeEntering(walk->node->name, walk->folder);
    length = chain.back().pathLength;
    for (size_t i = walk->steps.size(); i-- > 0;) {
        FolderNode* step = walk->steps[i];
        length += (walk->folder[length] == kFsSeparator) + std::strlen(step->name);
        if (shared != nullptr && i > 0) {
            Pass(walk, step, length);
            continue;
        }
        const char kept = walk->folder[length];
        walk->folder[length] = '\0';
        FsDir dir;
        FsFileId id;
        const bool opened =
            FsOpenSubdirectory(shared != nullptr ? shared : chain.back().dir, step->name, step->id, walk->folder, &dir, &id);
        walk->folder[length] = kept;
        if (!opened)
            return false;
        Extend(walk, step, dir, length);
    }
    return true;
}

// Lets go of the folder taken (the chain keeps it, open while its share allows); a shared walk
// gives it back, and the last one out with nothing waiting wakes the others.
void FinishDirectory(TreeWalk* walk)
{
    if (walk->listing != nullptr) {
        FsListClose(walk->listing);
        walk->listing = nullptr;
    }
    walk->dir = nullptr;
    walk->directory = "";
    FolderNode* node = walk->node;
    if (walk->entered) {
        // Subfolders wait: the folder stays open for them (within kSharedFolders), whichever walk
        // takes them, instead of being opened again for each.
        std::vector<ChainLink>& chain = walk->chain;
        walk->entered = false;
        if (node->depth > 0 && chain.back().node == node && chain.back().dir != nullptr &&
            node->waiting.load(std::memory_order_acquire) > 1) {
            if (sharedFolders.fetch_add(1, std::memory_order_relaxed) < kSharedFolders) {
                node->shared.store(chain.back().dir, std::memory_order_release);
                chain.back().dir = nullptr;
                CutChain(walk, chain.size() - 1);
            } else {
                sharedFolders.fetch_sub(1, std::memory_order_relaxed);
            }
        }
        Settle(node);
    }
    Release(node);
    walk->node = nullptr;
    if (WalkFrontier* frontier = walk->frontier) {
        std::lock_guard<std::mutex> hold(frontier->lock);
        if (--frontier->busy == 0 && frontier->queue.readOffset >= frontier->queue.writeOffset)
            frontier->changed.notify_all();
        else if (frontier->busy == 0 && walk->options.diskOrder)
            frontier->changed.notify_one();  // a walk that waits to list (TakeFolder)
    }
}

// In the disk's order the waiting folders are a heap by inode number (the queue's taken part
// stays empty): the lowest is entered next, so that the walks go over the file table in sweeps
// instead of a seek for each folder.
bool Lower(const FolderNode* a, const FolderNode* b)
{
    return a->id.file < b->id.file;
}

bool HeapPush(DirQueue* queue, FolderNode* node)
{
    if (!QueuePush(queue, node))
        return false;
    FolderNode** heap = queue->entries;
    for (size_t at = queue->writeOffset - 1; at > 0 && Lower(heap[at], heap[(at - 1) / 2]); at = (at - 1) / 2)
        std::swap(heap[at], heap[(at - 1) / 2]);
    return true;
}

FolderNode* HeapTake(DirQueue* queue)
{
    FolderNode** heap = queue->entries;
    FolderNode* lowest = heap[0];
    const size_t count = --queue->writeOffset;
    heap[0] = heap[count];
    for (size_t at = 0;;) {
        size_t least = at;
        for (const size_t child : {2 * at + 1, 2 * at + 2})
            if (child < count && Lower(heap[child], heap[least]))
                least = child;
        if (least == at)
            break;
        std::swap(heap[at], heap[least]);
        at = least;
    }
    return lowest;
}

// Queues a folder for a shared walk.
bool SharePush(WalkFrontier* frontier, FolderNode* node, bool diskOrder)
{
    std::lock_guard<std::mutex> hold(frontier->lock);
    if (!(diskOrder ? HeapPush(&frontier->queue, node) : QueuePush(&frontier->queue, node))) {
        frontier->ended = true;
        frontier->changed.notify_all();
        return false;
    }
    frontier->changed.notify_one();
    return true;
}

void SealBatch(WalkFrontier* frontier);

// Takes the next waiting folder into walk->node; waits while other walks may still queue some.
// Entry when one was taken; Entry with no folder in the disk's order when the batch's turn came:
// it is placed or tested, or this walk, the last, sealed it.
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
        // While a round of the disk's order lists on a volume that serves one request at a time,
        // one walk at a time lists: the folders are read in the order taken, not side by side.
        const DiskBatch& disk = frontier->disk;
        const bool oneLister = disk.oneLister && disk.placing && disk.phase == BatchPhase::Listing;
        if (queue.readOffset < queue.writeOffset && !(oneLister && frontier->busy > 0))
            break;
        if (walk->options.diskOrder) {
            if (disk.phase == BatchPhase::Listing && frontier->busy == 0 && disk.files.count > 0)
                SealBatch(frontier);  // nothing more to list
            if (disk.phase != BatchPhase::Listing)
                return WalkStep::Entry;
        }
        if (frontier->busy == 0)
            return WalkStep::Finished;
        // A signal handler cannot notify, so the stop request is polled.
        frontier->changed.wait_for(hold, std::chrono::milliseconds(20));
    }
    if (walk->options.diskOrder) {
        walk->node = HeapTake(&queue);
    } else {
        walk->node = queue.entries[queue.readOffset++];
        if (queue.readOffset == queue.writeOffset)
            queue.readOffset = queue.writeOffset = 0;
    }
    walk->atRoot = !frontier->rootTaken;
    frontier->rootTaken = true;
    ++frontier->busy;
    return WalkStep::Entry;
}

// Builds the whole path of the entry name into walk->path; false, noted as a skip, when it does
// not fit.
bool BuildEntryPath(TreeWalk* walk, const char* name)
{
    if (BuildChildPath(walk->directory, name, walk->path, sizeof walk->path, kFsSeparator))
        return true;
    BuildChildPath("", name, walk->path, sizeof walk->path, kFsSeparator);
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
    if (!BuildEntryPath(walk, name))
        return WalkStep::Entry;
    FsFileId id{};
    if (!FsEntryId(walk->dir, entry, &id)) {
        walk->note = WalkNote::NotEntered;  // gone since the listing
        walk->noteError = FsLastError();
        ++walk->counts.skipped;
        return WalkStep::Entry;
    }
    FolderNode* node = NewNode(walk->node, entry.name, id);
    if (node != nullptr)
        walk->node->waiting.fetch_add(1, std::memory_order_relaxed);
    WalkFrontier* frontier = walk->frontier;
    const bool queued = node != nullptr && (frontier != nullptr ? SharePush(frontier, node, walk->options.diskOrder)
                                                                : QueuePush(&walk->queue, node));
    if (!queued) {
        Release(node);
        ++walk->counts.skipped;  // the folder being listed: its subfolders cannot all be queued
        return WalkStep::OutOfMemory;
    }
    ++walk->counts.directories;
    return WalkStep::Entry;
}

void NoteUnreadable(TreeWalk* walk, int error)
{
    walk->note = WalkNote::Unreadable;
    walk->noteError = error;
    ++walk->counts.skipped;
}

// The last check before a disposal: shared walks take their disposal lock first (held until the
// next step begins); a stop seen then leaves the file, counted, so named too: the next step ends
// the walk.
bool MayDispose(void* context)
{
    auto* walk = static_cast<TreeWalk*>(context);
    if (walk->options.disposals != nullptr) {
        walk->options.disposals->lock();
        walk->holdsDisposals = true;
    }
    if (!StopSeen(walk))
        return true;
    ReleaseDisposals(walk);
    return false;
}

// The open file named name: classified and, as a 32-bit Windows program, tested; an infected one
// is disposed of through the same handle as the walk's options say.
WalkStep TestFile(TreeWalk* walk, FsFile& file, const char* name)
{
    const FileRequest request{Examination::Listed, name, walk->path, nullptr, walk->target, sizeof walk->target};
    const DisposalGate gate{MayDispose, walk};
    walk->outcome = TestAndDispose(&file, request, walk->options.disposal, &gate);
    FsClose(&file);
    const FileCheck& check = walk->outcome.check;
    CountOutcome(&walk->counts, walk->outcome);
    if (check.verdict == FileVerdict::Unreadable) {
        walk->note = WalkNote::Unreadable;
        walk->noteError = check.error;
    } else if (check.verdict == FileVerdict::Infected) {
        walk->note = WalkNote::Infected;
    }
    if (check.type != pe::kNotExecutable)
        FormatProgress(walk->text, walk->textCapacity, WalkCurrentEntry(walk),
                       check.type == pe::kWin32Binary ? name : nullptr);
    return WalkStep::Entry;
}

// Files of a round asked for their place, without one, before the rest are tested as listed.
constexpr int kPlaceProbes = 32;

// The file about to be tested as listed, the first of a round in the disk's order: in memory, the
// next kBatchFiles files are tested as listed too; with a place, the rest go into the batch.
void Probe(TreeWalk* walk, const FsFile& file)
{
    uint64_t place;
    const FsPlace found = FsDataPlace(file, true, &place);
    DiskBatch& disk = walk->frontier->disk;
    std::lock_guard<std::mutex> hold(walk->frontier->lock);
    if (disk.placing || disk.asListed.load(std::memory_order_relaxed) > 0)
        return;  // another walk's probe decided
    if (found == FsPlace::Known) {
        disk.placing = true;
    } else if (found == FsPlace::Cached || ++disk.probes == kPlaceProbes) {
        disk.asListed.store(kBatchFiles, std::memory_order_relaxed);
        disk.probes = 0;
    }
}

// A listed file: opened without following a link, then tested.
WalkStep HandleFile(TreeWalk* walk)
{
    const FsEntry& entry = walk->entry;
    ++walk->counts.files;
    if (entry.isSpecial || entry.isLink)
        return WalkStep::Entry;
    if (!BuildEntryPath(walk, entry.name))
        return WalkStep::Entry;
    FsFile file;
    if (!FsOpenChild(walk->dir, entry, &file)) {
        NoteUnreadable(walk, FsLastError());
        return WalkStep::Entry;
    }
    if (walk->probing)
        Probe(walk, file);
    return TestFile(walk, file, entry.name);
}

WalkStep HandleEntry(TreeWalk* walk)
{
    return walk->entry.isDirectory ? HandleDirectory(walk) : HandleFile(walk);
}

// The room for the batch's folders: each holds a handle, and the walks need theirs.
size_t FolderRoom()
{
    const size_t limit = FsHandleLimit();
    return limit > kWalkHandles ? limit - kWalkHandles : 0;
}

// Learns where the data of the batch's file lies (opened and closed again; one that cannot be
// opened now has its test say why).
void PlaceFile(TreeWalk* walk, BatchFile* listed)
{
    const FileBatch& batch = walk->frontier->disk.files;
    const BatchFolder& folder = BatchEntry(batch, *listed, &walk->batchEntry);
    FsFile file;
    if (!FsOpenChild(folder.dir, walk->batchEntry, &file))
        return;
    listed->placed = FsDataPlace(file, false, &listed->place) == FsPlace::Known;
    FsClose(&file);
}

// The batch is full, or nothing more is to be listed: its files are placed next, by every walk,
// in the order of their inode numbers. Under the frontier's lock.
void SealBatch(WalkFrontier* frontier)
{
    DiskBatch& disk = frontier->disk;
    disk.phase = BatchPhase::Placing;
    disk.toPlace = 0;
    BatchOrderToPlace(&disk.files);
    frontier->changed.notify_all();
}

// In the disk's order, a listed file goes into the batch (false: it is tested as listed, at once).
// While the batch is placed or tested the file waits (walk->pending); a full batch is sealed.
bool Batched(TreeWalk* walk)
{
    const FsEntry& entry = walk->entry;
    WalkFrontier* frontier = walk->frontier;
    if (!walk->options.diskOrder || frontier == nullptr || entry.isDirectory || entry.isSpecial || entry.isLink)
        return false;
    DiskBatch& disk = frontier->disk;
    if (disk.asListed.load(std::memory_order_relaxed) > 0) {
        disk.asListed.fetch_sub(1, std::memory_order_relaxed);
        return false;
    }
    std::unique_lock<std::mutex> hold(frontier->lock);
    if (disk.noRoom)
        return false;
    if (disk.phase != BatchPhase::Listing) {
        walk->pending = true;
        return true;
    }
    if (!disk.placing) {
        walk->probing = true;
        return false;
    }
    FileBatch& batch = disk.files;
    if (batch.files == nullptr && !BatchReserve(&batch, FolderRoom())) {
        disk.noRoom = true;
        return false;
    }
    if (batch.folderRoom == 0) {
        disk.noRoom = true;
        return false;
    }
    if (!walk->folderBatched || walk->batchRound != disk.round) {
        FsDir copy;
        if (!FsCopyDirectory(walk->dir, &copy))
            return false;  // no handle to be had for it: its files as listed
        if (!BatchAddFolder(&batch, copy, walk->directory, &walk->batchFolderAt)) {
            FsCloseDirectory(copy);
            walk->pending = true;
            SealBatch(frontier);
            return true;
        }
        walk->folderBatched = true;
        walk->batchRound = disk.round;
    }
    if (!BatchAddFile(&batch, walk->batchFolderAt, entry)) {
        walk->pending = true;
        SealBatch(frontier);
    } else if (BatchFull(batch)) {
        SealBatch(frontier);
    }
    return true;
}

// Opens the batch's file held again by its name in folder, unless it is no longer the file
// listed (its error then).
void OpenHeld(FsDir folder, HeldFile* held)
{
    held->error = 0;
    if (!FsOpenChild(folder, held->entry, &held->file)) {
        held->error = FsLastError();
        return;
    }
    if (held->entry.index != 0) {  // a listing that gives true inode numbers: the same file, or none
        FsFileId opened, listed;
        if (!FsFileIdOf(held->file, &opened) || !FsEntryId(folder, held->entry, &listed))
            held->error = FsLastError();
        else if (!FsSameFile(opened, listed))
            held->error = FsReplacedError();
        if (held->error != 0)
            FsClose(&held->file);
    }
}

// Takes the batch's next files to test (its share of them) under the frontier's lock; false when
// none is left. OpenHeldFiles opens them then, unlocked.
bool HoldFiles(TreeWalk* walk)
{
    FileBatch& batch = walk->frontier->disk.files;
    const int walks = walk->frontier->walks.load(std::memory_order_relaxed);
    const size_t share = std::min<size_t>(kHeldFiles, std::max(1, kSharedFolders / std::max(walks, 1)));
    walk->heldCount = walk->heldNext = 0;
    while (walk->heldCount < share) {
        const BatchFile* listed = BatchNext(&batch);
        if (listed == nullptr)
            break;
        HeldFile& held = walk->held[walk->heldCount++];
        BatchEntry(batch, *listed, &held.entry);
        held.folder = listed->folder;
    }
    return walk->heldCount > 0;
}

// Opens the files taken as the turn-th share, then asks for their heads to be read once those of
// the shares before were: so the disk is asked in the batch's order however the walks that test
// them run, while the walks open their files side by side.
void OpenHeldFiles(TreeWalk* walk, size_t turn)
{
    DiskBatch& disk = walk->frontier->disk;
    for (size_t at = 0; at < walk->heldCount; ++at)
        OpenHeld(disk.files.folders[walk->held[at].folder].dir, &walk->held[at]);
    std::unique_lock<std::mutex> hold(disk.askLock);
    disk.asked.wait(hold, [&] { return disk.nextAsked == turn; });
    for (size_t at = 0; at < walk->heldCount; ++at)
        if (walk->held[at].error == 0)
            FsReadAhead(walk->held[at].file, 0, kFileHead);
    ++disk.nextAsked;
    disk.asked.notify_all();
}

// The next held file, tested (and disposed of through the handle opened) or noted: one step.
WalkStep TestHeld(TreeWalk* walk)
{
    HeldFile& held = walk->held[walk->heldNext++];
    const FileBatch& batch = walk->frontier->disk.files;
    const char* folder = BatchPath(batch, batch.folders[held.folder]);
    std::memcpy(walk->batchFolder, folder, std::strlen(folder) + 1);  // a walk's folder: it fits
    walk->batchTest = true;
    ++walk->counts.files;
    if (!BuildChildPath(walk->batchFolder, held.entry.name, walk->path, sizeof walk->path, kFsSeparator)) {
        if (held.error == 0)
            FsClose(&held.file);
        BuildChildPath("", held.entry.name, walk->path, sizeof walk->path, kFsSeparator);
        walk->note = WalkNote::TooLong;
        ++walk->counts.skipped;
        return WalkStep::Entry;
    }
    if (held.error != 0) {
        NoteUnreadable(walk, held.error);
        return WalkStep::Entry;
    }
    return TestFile(walk, held.file, held.entry.name);
}

// Closes the held files not tested (a stop).
void DropHeld(TreeWalk* walk)
{
    for (; walk->heldNext < walk->heldCount; ++walk->heldNext)
        if (walk->held[walk->heldNext].error == 0)
            FsClose(&walk->held[walk->heldNext].file);
}

// Every file of the batch was tested: it is emptied, and the walks list on into the next one.
void EndRound(WalkFrontier* frontier)
{
    DiskBatch& disk = frontier->disk;
    BatchClear(&disk.files);
    disk.phase = BatchPhase::Listing;
    ++disk.round;
    disk.placing = false;
    disk.probes = 0;
    frontier->changed.notify_all();
}

// The batch's turn: while it is placed or tested, the walk takes its next file to place (and goes
// on), or to test (true, with the step in *step), or waits for the others to finish theirs. False
// while files are listed into it.
bool BatchTurn(TreeWalk* walk, WalkStep* step)
{
    WalkFrontier* frontier = walk->frontier;
    if (!walk->options.diskOrder || frontier == nullptr)
        return false;
    DiskBatch& disk = frontier->disk;
    std::unique_lock<std::mutex> hold(frontier->lock);
    for (;;) {
        if (disk.phase == BatchPhase::Listing)
            return false;
        if (StopSeen(walk)) {
            *step = WalkStep::Stopped;
            return true;
        }
        FileBatch& batch = disk.files;
        if (disk.phase == BatchPhase::Placing && disk.toPlace < batch.count) {
            BatchFile* listed = &batch.files[batch.order[disk.toPlace++]];
            ++disk.working;
            hold.unlock();
            PlaceFile(walk, listed);
            hold.lock();
            if (--disk.working == 0 && disk.toPlace == batch.count) {  // every file placed
                BatchOrderToTest(&batch);
                disk.shares = 0;
                {
                    std::lock_guard<std::mutex> asking(disk.askLock);
                    disk.nextAsked = 0;
                }
                disk.phase = BatchPhase::Testing;
                frontier->changed.notify_all();
            }
            continue;
        }
        if (disk.phase == BatchPhase::Testing) {
            if (walk->heldNext < walk->heldCount || HoldFiles(walk)) {
                const bool taken = walk->heldNext == 0;
                const size_t turn = disk.shares;
                disk.working += taken;
                disk.shares += taken;
                hold.unlock();
                if (taken)
                    OpenHeldFiles(walk, turn);
                *step = TestHeld(walk);
                hold.lock();
                if (walk->heldNext == walk->heldCount)
                    --disk.working;
            }
            if (disk.working == 0 && batch.next == batch.count)
                EndRound(frontier);
            if (walk->batchTest)
                return true;
            if (disk.phase == BatchPhase::Listing)
                return false;
        }
        frontier->changed.wait_for(hold, std::chrono::milliseconds(20));
    }
}
// Notes why the folder taken is left, and moves past it.
WalkStep SkipDirectory(TreeWalk* walk, WalkNote note, int error)
{
    walk->note = note;
    walk->noteError = error;
    ++walk->counts.skipped;
    FinishDirectory(walk);
    return WalkStep::Skipped;
}

// The folder taken is open, the chain's last: it is listed next.
WalkStep Listed(TreeWalk* walk)
{
    walk->node->waiting.fetch_add(1, std::memory_order_relaxed);  // while it is listed
    walk->entered = true;
    walk->dir = walk->chain.back().dir;
    walk->directory = walk->folder;
    walk->folderBatched = false;
    if (walk->options.moveCursor)
        FsSetCurrentDirectory(walk->folder);  // the cursor only: a refusal changes nothing
    return WalkStep::Entry;
}

// Opens the folder taken: the root by its path, every other one from the chain. Entry when it
// may be listed; else the step that ends with it.
WalkStep Enter(TreeWalk* walk)
{
    if (walk->atRoot) {
        // The root is taken as the user named it, the one path the walk resolves.
        std::memcpy(walk->folder, walk->node->name, std::strlen(walk->node->name) + 1);
        FsDir dir;
        FsFileId id;
        if (!FsOpenDirectory(walk->folder, &dir, &id))
            return SkipDirectory(walk, WalkNote::NotEntered, FsLastError());  // refused, or no folder
        (walk->frontier != nullptr ? walk->frontier->rootDir : walk->rootDir) = dir;
        if (WalkFrontier* frontier = walk->frontier) {  // before any folder below it is queued
            const bool inTurn = walk->options.diskOrder && FsServedInTurn(dir);
            std::lock_guard<std::mutex> hold(frontier->lock);
            frontier->disk.oneLister = inTurn;
        }
        CutChain(walk, 0);
        walk->chain.push_back(ChainLink{Hold(walk->node), dir, std::strlen(walk->folder)});
    } else {
        const bool reached = Reach(walk);
        const int error = reached ? 0 : FsLastError();
        Settle(walk->node->parent);  // its wait for this one is over, entered or not
        if (reached)
            return Listed(walk);
        if (!FsPassedOver(error))
            return SkipDirectory(walk, WalkNote::NotEntered, error);  // vanished, swapped, or refused
        // Like a folder whose name begins with a dot: not counted, and nothing of it opened.
        walk->note = WalkNote::PassedOver;
        walk->noteError = error;
        std::memcpy(walk->path, walk->folder, sizeof walk->path);
        --walk->counts.directories;
        FinishDirectory(walk);
        return WalkStep::Entry;
    }
    return Listed(walk);
}

}  // namespace

WalkStep WalkNext(TreeWalk* walk)
{
    ReleaseDisposals(walk);
    walk->note = WalkNote::None;
    walk->noteError = 0;
    walk->probing = walk->batchTest = false;
    for (;;) {
        if (StopSeen(walk))
            return WalkStep::Stopped;
        WalkStep tested = WalkStep::Entry;
        if (BatchTurn(walk, &tested))
            return tested;
        if (walk->pending) {  // listed while the batch was tested
            walk->pending = false;
            if (Batched(walk))
                continue;
            return HandleEntry(walk);
        }
        if (walk->listing != nullptr) {
            if (FsListNext(walk->listing, &walk->entry)) {
                if (Batched(walk))
                    continue;
                return HandleEntry(walk);
            }
            FsListClose(walk->listing);
            walk->listing = nullptr;
            FinishDirectory(walk);
            continue;
        }
        if (walk->frontier != nullptr) {
            const WalkStep taken = TakeFolder(walk);
            if (taken != WalkStep::Entry)
                return taken;
            if (walk->node == nullptr)
                continue;  // the batch's turn
        } else if (walk->queue.readOffset >= walk->queue.writeOffset) {
            return WalkStep::Finished;
        } else {
            walk->node = walk->queue.entries[walk->queue.readOffset++];
            walk->atRoot = walk->node->parent == nullptr;
        }

        const WalkStep entered = Enter(walk);
        if (entered != WalkStep::Entry || walk->node == nullptr)
            return entered;
        switch (FsListFirst(walk->dir, &walk->listing, &walk->entry)) {
        case FsListStart::Listed:
            if (Batched(walk))
                continue;
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
                ++walk->counts.skipped;
                FinishDirectory(walk);
                return WalkStep::RootUnlisted;
            }
            return SkipDirectory(walk, WalkNote::NotListed, FsLastError());
        }
    }
}

void WalkEnd(TreeWalk* walk)
{
    ReleaseDisposals(walk);
    DropHeld(walk);
    if (walk->listing != nullptr)
        FsListClose(walk->listing);
    walk->listing = nullptr;
    if (walk->entered)
        Settle(walk->node);
    walk->entered = false;
    Release(walk->node);
    walk->node = nullptr;
    CutChain(walk, 0);
    QueueFree(&walk->queue);
    Release(walk->root);
    walk->root = nullptr;
    if (walk->rootDir != nullptr)
        FsCloseDirectory(walk->rootDir);
    walk->rootDir = walk->dir = nullptr;
}
