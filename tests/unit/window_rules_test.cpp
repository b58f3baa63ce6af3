// The portable rules behind the main window: the drive-root run and the Tab walk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/drive_list.h"
#include "ui/tab_walk.h"

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
    std::string all;  // 26 roots and the closing empty entry, then bytes never to be read as roots
    Strings letters;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        letters.push_back({letter, ':', '\\'});
        all += letters.back() + '\0';
    }
    all += '\0' + std::string(260 - 105, 'x');
    const char run[] = "C:\\\0E:\\\0Z:\\\0";
    const char cut[] = {'C', ':', '\\', '\0', 'D', ':', '\\'};            // the last NUL lies past the end
    const char unclosed[] = {'C', ':', '\\', '\0', 'D', ':', '\\', '\0'};  // no closing empty entry
    const char empty[260] = {};
    const struct { const char* buffer; size_t size, offset; Strings roots; } cases[] = {
        {run, sizeof run, 0, {"C:\\", "E:\\", "Z:\\"}},
        {all.data(), all.size(), 0, letters},
        {cut, sizeof cut, 0, {"C:\\"}},
        {unclosed, sizeof unclosed, 0, {"C:\\", "D:\\"}},
        {unclosed, sizeof unclosed, sizeof unclosed, {}},
        {unclosed, sizeof unclosed, sizeof unclosed + 10, {}},
        {empty, sizeof empty, 0, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Entries(c.buffer, c.size, c.offset), c.roots) << "case " << &c - cases;
}

// The main window's children in creation order.
enum { kBanner, kScanGroup, kCombo, kCheck, kStart, kStop, kStatus, kCount };

std::vector<TabCandidate> Controls(bool working)
{
    std::vector<TabCandidate> c(kCount, TabCandidate{false, false});
    c[kCombo].tabStop = c[kCheck].tabStop = c[kStart].tabStop = c[kStop].tabStop = true;
    c[kStop].disabled = !working;
    c[kCheck].disabled = c[kStart].disabled = working;
    return c;
}

TEST(TabWalk, VisitsTheEnabledTabStopsAfterTheScanGroup)
{
    const struct { bool working; int from; std::vector<int> visited; } cases[] = {
        {false, kCombo, {kCheck, kStart, kCombo, kCheck}},
        {true, kCombo, {kStop, kCombo, kStop, kCombo}},
        {true, kStart, {kStop, kCombo}},  // from Start, just disabled as a scan began
        {false, -1, {kCombo}},            // from no control at all
    };
    for (const auto& c : cases) {
        std::vector<int> visited;
        for (int at = c.from; visited.size() < c.visited.size();)
            visited.push_back(at = NextTabControl(Controls(c.working).data(), kCount, at, kScanGroup));
        EXPECT_EQ(visited, c.visited) << "case " << &c - cases;
    }
}

}  // namespace
