// Files listed ahead of their test, for a scan that reads them in the disk's order: a batch of
// files from many folders is listed first, then its files are opened in the order of their inode
// numbers (on NTFS the MFT records, so the file table is read in turn) to learn where each one's
// data begins, then tested in that order. A file whose place is not known keeps its place in the
// listing, ahead of the placed ones. On a spinning disk that turns a seek per file into a few
// sweeps over the volume; on an SSD the order costs nothing and gains nothing.
//
// The batch is bounded: at most kBatchFiles files, kBatchFolders folders (each held open, by a
// handle of its own, until the batch is tested) and kBatchText bytes of their names and paths,
// whatever the volume holds. No file is held open between its placing and its test. Nothing here
// calls the file system but to close the folders: the walk opens, places and tests the files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fs/file_system.h"

constexpr size_t kBatchFiles = 32768;
constexpr size_t kBatchFolders = 2048;
constexpr size_t kBatchText = size_t{4} << 20;

struct BatchFolder {
    FsDir dir;      // a handle of the batch's own
    uint32_t path;  // its path, an offset into the batch's text
};

struct BatchFile {
    uint64_t index;   // its inode number as listed (0: none given)
    uint64_t place;   // where its data begins, to order the files of one volume by
    uint32_t folder;  // in the batch's folders
    uint32_t name;    // an offset into the batch's text
    uint32_t listed;  // its place in the listing
    bool followReparse;
    bool placed;      // place is known
};

struct FileBatch {
    BatchFile* files;      // kBatchFiles records, in the order listed
    uint32_t* order;       // the records to place, then to test, in turn
    BatchFolder* folders;  // kBatchFolders
    char* text;            // kBatchText bytes
    size_t count;          // files listed
    size_t folderCount;
    size_t textUsed;
    size_t folderRoom;     // folders it may hold: kBatchFolders, or fewer handles to be had
    size_t next;           // the next in order to test; count when none waits
};

// Takes room for a batch (the memory is touched only as files are listed), to hold at most
// folderRoom folders; false when it cannot be had.
bool BatchReserve(FileBatch* batch, size_t folderRoom);
// Closes the folders and gives the room back.
void BatchFree(FileBatch* batch);

// Adds an open folder, which the batch then owns, by its path, as *folder; false (dir not taken)
// when the batch has no room for it.
bool BatchAddFolder(FileBatch* batch, FsDir dir, const char* path, uint32_t* folder);
// Adds a listed file of the batch's folder; false when there is no room for it.
bool BatchAddFile(FileBatch* batch, uint32_t folder, const FsEntry& entry);

inline bool BatchFull(const FileBatch& batch)
{
    return batch.count == kBatchFiles || batch.folderCount == batch.folderRoom;
}

// The file's listed entry (name, inode number, how to open it) into entry, and its folder.
const BatchFolder& BatchEntry(const FileBatch& batch, const BatchFile& file, FsEntry* entry);
inline const char* BatchPath(const FileBatch& batch, const BatchFolder& folder)
{
    return batch.text + folder.path;
}

// Orders the files for placing: by inode number, files without one in the listing's order.
void BatchOrderToPlace(FileBatch* batch);
// Orders the files for testing: by place, files without one first, in the listing's order.
void BatchOrderToTest(FileBatch* batch);

// The next file to test, in the order last set; null once every one was taken.
BatchFile* BatchNext(FileBatch* batch);
// Closes the folders and empties the batch.
void BatchClear(FileBatch* batch);
