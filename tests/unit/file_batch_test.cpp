// The batch of a scan in the disk's order: its two orders and its bounds.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scan/file_batch.h"

namespace {

FsDir OpenRoot()
{
    FsDir dir = nullptr;
    FsFileId id;
    EXPECT_TRUE(FsOpenDirectory("/", &dir, &id));
    return dir;
}

// Each file of the order in turn, as "folder/name".
std::vector<std::string> Taken(FileBatch* batch)
{
    std::vector<std::string> names;
    while (const BatchFile* file = BatchNext(batch)) {
        FsEntry entry{};
        const BatchFolder& folder = BatchEntry(*batch, *file, &entry);
        names.push_back(std::string(BatchPath(*batch, folder)) + "/" + entry.name);
    }
    return names;
}

// Files of two folders, listed in turn: placed by inode number, those without one first as
// listed; tested by place, those without one first as listed and ties as listed; each file with
// its own folder and its listed entry.
TEST(FileBatch, PlacesByInodeNumberAndTestsByPlace)
{
    FileBatch batch;
    ASSERT_TRUE(BatchReserve(&batch, 8));
    uint32_t a, b;
    ASSERT_TRUE(BatchAddFolder(&batch, OpenRoot(), "a", &a));
    ASSERT_TRUE(BatchAddFolder(&batch, OpenRoot(), "b", &b));
    const uint64_t indexes[] = {30, 0, 10, 0, 20};
    for (int i = 0; i < 5; ++i) {
        FsEntry entry{};
        std::snprintf(entry.name, sizeof entry.name, "f%d", i);
        entry.index = indexes[i];
        entry.followReparse = i == 2;
        ASSERT_TRUE(BatchAddFile(&batch, i % 2 ? b : a, entry));
    }
    BatchOrderToPlace(&batch);
    EXPECT_EQ(Taken(&batch), (std::vector<std::string>{"b/f1", "b/f3", "a/f2", "a/f4", "a/f0"}));
    FsEntry entry{};
    BatchEntry(batch, batch.files[2], &entry);
    EXPECT_TRUE(entry.followReparse);
    EXPECT_EQ(entry.index, 10u);
    EXPECT_FALSE(entry.isDirectory || entry.isLink || entry.isSpecial);

    const int places[] = {50, -1, 100, -1, 100};  // -1: not known
    for (int i = 0; i < 5; ++i) {
        batch.files[i].placed = places[i] >= 0;
        batch.files[i].place = places[i] >= 0 ? static_cast<uint64_t>(places[i]) : 0;
    }
    BatchOrderToTest(&batch);
    EXPECT_EQ(Taken(&batch), (std::vector<std::string>{"b/f1", "b/f3", "a/f0", "a/f2", "a/f4"}));
    EXPECT_EQ(BatchNext(&batch), nullptr);

    BatchClear(&batch);  // the folders closed: room again
    EXPECT_EQ(batch.count + batch.folderCount + batch.textUsed, 0u);
    EXPECT_FALSE(BatchAddFile(&batch, a, FsEntry{})) << "no such folder in this batch";
    BatchFree(&batch);
}

// Full at its bound of folders (as few as the handles allow) or of files; a name or path that
// does not fit the text is refused, not cut.
TEST(FileBatch, BoundedByFoldersFilesAndText)
{
    FileBatch batch;
    ASSERT_TRUE(BatchReserve(&batch, 2));
    uint32_t folder;
    ASSERT_TRUE(BatchAddFolder(&batch, OpenRoot(), "one", &folder));
    EXPECT_FALSE(BatchFull(batch));
    ASSERT_TRUE(BatchAddFolder(&batch, OpenRoot(), "two", &folder));
    EXPECT_TRUE(BatchFull(batch));
    FsDir third = OpenRoot();
    EXPECT_FALSE(BatchAddFolder(&batch, third, "three", &folder));
    FsCloseDirectory(third);  // not taken
    BatchClear(&batch);

    ASSERT_TRUE(BatchAddFolder(&batch, OpenRoot(), "one", &folder));
    FsEntry entry{};
    for (size_t i = 0; i < kBatchFiles; ++i) {
        std::snprintf(entry.name, sizeof entry.name, "%zu", i);
        ASSERT_TRUE(BatchAddFile(&batch, folder, entry));
    }
    EXPECT_TRUE(BatchFull(batch));
    EXPECT_FALSE(BatchAddFile(&batch, folder, entry));
    BatchClear(&batch);

    const std::string path(kFsPathCapacity - 1, 'p');
    ASSERT_TRUE(BatchAddFolder(&batch, OpenRoot(), "one", &folder));
    std::string name(kFsNameCapacity - 1, 'n');
    std::snprintf(entry.name, sizeof entry.name, "%s", name.c_str());
    size_t files = 0;
    while (BatchAddFile(&batch, folder, entry))
        ++files;
    EXPECT_EQ(files, (kBatchText - 4) / kFsNameCapacity);
    EXPECT_FALSE(BatchFull(batch)) << "the text ran out first";
    FsDir last = OpenRoot();
    EXPECT_FALSE(BatchAddFolder(&batch, last, path.c_str(), &folder));
    FsCloseDirectory(last);
    BatchFree(&batch);
}

}  // namespace
