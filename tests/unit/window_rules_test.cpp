// The portable rules behind the main window: the drive-root run, the Tab walk and the key filter.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/key_filter.h"
#include "ui/drive_list.h"
#include "ui/tab_walk.h"

namespace {

std::vector<std::string> Entries(const char* buffer, size_t size)
{
    std::vector<std::string> out;
    size_t offset = 0;
    const char* entry = nullptr;
    while (NextDriveEntry(buffer, size, &offset, &entry))
        out.push_back(entry);
    return out;
}

TEST(DriveList, RootsInTheOrderGiven)
{
    const char run[] = "C:\\\0E:\\\0Z:\\\0";  // with the array's own NUL: the closing empty entry
    EXPECT_EQ(Entries(run, sizeof run), (std::vector<std::string>{"C:\\", "E:\\", "Z:\\"}));

    const char empty[260] = {};
    EXPECT_TRUE(Entries(empty, sizeof empty).empty());
}

TEST(DriveList, TwentySixRootsFitAndAllAreListed)
{
    char buffer[260];
    std::memset(buffer, 'x', sizeof buffer);  // poison: nothing past the run may be read as a root
    size_t at = 0;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        buffer[at++] = letter;
        buffer[at++] = ':';
        buffer[at++] = '\\';
        buffer[at++] = '\0';
    }
    buffer[at++] = '\0';
    EXPECT_EQ(at, 105u);
    const std::vector<std::string> roots = Entries(buffer, sizeof buffer);
    ASSERT_EQ(roots.size(), 26u);
    EXPECT_EQ(roots.front(), "A:\\");
    EXPECT_EQ(roots.back(), "Z:\\");
}

TEST(DriveList, NeverReadsPastTheBuffer)
{
    // An entry whose NUL would lie past the end is not handed out.
    const char cut[] = {'C', ':', '\\', '\0', 'D', ':', '\\'};
    EXPECT_EQ(Entries(cut, sizeof cut), (std::vector<std::string>{"C:\\"}));
    // A run without the closing empty entry ends with the buffer.
    const char full[] = {'C', ':', '\\', '\0', 'D', ':', '\\', '\0'};
    EXPECT_EQ(Entries(full, sizeof full), (std::vector<std::string>{"C:\\", "D:\\"}));
    // An offset at or past the end yields nothing.
    size_t offset = sizeof full;
    const char* entry = nullptr;
    EXPECT_FALSE(NextDriveEntry(full, sizeof full, &offset, &entry));
    offset = sizeof full + 10;
    EXPECT_FALSE(NextDriveEntry(full, sizeof full, &offset, &entry));
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

std::vector<int> Walk(const std::vector<TabCandidate>& controls, int from, int steps)
{
    std::vector<int> visited;
    int at = from;
    for (int i = 0; i < steps; ++i) {
        at = NextTabControl(controls.data(), kCount, at, kScanGroup);
        visited.push_back(at);
    }
    return visited;
}

TEST(TabWalk, IdleVisitsCheckBoxStartCombo)
{
    EXPECT_EQ(Walk(Controls(false), kCombo, 4), (std::vector<int>{kCheck, kStart, kCombo, kCheck}));
}

TEST(TabWalk, WorkingAlternatesStopAndCombo)
{
    EXPECT_EQ(Walk(Controls(true), kCombo, 4), (std::vector<int>{kStop, kCombo, kStop, kCombo}));
    // From a control that has just been disabled (Start, when a scan began) the walk goes on.
    EXPECT_EQ(Walk(Controls(true), kStart, 2), (std::vector<int>{kStop, kCombo}));
}

TEST(TabWalk, NoCurrentControlStartsAfterTheScanGroup)
{
    EXPECT_EQ(NextTabControl(Controls(false).data(), kCount, -1, kScanGroup), kCombo);
    // The wrap never lands on a control before the "Scan" group box, tab stop or not.
    std::vector<TabCandidate> c = Controls(false);
    c[kBanner].tabStop = true;
    EXPECT_EQ(NextTabControl(c.data(), kCount, kStart, kScanGroup), kCombo);
}

TEST(TabWalk, EndsWhenNothingQualifies)
{
    std::vector<TabCandidate> none(kCount, TabCandidate{true, true});
    EXPECT_EQ(NextTabControl(none.data(), kCount, kCombo, kScanGroup), -1);
    EXPECT_EQ(NextTabControl(none.data(), 0, -1, 0), -1);
    EXPECT_EQ(NextTabControl(Controls(false).data(), kCount, kCombo, kCount), -1);
}

TEST(KeyFilter, LettersAndDigitsReachTheTable)
{
    for (unsigned key : {unsigned('S'), unsigned('D'), unsigned('T'), unsigned('A'), unsigned('Z'), unsigned('0'),
                         unsigned('9')})
        EXPECT_TRUE(KeyDownMayMatchTable(key)) << key;
}

TEST(KeyFilter, KeysWhoseCodesLookLikeLowerCaseLettersDoNot)
{
    // F4, F5 and Numpad 4 carry the codes of 's', 't' and 'd'; Tab and Enter come as characters.
    for (unsigned key : {0x73u, 0x74u, 0x64u, 0x60u, 0x7Au, 0x09u, 0x0Du, 0x12u, 0x20u, 0x40u, 0x5Bu, 0x2Fu, 0x3Au})
        EXPECT_FALSE(KeyDownMayMatchTable(key)) << key;
}

}  // namespace
