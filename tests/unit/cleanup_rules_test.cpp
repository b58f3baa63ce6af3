// The portable rules of the start-up cleanup: the module-name scan, the program a Run value
// names, the dropped-file targets and the verdicts. Inputs live in buffers of their exact size,
// so the sanitizers catch any read or write past them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cleanup/cleanup_rules.h"

namespace {

// A writable NUL-terminated copy of text, exactly as large as it needs to be.
std::vector<char> Writable(const std::string& text)
{
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    return buffer;
}

uint32_t Match(const std::string& path)
{
    std::vector<char> name = Writable(kWormModuleName);
    std::vector<char> writablePath = Writable(path);
    return MatchModuleSuffix(name.data(), writablePath.data());
}

TEST(MatchModuleSuffix, PathsEndingInTheLibraryMatchInAnyCase)
{
    EXPECT_EQ(Match("C:\\WINDOWS\\system32\\MSVBVM60.DLL"), 12u);
    EXPECT_EQ(Match("C:\\WINDOWS\\system32\\msvbvm60.dll"), 12u);
    EXPECT_EQ(Match("Z:\\tmp\\MsVbVm60.Dll"), 12u);
    EXPECT_EQ(Match("msvbvm60.dll"), 12u);
    // The character that breaks a run starts the next one.
    EXPECT_EQ(Match("C:\\x\\MMSVBVM60.DLL"), 12u);
}

TEST(MatchModuleSuffix, OtherPathsDoNotMatch)
{
    EXPECT_EQ(Match("C:\\x\\msvbvm60.dll.bak"), 0u) << "a complete run is forgotten at the next position";
    EXPECT_EQ(Match("C:\\msvbvm60.dll\\x.dll"), 0u);
    EXPECT_EQ(Match("C:\\x\\MSVBVMSVBVM60.DLL"), 0u) << "the scan never steps back";
    EXPECT_EQ(Match("C:\\x\\MSVBVM"), 6u) << "a beginning of the name counts its length only";
    EXPECT_EQ(Match("C:\\x\\M"), 1u);
    EXPECT_EQ(Match(""), 0u);
    EXPECT_EQ(Match("C:\\x\\msvbvm60.dl"), 11u);
    EXPECT_EQ(Match("C:\\x\\msvbvm50.dll"), 0u);
}

TEST(MatchModuleSuffix, FoldsBothTextsToUpperCaseInPlace)
{
    std::vector<char> name = Writable("msvbvm60.dll");
    std::vector<char> path = Writable("c:\\\xe9t\xfc\\msvbvm60.dll");
    MatchModuleSuffix(name.data(), path.data());
    EXPECT_STREQ(name.data(), "MSVBVM60.DLL");
    EXPECT_STREQ(path.data(), "C:\\\xe9T\xfc\\MSVBVM60.DLL") << "bytes above 127 stay as they are";

    // The folded name works again, unchanged, for the next module.
    std::vector<char> next = Writable("C:\\other\\msvbvm60.dll");
    EXPECT_EQ(MatchModuleSuffix(name.data(), next.data()), 12u);
    EXPECT_STREQ(name.data(), "MSVBVM60.DLL");
}

TEST(MatchModuleSuffix, EmptyModuleNameMatchesNothingLong)
{
    std::vector<char> name = Writable("");
    std::vector<char> path = Writable("C:\\x.dll");
    EXPECT_EQ(MatchModuleSuffix(name.data(), path.data()), 0u);
}

// Derives from data given as exactly these bytes (no NUL unless the text holds one).
std::string Derive(const std::string& data, bool* ok = nullptr, size_t capacity = 260)
{
    std::vector<char> bytes(data.begin(), data.end());
    std::vector<char> path(capacity + 1, '#');  // one canary byte past the capacity
    const bool derived = DeriveProgramPath(bytes.data(), bytes.size(), path.data(), capacity);
    EXPECT_EQ(path[capacity], '#') << "written past the path buffer";
    if (ok != nullptr)
        *ok = derived;
    EXPECT_EQ(derived, path[0] != '\0');
    return derived ? std::string(path.data()) : std::string();
}

TEST(DeriveProgramPath, UnquotedDataIsCutAtTheFirstSpace)
{
    EXPECT_EQ(Derive(std::string("C:\\WINDOWS\\worm.exe\0", 20)), "C:\\WINDOWS\\worm.exe");
    EXPECT_EQ(Derive(std::string("C:\\tools\\run.exe /quiet -x\0", 27)), "C:\\tools\\run.exe");
    EXPECT_EQ(Derive(std::string("C:\\Program Files\\x.exe\0", 23)), "C:\\Program");
}

TEST(DeriveProgramPath, QuotedDataKeepsItsSpacesUpToTheClosingQuote)
{
    EXPECT_EQ(Derive(std::string("\"C:\\WINDOWS\\worm.exe\"\0", 22)), "C:\\WINDOWS\\worm.exe");
    EXPECT_EQ(Derive(std::string("\"C:\\tools\\run.exe\" /s\0", 22)), "C:\\tools\\run.exe");
    EXPECT_EQ(Derive(std::string("\"C:\\Program Files\\x.exe\" /s \"a b\"\0", 34)), "C:\\Program Files\\x.exe");
    EXPECT_EQ(Derive(std::string("\"C:\\Program Files\\x.exe\0", 24)), "C:\\Program Files\\x.exe")
        << "a quote never closed runs to the end of the text";
}

TEST(DeriveProgramPath, DataWithoutAPathGivesNone)
{
    bool ok = true;
    for (const std::string& data : {std::string(), std::string("\0", 1), std::string("\"\"\0", 3),
                                    std::string("\"", 1),
                                    std::string(" C:\\x.exe\0", 10)}) {
        const std::string path = Derive(data, &ok);
        EXPECT_FALSE(ok) << "data [" << data << "] gave [" << path << "]";
    }
}

TEST(DeriveProgramPath, DataEndsAtItsSizeOrItsFirstNul)
{
    EXPECT_EQ(Derive("C:\\no-nul.exe"), "C:\\no-nul.exe");
    EXPECT_EQ(Derive("\"C:\\no nul.exe"), "C:\\no nul.exe");
    EXPECT_EQ(Derive(std::string("C:\\a.exe\0C:\\junk.exe", 20)), "C:\\a.exe");
    EXPECT_EQ(Derive(std::string("\"C:\\a b.exe\0\" tail", 18)), "C:\\a b.exe");
    EXPECT_EQ(BoundedTextLength("abc", 3), 3u);
    EXPECT_EQ(BoundedTextLength(std::string("ab\0c", 4).data(), 4), 2u);
    EXPECT_EQ(BoundedTextLength("", 0), 0u);
}

TEST(DeriveProgramPath, PathThatDoesNotFitIsNotTaken)
{
    bool ok = false;
    const std::string fits(259, 'x');
    EXPECT_EQ(Derive(fits, &ok), fits);
    EXPECT_TRUE(ok);
    Derive(fits + "y", &ok);
    EXPECT_FALSE(ok);
    Derive("\"" + fits + "y\" /s", &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(Derive("C:\\x.exe /s", &ok, 9), "C:\\x.exe");
    Derive("C:\\x.exe /s", &ok, 8);
    EXPECT_FALSE(ok);
}

std::vector<std::string> Targets(const std::string& windowsDirectory, size_t capacity = 260)
{
    std::vector<std::string> targets;
    for (size_t index = 0; index < kDroppedFileCount + 1; ++index) {
        std::vector<char> path(capacity + 1, '#');
        const bool built = DroppedFilePath(windowsDirectory.c_str(), index, path.data(), capacity);
        EXPECT_EQ(path[capacity], '#') << "written past the path buffer";
        targets.push_back(built ? std::string(path.data()) : std::string("-"));
    }
    return targets;
}

TEST(DroppedFilePath, FourTargetsUnderTheWindowsDirectoryAndItsDriveRoot)
{
    EXPECT_EQ(Targets("C:\\WINDOWS"), (std::vector<std::string>{"C:\\WINDOWS\\Services.exe", "C:\\WINDOWS\\system32.exe",
                                                                 "C:\\WINDOWS\\system32\\rund1132.exe",
                                                                 "C:\\msvbvm60.dll", "-"}));
    EXPECT_EQ(Targets("D:\\WINNT"), (std::vector<std::string>{"D:\\WINNT\\Services.exe", "D:\\WINNT\\system32.exe",
                                                               "D:\\WINNT\\system32\\rund1132.exe", "D:\\msvbvm60.dll",
                                                               "-"}));
    EXPECT_EQ(Targets("C:\\"), (std::vector<std::string>{"C:\\Services.exe", "C:\\system32.exe",
                                                          "C:\\system32\\rund1132.exe", "C:\\msvbvm60.dll", "-"}));
}

TEST(DroppedFilePath, RootTargetOnlyForADriveLetterDirectory)
{
    EXPECT_EQ(Targets("\\\\server\\share\\windows")[3], "-");
    EXPECT_EQ(Targets("\\\\server\\share\\windows")[0], "\\\\server\\share\\windows\\Services.exe");
    EXPECT_EQ(Targets("C:")[3], "-");
    EXPECT_EQ(Targets("1:\\windows")[3], "-");
    EXPECT_EQ(Targets("c:\\windows")[3], "c:\\msvbvm60.dll");
    EXPECT_EQ(Targets(""), (std::vector<std::string>{"-", "-", "-", "-", "-"}));
    EXPECT_EQ(Targets("\\"), (std::vector<std::string>{"-", "-", "-", "-", "-"}));
}

TEST(DroppedFilePath, TargetThatDoesNotFitIsLeftAlone)
{
    // 237 characters leave room for the longest suffix, "\system32\rund1132.exe" (22), and the NUL.
    const std::string longest = "C:\\" + std::string(234, 'w');
    std::vector<std::string> targets = Targets(longest);
    EXPECT_EQ(targets[2], longest + "\\system32\\rund1132.exe");
    EXPECT_EQ(targets[2].size(), 259u);

    targets = Targets(longest + "w");
    EXPECT_EQ(targets[0], longest + "w\\Services.exe");
    EXPECT_EQ(targets[1], longest + "w\\system32.exe");
    EXPECT_EQ(targets[2], "-");
    EXPECT_EQ(targets[3], "C:\\msvbvm60.dll");

    targets = Targets("C:\\" + std::string(300, 'w'));
    EXPECT_EQ(targets, (std::vector<std::string>{"-", "-", "-", "C:\\msvbvm60.dll", "-"}));
    EXPECT_EQ(Targets("C:\\WINDOWS", 16)[3], "C:\\msvbvm60.dll");
    EXPECT_EQ(Targets("C:\\WINDOWS", 15)[3], "-");
}

TEST(CleanupVerdict, TextsForNothingFoundAndForAnythingFound)
{
    EXPECT_STREQ(CleanupVerdict(0), "STATUS: idle\nNo Zaverin found in memory.");
    const char* found = "STATUS: idle\nZaverin found in memory, and has been disabled.\nPlease proceed with scan.";
    EXPECT_STREQ(CleanupVerdict(1), found);
    EXPECT_STREQ(CleanupVerdict(6), found);
    EXPECT_STREQ(CleanupVerdict(-1), found);
}

}  // namespace
