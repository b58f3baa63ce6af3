// The drive-root run behind the main window's drive list (the Tab walk is shown end to end).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/drive_list.h"

namespace {

using Strings = std::vector<std::string>;

Strings Entries(const char* buffer, size_t size, size_t offset)
{
    Strings out;
    const char* entry = nullptr;
    while (NextDriveEntry(buffer, size, &offset, &entry))
        out.push_back(entry);
    return out;
}

TEST(DriveList, ListsTheRootsInOrderAndNeverReadsPastTheBuffer)
{
    const char run[] = "C:\\\0E:\\\0Z:\\\0";
    const char cut[] = {'C', ':', '\\', '\0', 'D', ':', '\\'};            // the last NUL lies past the end
    const char unclosed[] = {'C', ':', '\\', '\0', 'D', ':', '\\', '\0'};  // no closing empty entry
    const char empty[260] = {};
    const struct { const char* buffer; size_t size, offset; Strings roots; } cases[] = {
        {run, sizeof run, 0, {"C:\\", "E:\\", "Z:\\"}},
        {cut, sizeof cut, 0, {"C:\\"}},
        {unclosed, sizeof unclosed, 0, {"C:\\", "D:\\"}},
        {unclosed, sizeof unclosed, sizeof unclosed, {}},
        {unclosed, sizeof unclosed, sizeof unclosed + 10, {}},
        {empty, sizeof empty, 0, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Entries(c.buffer, c.size, c.offset), c.roots) << "case " << &c - cases;
}

}  // namespace
