// RepairAutorun on the prefix's real registry and real files.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include "cleanup/cleanup_win32.h"
#include "samples.h"
#include "temp_tree.h"

namespace {

const char kMachineRun[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kUserRun[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kWinlogon[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

std::vector<std::string> Names(HKEY root, const char* subkey, REGSAM view = 0)
{
    std::vector<std::string> names;
    HKEY key;
    if (RegOpenKeyExA(root, subkey, 0, KEY_READ | view, &key) != ERROR_SUCCESS)
        return names;
    char name[1000];
    for (DWORD size = sizeof name; RegEnumValueA(key, static_cast<DWORD>(names.size()), name, &size, nullptr, nullptr,
                                                 nullptr, nullptr) == ERROR_SUCCESS;
         size = sizeof name)
        names.push_back(name);
    RegCloseKey(key);
    return names;
}

// Userinit's type, then its data byte for byte.
std::string Userinit(REGSAM view = 0)
{
    HKEY key;
    char data[1000];
    DWORD type = REG_NONE, size = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kWinlogon, 0, KEY_READ | view, &key) == ERROR_SUCCESS) {
        size = sizeof data;
        if (RegQueryValueExA(key, "Userinit", nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
            size = 0;
        RegCloseKey(key);
    }
    return std::to_string(type) + ":" + std::string(data, size);
}

// Writes data byte for byte: a byte other than NUL follows it, or the registry would add the NUL.
// A value that cannot be written fails the calling case.
void Put(HKEY root, const char* subkey, const std::string& name, DWORD type, const std::string& data, REGSAM view = 0,
         const char* file = __builtin_FILE(), int line = __builtin_LINE())
{
    const std::string followed = data + 'X';
    HKEY key;
    LONG status = RegCreateKeyExA(root, subkey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr);
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(followed.data()),
                                static_cast<DWORD>(data.size()));
        RegCloseKey(key);
    }
    if (status != ERROR_SUCCESS)
        ADD_FAILURE_AT(file, line) << name << ": error " << status;
}

TEST(AutorunRepair, RemovesInfectedProgramsAndTheirValuesAndRestoresUserinit)
{
    const Bytes clean = ReadBytes(SamplePath("sample32.exe"));
    ASSERT_FALSE(clean.empty());
    TempTree tree;
    ASSERT_EQ(tree.Root().find(' '), std::string::npos) << "the tests rely on a temporary folder without spaces";
    tree.Dir("Program Files");
    tree.Dir("sub");
    tree.Dir("bin");
    const char* const worms[] = {"unquoted.exe", "quoted.exe", "Program Files/spaced.exe", "expand.exe",
                                 "twin1.exe", "twin2.exe", "long.exe", "afterlong.exe", "nonul.exe", "longname.exe",
                                 "user.exe", "binary.exe", "held.exe", "grows.exe"};
    for (const char* name : worms)
        tree.File(name, Infected(clean, MarkerForm::Form10));
    tree.File("clean.exe", clean);
    // Bare names are found where a logon looks, never in the current directory, which the scan
    // moves through the drive: the copies there must stay, whatever they carry.
    char windows[MAX_PATH];
    const std::string windowsWorm = std::string(windows, GetWindowsDirectoryA(windows, sizeof windows)) + "\\qfwin.exe";
    ASSERT_TRUE(WriteBytes(windowsWorm, Infected(clean, MarkerForm::Form00)));
    tree.File("qfwin.exe", clean);
    tree.File("qfcwd.exe", Infected(clean, MarkerForm::Form10));
    tree.File("sub/qfsub.exe", Infected(clean, MarkerForm::Form10));
    tree.File("bin/qfpath.exe", Infected(clean, MarkerForm::Form10));
    char path[4096];
    const std::string oldPath(path, GetEnvironmentVariableA("PATH", path, sizeof path));
    SetEnvironmentVariableA("PATH", (".;sub;" + tree.Path("bin") + ";" + oldPath).c_str());
    ASSERT_TRUE(SetCurrentDirectoryA(tree.Root().c_str()));
    SetFileAttributesA(tree.Path("quoted.exe").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    SetEnvironmentVariableA("QF_CLEANUP_DIR", tree.Root().c_str());
    HANDLE held = CreateFileA(tree.Path("held.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const std::string poisoned = "C:\\worm\\Services.exe," + std::string(1, '\0');
    auto quoted = [&](const char* name) { return "\"" + tree.Path(name) + "\""; };

    // Each name sorts after the one before it, so the walk meets them in this order either way.
    const struct {
        bool user;
        std::string name, data;
        DWORD type;
    } values[] = {
        {false, "v01 unquoted", tree.Path("unquoted.exe") + '\0', REG_SZ},
        {false, "v02 quoted", quoted("quoted.exe") + '\0', REG_SZ},
        {false, "v03 grows", tree.Path("grows.exe") + '\0', REG_SZ},  // past the key's measure, before it is read
        {false, "v04 spaces", quoted("Program Files/spaced.exe") + " -x y" + '\0', REG_SZ},
        {false, "v05 expand", "%QF_CLEANUP_DIR%\\expand.exe /x" + std::string(1, '\0'), REG_EXPAND_SZ},
        {false, "v06 twin", tree.Path("twin1.exe") + '\0', REG_SZ},
        {false, "v07 twin", tree.Path("twin2.exe") + '\0', REG_SZ},
        {false, "v08 long", tree.Path("long.exe") + " " + std::string(300, 'a') + '\0', REG_SZ},
        {false, "v09 after long", tree.Path("afterlong.exe") + '\0', REG_SZ},
        {false, "v10 no nul", tree.Path("nonul.exe"), REG_SZ},
        {false, "v11 " + std::string(300, 'n'), tree.Path("longname.exe") + '\0', REG_SZ},
        {false, "v12 held", tree.Path("held.exe") + '\0', REG_SZ},  // goes, though its file stays
        {false, "v13 clean", tree.Path("clean.exe") + '\0', REG_SZ},
        {false, "v14 missing", tree.Path("missing.exe") + '\0', REG_SZ},
        {false, "w1 bare, only in the current directory", "qfcwd.exe /x" + std::string(1, '\0'), REG_SZ},
        {false, "w2 bare, in the Windows directory", "qfwin" + std::string(1, '\0'), REG_SZ},
        {false, "w3 bare, in a PATH folder", "\"qfpath.exe\" -s" + std::string(1, '\0'), REG_SZ},
        {false, "w4 relative folder", "sub\\qfsub.exe" + std::string(1, '\0'), REG_SZ},
        {true, "u1 worm", tree.Path("user.exe") + '\0', REG_SZ},
        {true, "u2 clean", quoted("clean.exe") + " --tray" + '\0', REG_SZ},
        {true, "u3 binary", tree.Path("binary.exe"), REG_BINARY},  // read as text all the same
        {true, "u4 dword", std::string("\x01\x02\x03\x04", 4), REG_DWORD},
        {true, "u5 empty", "", REG_SZ},
    };
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kMachineRun);
    RegDeleteKeyA(HKEY_CURRENT_USER, kUserRun);
    for (const auto& value : values)
        Put(value.user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE, value.user ? kUserRun : kMachineRun, value.name,
            value.type, value.data);
    Put(HKEY_LOCAL_MACHINE, kWinlogon, "Userinit", REG_SZ, poisoned);
    ASSERT_FALSE(HasFailure());

    SetEnvironmentVariableA("QF_TEST_RUN_GROWS", "v03 grows");
    CleanupChanges changes;
    SetLastError(0xdeadbeef);  // a refusal's reason must be the failed call's own error
    EXPECT_EQ(RepairAutorun(nullptr, &changes), kCleanupFound | kCleanupRefused) << "held.exe could not be deleted";
    SetEnvironmentVariableA("QF_TEST_RUN_GROWS", nullptr);
    for (const CleanupChange& change : changes)
        EXPECT_EQ(change.error, change.place == tree.Path("held.exe") ? CleanupErrorText(ERROR_SHARING_VIOLATION) : "")
            << change.place << ": " << change.change;
    CloseHandle(held);
    SetEnvironmentVariableA("PATH", oldPath.c_str());
    const std::vector<std::string> machineLeft = {"v13 clean", "v14 missing", "w1 bare, only in the current directory",
                                                  "w4 relative folder"};
    EXPECT_EQ(GetFileAttributesA(windowsWorm.c_str()), INVALID_FILE_ATTRIBUTES) << "found where a logon looks";
    for (const char* kept : {"qfwin.exe", "qfcwd.exe", "sub/qfsub.exe"})
        EXPECT_TRUE(tree.Exists(kept)) << kept;
    EXPECT_FALSE(tree.Exists("bin/qfpath.exe"));
    const std::vector<std::string> userLeft = {"u2 clean", "u4 dword", "u5 empty"};
    EXPECT_EQ(Names(HKEY_LOCAL_MACHINE, kMachineRun), machineLeft);
    EXPECT_EQ(Names(HKEY_CURRENT_USER, kUserRun), userLeft);
    for (const char* name : worms)
        EXPECT_EQ(tree.Exists(name), std::string(name) == "held.exe") << name;
    EXPECT_TRUE(tree.Exists("clean.exe"));
    char system[MAX_PATH];
    const std::string logon = std::string(system, GetSystemDirectoryA(system, sizeof system)) + "\\userinit.exe";
    EXPECT_EQ(Userinit(), std::to_string(REG_SZ) + ":" + logon + '\0') << "this machine's logon program, with its NUL";

    Put(HKEY_LOCAL_MACHINE, kWinlogon, "Userinit", REG_SZ, poisoned);
    EXPECT_EQ(RepairAutorun(nullptr, nullptr), 0) << "nothing infected is left";
    EXPECT_EQ(Names(HKEY_LOCAL_MACHINE, kMachineRun), machineLeft);
    EXPECT_EQ(Names(HKEY_CURRENT_USER, kUserRun), userLeft);
    EXPECT_EQ(Userinit(), std::to_string(REG_SZ) + ":" + logon + '\0') << "written when nothing was found too";
}


std::string Env(const char* name)
{
    char value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// Under WoW64 (a 64-bit prefix) each view's Run program is the one its Windows starts, and goes;
// its namesake of the other view stays. Userinit is repaired in both views, in the 32-bit one
// only where it stands. In a 32-bit prefix the flags reach the one key, and no view is named.
TEST(AutorunViews, EachViewsProgramsAreTheOnesItsWindowsStarts)
{
    if (sizeof(void*) == 8)
        GTEST_SKIP() << "the shipped 32-bit build's views";
    BOOL wow64 = FALSE;
    ASSERT_EQ(IsWow64Process(GetCurrentProcess(), &wow64) && wow64, Env("QF_WINE_ARCH") == "x86_64") << "the prefix's kind";
    const Bytes clean = ReadBytes(SamplePath("sample32.exe"));
    ASSERT_FALSE(clean.empty());
    char folder[MAX_PATH];
    const std::string windows(folder, GetWindowsDirectoryA(folder, sizeof folder));
    const std::string system(folder, GetSystemDirectoryA(folder, sizeof folder));  // SysWOW64 under WoW64
    std::string system64 = wow64 ? "Z:" + Env("WINEPREFIX") + "/drive_c/windows/system32" : system;
    std::replace(system64.begin(), system64.end(), '/', '\\');
    const std::string files64 = Env(wow64 ? "ProgramW6432" : "ProgramFiles"), files32 = Env("ProgramFiles");
    const char* const viewNames[] = {wow64 ? " (64-bit view)" : "", wow64 ? " (32-bit view)" : ""};
    const struct {
        int view;  // 0: the 64-bit view, 1: the 32-bit one
        const char* name;
        DWORD type;
        std::string data, infected, namesake, seen;  // seen: the path the cleanup names it by
    } rows[] = {
        {0, "sys64", REG_SZ, windows + "\\system32\\qfsys64.exe", system64 + "\\qfsys64.exe", system + "\\qfsys64.exe",
         windows + (wow64 ? "\\Sysnative" : "\\system32") + "\\qfsys64.exe"},
        {0, "pf64", REG_EXPAND_SZ, "%ProgramFiles%\\qfview\\pf64.exe", files64 + "\\qfview\\pf64.exe",
         files32 + "\\qfview\\pf64.exe", files64 + "\\qfview\\pf64.exe"},
        {1, "sys32", REG_SZ, windows + "\\system32\\qfsys32.exe", system + "\\qfsys32.exe", system64 + "\\qfsys32.exe",
         windows + "\\system32\\qfsys32.exe"},
    };
    const REGSAM flags[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
    for (REGSAM flag : flags) {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kMachineRun, flag, 0);
        CreateDirectoryA(((flag == KEY_WOW64_64KEY ? files64 : files32) + "\\qfview").c_str(), nullptr);
    }
    RegDeleteKeyA(HKEY_CURRENT_USER, kUserRun);
    std::vector<std::string> expected;
    const std::string runKey = std::string("HKLM\\") + kMachineRun;
    for (const auto& row : rows) {
        ASSERT_TRUE(!wow64 || WriteBytes(row.namesake, clean)) << row.namesake;
        ASSERT_TRUE(WriteBytes(row.infected, Infected(clean, MarkerForm::Form10))) << row.infected;
        Put(HKEY_LOCAL_MACHINE, kMachineRun, row.name, row.type, row.data + '\0', flags[row.view]);
        expected.push_back(row.seen + " | infected program of a Run value deleted");
        expected.push_back(runKey + viewNames[row.view] + " | value \"" + row.name + "\" deleted: it starts " + row.seen +
                           ", which is infected");
    }
    const std::string logon = system + "\\userinit.exe";  // system32 by name, in either view
    for (int view = 0; view < (wow64 ? 2 : 1); ++view) {
        const std::string worm = "C:\\worm" + std::to_string(view) + ".exe";
        Put(HKEY_LOCAL_MACHINE, kWinlogon, "Userinit", REG_SZ, worm + '\0', flags[view]);
        expected.push_back(std::string("HKLM\\") + kWinlogon + viewNames[view] + " | Userinit set to \"" + logon +
                           "\" (was \"" + worm + "\")");
    }
    ASSERT_FALSE(HasFailure());

    CleanupChanges changes;
    EXPECT_EQ(RepairAutorun(nullptr, &changes), kCleanupFound);
    std::multiset<std::string> made;
    for (const CleanupChange& change : changes)
        made.insert(change.place + " | " + change.change + (change.done ? "" : " | not done: " + change.error));
    EXPECT_EQ(made, std::multiset<std::string>(expected.begin(), expected.end()));
    for (const auto& row : rows)
        EXPECT_EQ(std::make_pair(GetFileAttributesA(row.infected.c_str()) != INVALID_FILE_ATTRIBUTES,
                                 GetFileAttributesA(row.namesake.c_str()) != INVALID_FILE_ATTRIBUTES),
                  std::make_pair(false, wow64 != FALSE)) << row.infected << ", and the other view's namesake";
    for (REGSAM flag : flags) {
        EXPECT_EQ(Names(HKEY_LOCAL_MACHINE, kMachineRun, flag), std::vector<std::string>{}) << flag;
        EXPECT_EQ(Userinit(flag), std::to_string(REG_SZ) + ":" + logon + '\0') << flag;
    }
    if (!wow64)
        return;
    // Where no Userinit stands in the 32-bit view, none is written there.
    ASSERT_EQ(RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kWinlogon, KEY_WOW64_32KEY, 0), ERROR_SUCCESS);
    Put(HKEY_LOCAL_MACHINE, kWinlogon, "Userinit", REG_SZ, "C:\\worm.exe" + std::string(1, '\0'), KEY_WOW64_64KEY);
    EXPECT_EQ(RepairAutorun(nullptr, nullptr), 0);
    EXPECT_EQ(Userinit(KEY_WOW64_64KEY) + "|" + Userinit(KEY_WOW64_32KEY), std::to_string(REG_SZ) + ":" + logon + '\0' + "|0:");
}

}  // namespace
