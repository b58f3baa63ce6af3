// Files listed ahead of their test, from many folders, in the disk's order.
#include "scan/file_batch.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

bool BatchReserve(FileBatch* batch, size_t folderRoom)
{
    *batch = FileBatch{};
    batch->files = static_cast<BatchFile*>(std::malloc(kBatchFiles * sizeof(BatchFile)));
    batch->order = static_cast<uint32_t*>(std::malloc(kBatchFiles * sizeof(uint32_t)));
    batch->folders = static_cast<BatchFolder*>(std::malloc(kBatchFolders * sizeof(BatchFolder)));
    batch->text = static_cast<char*>(std::malloc(kBatchText));
    if (batch->files == nullptr || batch->order == nullptr || batch->folders == nullptr || batch->text == nullptr) {
        BatchFree(batch);
        return false;
    }
    batch->folderRoom = std::min(folderRoom, kBatchFolders);
    return true;
}

void BatchFree(FileBatch* batch)
{
    BatchClear(batch);
    std::free(batch->files);
    std::free(batch->order);
    std::free(batch->folders);
    std::free(batch->text);
    *batch = FileBatch{};
}

namespace {

// Copies text into the batch's text; false when it does not fit.
bool Keep(FileBatch* batch, const char* text, uint32_t* at)
{
    const size_t size = std::strlen(text) + 1;
    if (size > kBatchText - batch->textUsed)
        return false;
    *at = static_cast<uint32_t>(batch->textUsed);
    std::memcpy(batch->text + batch->textUsed, text, size);
    batch->textUsed += size;
    return true;
}

}  // namespace

bool BatchAddFolder(FileBatch* batch, FsDir dir, const char* path, uint32_t* added)
{
    if (batch->folderCount == batch->folderRoom)
        return false;
    BatchFolder& folder = batch->folders[batch->folderCount];
    if (!Keep(batch, path, &folder.path))
        return false;
    folder.dir = dir;
    *added = static_cast<uint32_t>(batch->folderCount++);
    return true;
}

bool BatchAddFile(FileBatch* batch, uint32_t folder, const FsEntry& entry)
{
    if (batch->count == kBatchFiles || folder >= batch->folderCount)
        return false;
    const uint32_t at = static_cast<uint32_t>(batch->count);
    BatchFile& file = batch->files[at];
    if (!Keep(batch, entry.name, &file.name))
        return false;
    file.index = entry.index;
    file.place = 0;
    file.folder = folder;
    file.listed = at;
    file.followReparse = entry.followReparse;
    file.placed = false;
    batch->order[at] = at;
    ++batch->count;
    return true;
}

const BatchFolder& BatchEntry(const FileBatch& batch, const BatchFile& file, FsEntry* entry)
{
    const char* name = batch.text + file.name;
    std::memcpy(entry->name, name, std::strlen(name) + 1);  // listed from an FsEntry: it fits
    entry->isDirectory = entry->isLink = entry->isSpecial = false;
    entry->followReparse = file.followReparse;
    entry->index = file.index;
    return batch.folders[file.folder];
}

void BatchOrderToPlace(FileBatch* batch)
{
    const BatchFile* files = batch->files;
    // An index of 0 is none given: those sort first, and keep the listing's order among them.
    std::sort(batch->order, batch->order + batch->count, [files](uint32_t a, uint32_t b) {
        return files[a].index != files[b].index ? files[a].index < files[b].index : a < b;
    });
    batch->next = 0;
}

void BatchOrderToTest(FileBatch* batch)
{
    const BatchFile* files = batch->files;
    std::sort(batch->order, batch->order + batch->count, [files](uint32_t a, uint32_t b) {
        const BatchFile& x = files[a];
        const BatchFile& y = files[b];
        if (x.placed != y.placed)
            return !x.placed;
        if (x.placed && x.place != y.place)
            return x.place < y.place;
        return x.listed < y.listed;
    });
    batch->next = 0;
}

BatchFile* BatchNext(FileBatch* batch)
{
    return batch->next < batch->count ? &batch->files[batch->order[batch->next++]] : nullptr;
}

void BatchClear(FileBatch* batch)
{
    for (size_t at = 0; at < batch->folderCount; ++at)
        FsCloseDirectory(batch->folders[at].dir);
    batch->count = batch->folderCount = batch->textUsed = batch->next = 0;
}
