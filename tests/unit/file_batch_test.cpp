// The batch of a walk in the disk's order: its two orders and its bound.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scan/file_batch.h"

namespace {

std::vector<std::string> Names(const FileBatch& batch)
{
    std::vector<std::string> names;
    for (size_t at = 0; at < batch.count; ++at)
        names.push_back(batch.files[batch.order[at]].entry.name);
    return names;
}

// Opened by inode number, those without one first as listed; tested by place, those without one
// first as listed and ties as listed; each file given once, then the batch takes files again.
TEST(FileBatch, OpensByInodeNumberAndTestsByPlace)
{
    FileBatch batch;
    ASSERT_TRUE(BatchReserve(&batch, 5));
    const uint64_t indexes[] = {30, 0, 10, 0, 20};
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(BatchFull(batch));
        FsEntry entry{};
        std::snprintf(entry.name, sizeof entry.name, "f%d", i);
        entry.index = indexes[i];
        BatchAdd(&batch, entry);
    }
    EXPECT_TRUE(BatchFull(batch));
    BatchOrderToOpen(&batch);
    EXPECT_EQ(Names(batch), (std::vector<std::string>{"f1", "f3", "f2", "f4", "f0"}));

    const int places[] = {50, -1, 100, -1, 100};  // -1: not known
    for (int i = 0; i < 5; ++i) {
        batch.files[i].placed = places[i] >= 0;
        batch.files[i].place = places[i] >= 0 ? static_cast<uint64_t>(places[i]) : 0;
    }
    BatchOrderToTest(&batch);
    std::vector<std::string> tested;
    while (const BatchFile* file = BatchNext(&batch))
        tested.push_back(file->entry.name);
    EXPECT_EQ(tested, (std::vector<std::string>{"f1", "f3", "f0", "f2", "f4"}));
    EXPECT_EQ(batch.count, 0u);
    EXPECT_EQ(BatchNext(&batch), nullptr);
    BatchAdd(&batch, FsEntry{});
    EXPECT_EQ(batch.count, 1u);
    BatchFree(&batch);
}

}  // namespace
