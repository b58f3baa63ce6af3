// A folder's files taken a batch at a time, for a walk that reads them in the disk's order: the
// batch is listed first, its files opened in the order of their inode numbers (on NTFS the MFT
// records, so the file table is read in turn), then tested in the order of where their data
// begins on the disk. A file whose place is not known keeps its place in the listing, ahead of
// the placed ones. On a spinning disk that turns a seek per file into a sweep; on an SSD the order
// costs nothing and gains nothing.
//
// The batch holds at most its capacity of files, each open from its batch's opening until it is
// tested, so the memory and handles it takes are bounded whatever the folder holds. Nothing here
// calls the file system: the walk opens and places the files, the batch only keeps and orders them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fs/file_system.h"

// Files the batches of all walks together hold open, at most (tree_walk.h counts them with the
// folders); one walk's batch takes its share, at least two.
constexpr size_t kBatchFiles = 128;

struct BatchFile {
    FsEntry entry;    // as listed; file.name points into it
    FsFile file;      // open (handle valid) from the batch's opening until it is tested
    uint64_t place;   // where its data begins, to order the files of one volume by
    uint32_t listed;  // its place in the listing
    bool placed;      // place is known
    int error;        // why it could not be opened (file not open), else 0
};

struct FileBatch {
    BatchFile* files;  // capacity records, in the order listed; never moved while files are open
    uint32_t* order;   // the records to open, then to test, in turn
    size_t capacity;
    size_t count;      // listed
    size_t next;       // the next in order to test; count when none waits
    bool opened;       // the batch's files were opened: it is being tested
};

// Takes room for capacity files; false when the memory cannot be had.
bool BatchReserve(FileBatch* batch, size_t capacity);
// Closes the files not yet tested and gives the room back.
void BatchFree(FileBatch* batch);

inline bool BatchFull(const FileBatch& batch)
{
    return batch.count == batch.capacity;
}

// Adds a listed file; the batch must not be full, nor opened.
void BatchAdd(FileBatch* batch, const FsEntry& entry);

// Orders the listed files for opening: by inode number, files without one in the listing's order.
void BatchOrderToOpen(FileBatch* batch);
// Orders the opened files for testing: by place, files without one first, in the listing's order.
void BatchOrderToTest(FileBatch* batch);

// The next file to test, in the order last set; null once every one was taken, the batch then
// empty again.
BatchFile* BatchNext(FileBatch* batch);
// Closes the files not yet tested and empties the batch (a walk that stops).
void BatchClear(FileBatch* batch);
