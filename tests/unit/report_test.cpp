// The report's outcome words and exit codes, and the quarantine's index as data.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "console/report.h"
#include "quarantine/quarantine.h"

namespace {

// The index folds to what the folder holds: a later line of a file marks it restored or drops it
// (not moved); a change line is no file. The index is data: a line that cannot be read or names
// what the store never gives is passed over by its number, every other one still counts, and a
// last line cut short is told apart.
TEST(QuarantineIndex, LaterLinesMarkOrDropEarlierOnesAndForgedOnesAreNoRecords)
{
    QuarantineRecord a, b;
    a.path = "/a.exe", a.sha256 = std::string(64, 'a'), a.stored = StoredName(a.sha256, 1);
    a.metadata.hasMode = true;
    b.path = "/b.exe", b.sha256 = std::string(64, 'b'), b.stored = StoredName(b.sha256, 1);
    auto forged = [&a](const std::string& from, const std::string& to) {
        std::string line = FormatFileLine(a);
        return line.replace(line.find(from), from.size(), to);
    };
    const std::string good = FormatFileLine(a) + "\n" + FormatChangeLine("SOFTWARE", "value deleted", true, "t") + "\n" +
                             FormatFileLine(b) + "\n" + FormatRestoredLine(a.stored, a.path, "then") + "\n" +
                             FormatNotMovedLine(b.stored, "t") + "\n";
    const struct {
        std::string line, problem;  // problem: "" for a line cut short at the end
    } rows[] = {{forged(a.stored, "../rootonly/secret"), "its stored name is none this quarantine gives"},
                {forged(a.stored, "q-aaaaaaaaaaaaaaaa-1.quarantined/x"), "its stored name is none this quarantine gives"},
                {FormatRestoredLine("../x", "/x", "t"), "its stored name is none this quarantine gives"},
                {forged(a.sha256, std::string(63, 'a') + "\""), "cannot be read"},
                {forged(a.sha256, std::string(63, 'a') + "A"), "its sha256 is no 64 hex digits"},
                {forged(a.stored, StoredName(b.sha256, 1)), "its stored name is not of its sha256"},
                {forged("\"/a.exe\"", "\"a.exe\""), "its path is no plain absolute path"},
                {forged("\"/a.exe\"", "\"/x/../a.exe\""), "its path is no plain absolute path"},
                {forged("\"/a.exe\"", "\"/a\\u0000.exe\""), "its path is no plain absolute path"},
                {forged("\"mode\":0", "\"mode\":36333"), "cannot be read"},  // 0106755: past the permission bits
                {forged("\"uid\":0", "\"uid\":4294967296"), "cannot be read"},  // 2^32, which would wrap to root
                {forged("\"size\":0", "\"size\":-1"), "cannot be read"},
                {FormatFileLine(b).substr(0, 40), ""}};
    for (const auto& row : rows) {
        const bool torn = row.problem.empty();
        const IndexFold fold = FoldIndex(good + (torn ? row.line : row.line + "\n" + FormatFileLine(b)));
        ASSERT_EQ(fold.records.size(), torn ? 1u : 2u) << row.line;
        EXPECT_EQ(std::make_tuple(fold.records[0].path, fold.records[0].stored, fold.records[0].restored),
                  std::make_tuple(std::string("/a.exe"), a.stored, std::string("then")));
        EXPECT_EQ(fold.problems, torn ? std::vector<std::string>{} : std::vector<std::string>{"line 6: " + row.problem})
            << row.line;
        EXPECT_EQ(std::make_pair(fold.tornLine, fold.refused),
                  std::make_pair(torn ? size_t{6} : 0, size_t{!torn && row.problem != "cannot be read"}));
    }
}

// Each outcome in both conventions, and the word the verdict line a quiet run ends with says.
TEST(ReportExitCode, DefaultAndInstallerCodes)
{
    const struct {
        int32_t infected, deleted, moved, atRestart, unhandled, skipped;
        bool wormFound;
        int code, installer;
        const char* word;
    } cases[] = {
        {0, 0, 0, 0, 0, 0, false, kExitClean, 0, "clean"}, {2, 1, 1, 0, 0, 0, false, kExitInfected, 0, "removed"},
        {0, 0, 0, 0, 0, 0, true, kExitInfected, 0, "removed"}, {2, 0, 0, 0, 0, 0, false, kExitInfected, 1603, "infected files found"},
        {2, 2, 0, 1, 0, 0, false, kExitRestart, 3010, "restart needed"}, {1, 0, 0, 0, 1, 0, false, kExitError, 1603, "failed"},
        {0, 0, 0, 0, 0, 1, false, kExitError, 1603, "failed"},
    };
    for (const auto& c : cases) {
        Report report = MakeReport(false, true, false, false);
        report.counts = {3, 40, c.infected, c.deleted, c.skipped, c.moved, c.atRestart, c.unhandled};
        report.wormFound = c.wormFound;
        for (const bool installer : {false, true}) {
            report.installerCodes = installer;
            const int code = installer ? c.installer : c.code;
            EXPECT_EQ(ReportExitCode(report), code) << c.word;
            EXPECT_EQ(VerdictLine(report).rfind("Verdict: " + std::string(c.word) + " (exit code " + std::to_string(code), 0), 0u);
        }
    }
}

}  // namespace
