// A folder's files, a bounded batch at a time, in the disk's order.
#include "scan/file_batch.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

bool BatchReserve(FileBatch* batch, size_t capacity)
{
    *batch = FileBatch{};
    batch->files = static_cast<BatchFile*>(std::malloc(capacity * sizeof(BatchFile)));
    batch->order = static_cast<uint32_t*>(std::malloc(capacity * sizeof(uint32_t)));
    if (batch->files == nullptr || batch->order == nullptr) {
        BatchFree(batch);
        return false;
    }
    batch->capacity = capacity;
    return true;
}

void BatchFree(FileBatch* batch)
{
    BatchClear(batch);
    std::free(batch->files);
    std::free(batch->order);
    *batch = FileBatch{};
}

void BatchAdd(FileBatch* batch, const FsEntry& entry)
{
    const uint32_t at = static_cast<uint32_t>(batch->count++);
    BatchFile& file = batch->files[at];
    // The name as long as it is, not the whole record: a batch is filled for every folder.
    std::memcpy(file.entry.name, entry.name, std::strlen(entry.name) + 1);
    file.entry.isDirectory = entry.isDirectory;
    file.entry.isLink = entry.isLink;
    file.entry.followReparse = entry.followReparse;
    file.entry.index = entry.index;
    file.entry.isSpecial = entry.isSpecial;
    file.file = FsFile{-1, nullptr, nullptr, false};
    file.place = 0;
    file.listed = at;
    file.placed = false;
    file.error = 0;
    batch->order[at] = at;
}

void BatchOrderToOpen(FileBatch* batch)
{
    const BatchFile* files = batch->files;
    // An index of 0 is none given: those sort first, and keep the listing's order among them.
    std::sort(batch->order, batch->order + batch->count, [files](uint32_t a, uint32_t b) {
        return files[a].entry.index != files[b].entry.index ? files[a].entry.index < files[b].entry.index : a < b;
    });
    batch->next = 0;
    batch->opened = true;
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
    if (!batch->opened)
        return nullptr;
    if (batch->next == batch->count) {
        batch->count = batch->next = 0;
        batch->opened = false;
        return nullptr;
    }
    return &batch->files[batch->order[batch->next++]];
}

void BatchClear(FileBatch* batch)
{
    for (size_t at = batch->opened ? batch->next : 0; at < batch->count; ++at)
        FsClose(&batch->files[batch->order[at]].file);
    batch->count = batch->next = 0;
    batch->opened = false;
}
