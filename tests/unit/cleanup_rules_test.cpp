// The portable rules of the start-up cleanup. Inputs live in buffers of their exact size and
// outputs get a canary byte past their capacity, so any read or write past them is caught.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "cleanup/cleanup_rules.h"

using namespace std::string_literals;  // "...\0..."s keeps its NULs

namespace {

std::vector<char> Writable(const std::string& text)
{
    return std::vector<char>(text.c_str(), text.c_str() + text.size() + 1);
}

TEST(MatchModuleSuffix, ScansForwardForARunThatReachesTheEnd)
{
    const std::pair<const char*, uint32_t> cases[] = {
        {"C:\\WINDOWS\\system32\\MSVBVM60.DLL", 12}, {"Z:\\tmp\\MsVbVm60.Dll", 12}, {"msvbvm60.dll", 12},
        {"C:\\x\\MMSVBVM60.DLL", 12},      // the character that breaks a run starts the next one
        {"C:\\x\\msvbvm60.dll.bak", 0},    // a complete run is forgotten at the next position
        {"C:\\msvbvm60.dll\\x.dll", 0},
        {"C:\\x\\MSVBVMSVBVM60.DLL", 0},   // the scan never steps back
        {"C:\\x\\MSVBVM", 6}, {"C:\\x\\M", 1}, {"C:\\x\\msvbvm60.dl", 11},  // a beginning counts its length
        {"C:\\x\\msvbvm50.dll", 0}, {"", 0}};
    for (const auto& c : cases) {
        std::vector<char> name = Writable(kWormModuleName), path = Writable(c.first);
        EXPECT_EQ(MatchModuleSuffix(name.data(), path.data()), c.second) << c.first;
    }
}

// Every candidate of data, in order; "-" for one skipped, "overrun" after a write past the buffer.
std::vector<std::string> Candidates(const std::string& data, size_t capacity = 260)
{
    std::vector<char> bytes(data.begin(), data.end());
    std::vector<char> out(capacity + 1, '#');
    std::vector<std::string> found;
    for (size_t index = 0; index < 20; ++index) {
        const SearchStep step = ProgramPathCandidate(bytes.data(), bytes.size(), index, out.data(), capacity);
        if (out[capacity] != '#')
            found.push_back("overrun");
        if (step == SearchStep::End)
            break;
        found.push_back(step == SearchStep::Built ? out.data() : "-");
    }
    return found;
}

TEST(ProgramPathCandidate, EachSpaceFromTheLeftEndsACandidateQuotedDataHasOne)
{
    using List = std::vector<std::string>;
    const std::string fits(259, 'x');
    const std::pair<std::string, List> cases[] = {
        {"C:\\Program Files\\App\\sick.exe\0"s, {"C:\\Program.exe", "C:\\Program Files\\App\\sick.exe"}},
        {"C:\\Program Files\\sub dir\\prog name /x"s,
         {"C:\\Program.exe", "C:\\Program Files\\sub.exe", "C:\\Program Files\\sub dir\\prog.exe",
          "C:\\Program Files\\sub dir\\prog name.exe", "C:\\Program Files\\sub dir\\prog name /x.exe"}},
        {"C:\\tools\\run.exe /q -x\0junk more"s, {"C:\\tools\\run.exe", "C:\\tools\\run.exe /q.exe", "C:\\tools\\run.exe /q -x.exe"}},
        {"C:\\a.dir\\worm"s, {"C:\\a.dir\\worm.exe"}},  // the extension is the last part's
        {"C:\\x\\prog. /s"s, {"C:\\x\\prog.", "C:\\x\\prog. /s.exe"}},  // a final dot: nothing added; '/' parts a path
        {"worm a.com"s, {"worm.exe", "worm a.com"}},
        // Arguments that no name may hold end the candidates.
        {"C:\\gone.exe -c C:\\x.ini"s, {"C:\\gone.exe", "C:\\gone.exe -c"}}, {"a b|c d"s, {"a.exe"}},
        {"a \"b\" c"s, {"a.exe"}}, {"a b\tc"s, {"a.exe"}}, {"\\\\?\\C:\\x.exe y"s, {"\\\\?\\C:\\x.exe", "\\\\?\\C:\\x.exe y"}},
        {"a  b"s, {"a.exe", "a .exe", "a  b.exe"}}, {" x"s, {"-", " x.exe"}},
        // Quoted data has one candidate, spaces kept: up to the closing quote, or to the end of
        // the text when the quote is never closed; no ".exe" added.
        {"\"C:\\Program Files\\x.exe\" /s \"a b\""s, {"C:\\Program Files\\x.exe"}},
        {"\"C:\\Program Files\\x\" /s"s, {"C:\\Program Files\\x"}}, {"\"C:\\no close.exe"s, {"C:\\no close.exe"}},
        {"\"C:\\a b.exe\0\" tail"s, {"C:\\a b.exe"}}, {"\"\" C:\\x.exe"s, {"-"}}, {"\""s, {"-"}},
        {"\"" + fits + "\" /s", {fits}}, {"\"" + fits + "y\" /s", {"-"}},
        {""s, {}}, {"\0C:\\x.exe"s, {}}};
    for (const auto& c : cases)
        EXPECT_EQ(Candidates(c.first), c.second) << "data [" << c.first << "]";
    // ".exe" and the NUL must fit too.
    EXPECT_EQ(Candidates("C:\\ab c", 11), List({"C:\\ab.exe", "-"}));
    EXPECT_EQ(Candidates("C:\\ab.exe c", 9), List({"-", "-"}));
}

// The targets built for indexes 0..4; "-" where none is built, "overrun" where one was written past
// the path buffer.
std::vector<std::string> Targets(const std::string& windowsDirectory, size_t capacity = 260)
{
    std::vector<std::string> targets;
    for (size_t index = 0; index <= kDroppedFileCount; ++index) {
        std::vector<char> path(capacity + 1, '#');
        const bool built = DroppedFilePath(windowsDirectory.c_str(), index, path.data(), capacity);
        targets.push_back(path[capacity] != '#' ? "overrun" : built ? path.data() : "-");
    }
    return targets;
}

using Paths = std::vector<std::string>;

TEST(DroppedFilePath, FourTargetsUnderTheWindowsDirectoryAndTheRootOfADriveLetterIfTheyFit)
{
    EXPECT_EQ(Targets("D:\\WINNT"), Paths({"D:\\WINNT\\Services.exe", "D:\\WINNT\\system32.exe",
                                           "D:\\WINNT\\system32\\rund1132.exe", "D:\\msvbvm60.dll", "-"}));
    EXPECT_EQ(Targets("C:\\"), Paths({"C:\\Services.exe", "C:\\system32.exe", "C:\\system32\\rund1132.exe",
                                      "C:\\msvbvm60.dll", "-"}));
    EXPECT_EQ(Targets("\\\\server\\share\\windows")[0], "\\\\server\\share\\windows\\Services.exe");
    for (const char* noRoot : {"\\\\server\\share\\windows", "C:", "1:\\windows"})
        EXPECT_EQ(Targets(noRoot)[3], "-") << noRoot;
    EXPECT_EQ(Targets("c:\\windows")[3], "c:\\msvbvm60.dll");
    EXPECT_EQ(Targets(""), Paths(5, "-"));
    EXPECT_EQ(Targets("\\"), Paths(5, "-"));

    // A target that does not fit is left alone. 237 characters leave room for the longest suffix,
    // "\system32\rund1132.exe" (22), and the NUL.
    const std::string longest = "C:\\" + std::string(234, 'w');
    EXPECT_EQ(Targets(longest)[2], longest + "\\system32\\rund1132.exe");
    EXPECT_EQ(Targets(longest + "w"), Paths({longest + "w\\Services.exe", longest + "w\\system32.exe", "-",
                                             "C:\\msvbvm60.dll", "-"}));
    EXPECT_EQ(Targets("C:\\" + std::string(300, 'w')), Paths({"-", "-", "-", "C:\\msvbvm60.dll", "-"}));
    EXPECT_EQ(Targets("C:\\WINDOWS", 16)[3], "C:\\msvbvm60.dll");
    EXPECT_EQ(Targets("C:\\WINDOWS", 15)[3], "-");
}

// A Run value's program is found without the current directory: absolute paths stand, bare
// names are looked for where a logon looks (system, Windows, absolute PATH folders), anything
// else is never touched.
TEST(ProgramPath, FormsAndSearchPlaces)
{
    const std::pair<const char*, ProgramPathForm> forms[] = {
        {"C:\\x\\a.exe", ProgramPathForm::Absolute}, {"c:/a.exe", ProgramPathForm::Absolute},
        {"\\\\srv\\share\\a.exe", ProgramPathForm::Absolute}, {"a.exe", ProgramPathForm::BareName},
        {"worm", ProgramPathForm::BareName}, {"sub\\a.exe", ProgramPathForm::Relative},
        {"\\a.exe", ProgramPathForm::Relative}, {"C:a.exe", ProgramPathForm::Relative},
        {"", ProgramPathForm::Relative}};
    for (const auto& f : forms)
        EXPECT_EQ(ClassifyProgramPath(f.first), f.second) << f.first;

    auto places = [](const char* name, const char* pathList, size_t capacity = 260) {
        std::vector<std::string> out;
        std::vector<char> place(capacity + 1, '#');
        for (size_t i = 0; i < 20; ++i) {
            const SearchStep step = ProgramSearchPlace(name, "C:\\W\\system32", "C:\\W\\", pathList, i,
                                                       place.data(), capacity);
            if (place[capacity] != '#')
                out.push_back("overrun");
            if (step == SearchStep::End)
                break;
            out.push_back(step == SearchStep::Built ? place.data() : "-");
        }
        return out;
    };
    EXPECT_EQ(places("worm", "D:\\bin;.;rel\\x;;\"E:\\q s\\\";\\\\srv\\t\\"),
              Paths({"C:\\W\\system32\\worm.exe", "C:\\W\\worm.exe", "D:\\bin\\worm.exe", "-", "-", "-",
                     "E:\\q s\\worm.exe", "\\\\srv\\t\\worm.exe"}));
    EXPECT_EQ(places("a.com", ""), Paths({"C:\\W\\system32\\a.com", "C:\\W\\a.com"}));
    EXPECT_EQ(places("worm", "D:\\b;", 14), Paths({"-", "C:\\W\\worm.exe", "D:\\b\\worm.exe"}));
}

// A refused step must never read as a success: the window's texts stay for the others.
// A 64-bit view seen from a 32-bit process: its system32 through the alias, its own %ProgramFiles%.
TEST(ProgramView, SystemFolderAndProgramFilesOfAnotherView)
{
    const ProgramView wow{"Sysnative", "ProgramW6432", "CommonProgramW6432"}, own{"", "", ""};
    const char* const paths[][2] = {{"c:\\windows\\SYSTEM32", "C:\\Windows\\Sysnative"},
                                    {"C:\\Windows\\system32x\\x.exe", nullptr},  // a whole name only
                                    {"D:\\Windows\\System32\\x.exe", nullptr}};
    for (const auto& c : paths) {
        EXPECT_EQ(ViewPath(c[0], "C:\\Windows", wow), c[1] != nullptr ? c[1] : c[0]) << c[0];
        EXPECT_EQ(ViewPath(c[0], "C:\\Windows", own), c[0]);
    }
    EXPECT_EQ(ViewReferences("\"%programfiles%\\a.exe\" %CommonProgramFiles%\\b %ProgramFiles(x86)% %ProgramFiles", wow),
              "\"%ProgramW6432%\\a.exe\" %CommonProgramW6432%\\b %ProgramFiles(x86)% %ProgramFiles");
    EXPECT_EQ(ViewReferences("%ProgramFiles%\\a.exe", own), "%ProgramFiles%\\a.exe");
}

TEST(CleanupVerdict, RefusedStepsSaySo)
{
    const struct {
        int outcome;
        const char* says;
        const char* never;
    } cases[] = {
        {0, "No Zaverin found in memory.", "could not"},
        {kCleanupFound, "Zaverin found in memory, and has been disabled.", "could not"},
        {kCleanupFound | kCleanupRefused, "could not be disabled", "has been disabled"},
        {kCleanupRefused, "could not be repaired", "has been disabled"},
    };
    for (const auto& c : cases) {
        const std::string text = CleanupVerdict(c.outcome);
        EXPECT_EQ(text.rfind("STATUS: idle\n", 0), 0u) << text;
        EXPECT_NE(text.find(c.says), std::string::npos) << text;
        EXPECT_EQ(text.find(c.never), std::string::npos) << text;
    }
}

}  // namespace
