// RepairAutorun and CleanRunKey on the prefix's real registry and real files.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "cleanup/cleanup.h"
#include "cleanup_helpers.h"
#include "samples.h"
#include "temp_tree.h"

namespace {

const char kMachineRun[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kUserRun[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kWinlogon[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

const Bytes& Clean()
{
    static const Bytes bytes = ReadBytes(SamplePath("sample32.exe"));
    return bytes;
}

const Bytes& Worm()
{
    static const Bytes bytes = Infected(Clean(), MarkerForm::Form10);
    return bytes;
}

// Every value of a key by name, as raw bytes.
struct Value {
    std::string name;
    DWORD type;
    std::string data;
};

std::vector<Value> Values(HKEY root, const char* subkey)
{
    std::vector<Value> values;
    HKEY key;
    if (RegOpenKeyExA(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return values;
    for (DWORD index = 0;; ++index) {
        char name[20000];
        std::vector<char> data(70000);
        DWORD nameSize = sizeof name;
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                          &dataSize) != ERROR_SUCCESS)
            break;
        values.push_back({name, type, std::string(data.data(), dataSize)});
    }
    RegCloseKey(key);
    return values;
}

bool HasValue(HKEY root, const char* subkey, const std::string& name)
{
    for (const Value& value : Values(root, subkey))
        if (value.name == name)
            return true;
    return false;
}

void ClearKey(HKEY root, const char* subkey)
{
    HKEY key;
    if (RegOpenKeyExA(root, subkey, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    for (const Value& value : Values(root, subkey))
        RegDeleteValueA(key, value.name.c_str());
    RegCloseKey(key);
}

// Writes one value, data given byte for byte (the NUL only where the text holds it).
void Put(HKEY root, const char* subkey, const std::string& name, DWORD type, const std::string& data)
{
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(root, subkey, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS)
        << name;
    RegCloseKey(key);
}

void PutText(HKEY root, const char* subkey, const std::string& name, const std::string& text)
{
    Put(root, subkey, name, REG_SZ, std::string(text.c_str(), text.size() + 1));
}

std::string ExpectedUserinit()
{
    char system[MAX_PATH];
    const UINT length = GetSystemDirectoryA(system, sizeof system);
    return std::string(system, length) + "\\userinit.exe";
}

void ExpectUserinitRestored()
{
    for (const Value& value : Values(HKEY_LOCAL_MACHINE, kWinlogon)) {
        if (value.name != "Userinit")
            continue;
        EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(value.data, ExpectedUserinit() + std::string(1, '\0')) << "the logon program, with its NUL";
        return;
    }
    ADD_FAILURE() << "no Userinit value";
}

class AutorunRepair : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(Clean().empty());
        ASSERT_EQ(tree_.Root().find(' '), std::string::npos) << "the tests rely on a temporary folder without spaces";
        ClearKey(HKEY_LOCAL_MACHINE, kMachineRun);
        ClearKey(HKEY_CURRENT_USER, kUserRun);
        PutText(HKEY_LOCAL_MACHINE, kWinlogon, "Userinit", "C:\\worm\\Services.exe,");
    }
    void TearDown() override
    {
        ClearKey(HKEY_LOCAL_MACHINE, kMachineRun);
        ClearKey(HKEY_CURRENT_USER, kUserRun);
    }

    TempTree tree_;
};

TEST_F(AutorunRepair, RemovesInfectedProgramsAndTheirValuesInBothKeys)
{
    const std::string root = tree_.Root();
    tree_.Dir("Program Files");
    for (const char* name : {"unquoted.exe", "quoted.exe", "args.exe", "Program Files/spaced.exe", "expand.exe",
                             "twin1.exe", "twin2.exe", "long.exe", "afterlong.exe", "nonul.exe", "longname.exe",
                             "user.exe"})
        tree_.File(name, Worm());
    tree_.File("clean.exe", Clean());
    SetFileAttributesA(tree_.Path("quoted.exe").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    SetEnvironmentVariableA("QF_CLEANUP_DIR", root.c_str());
    const std::string longName = "v11 " + std::string(300, 'n');

    // Names sort in the order they are written, so the walk meets them in this order either way.
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "v01 unquoted", tree_.Path("unquoted.exe"));
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "v02 quoted", "\"" + tree_.Path("quoted.exe") + "\"");
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "v03 quoted with arguments", "\"" + tree_.Path("args.exe") + "\" /s");
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "v04 spaces", "\"" + tree_.Path("Program Files/spaced.exe") + "\" -x y");
    const std::string expandable = "%QF_CLEANUP_DIR%\\expand.exe /x";
    Put(HKEY_LOCAL_MACHINE, kMachineRun, "v05 expand", REG_EXPAND_SZ, expandable + std::string(1, '\0'));
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "v06 twin", tree_.Path("twin1.exe"));
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "v07 twin", tree_.Path("twin2.exe"));
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "v08 long", tree_.Path("long.exe") + " " + std::string(300, 'a'));
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "v09 after long", tree_.Path("afterlong.exe"));
    Put(HKEY_LOCAL_MACHINE, kMachineRun, "v10 no nul", REG_SZ, tree_.Path("nonul.exe"));
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, longName, tree_.Path("longname.exe"));
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "v12 clean", tree_.Path("clean.exe"));
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "v13 missing", tree_.Path("missing.exe"));
    PutText(HKEY_CURRENT_USER, kUserRun, "u1 worm", tree_.Path("user.exe"));
    PutText(HKEY_CURRENT_USER, kUserRun, "u2 clean", "\"" + tree_.Path("clean.exe") + "\" --tray");
    ASSERT_FALSE(HasFailure());

    EXPECT_EQ(RepairAutorun(), 1);

    std::vector<std::string> left;
    for (const Value& value : Values(HKEY_LOCAL_MACHINE, kMachineRun))
        left.push_back(value.name);
    EXPECT_EQ(left, (std::vector<std::string>{"v12 clean", "v13 missing"}));
    EXPECT_FALSE(HasValue(HKEY_CURRENT_USER, kUserRun, "u1 worm"));
    EXPECT_TRUE(HasValue(HKEY_CURRENT_USER, kUserRun, "u2 clean"));
    for (const char* gone : {"unquoted.exe", "quoted.exe", "args.exe", "Program Files/spaced.exe", "expand.exe",
                             "twin1.exe", "twin2.exe", "long.exe", "afterlong.exe", "nonul.exe", "longname.exe",
                             "user.exe"})
        EXPECT_FALSE(tree_.Exists(gone)) << gone;
    EXPECT_TRUE(tree_.Exists("clean.exe"));
    ExpectUserinitRestored();

    EXPECT_EQ(RepairAutorun(), 0) << "nothing infected is left";
    EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, kMachineRun, "v12 clean"));
    EXPECT_TRUE(HasValue(HKEY_CURRENT_USER, kUserRun, "u2 clean"));
}

// Which program a value names decides alone: an infected program named in one key only is found.
TEST_F(AutorunRepair, InfectedProgramInTheUsersKeyOnly)
{
    tree_.File("worm.exe", Worm());
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "clean", SamplePath("sample32.exe"));
    PutText(HKEY_CURRENT_USER, kUserRun, "worm", tree_.Path("worm.exe"));
    EXPECT_EQ(RepairAutorun(), 1);
    EXPECT_FALSE(tree_.Exists("worm.exe"));
    EXPECT_FALSE(HasValue(HKEY_CURRENT_USER, kUserRun, "worm"));
    EXPECT_TRUE(HasValue(HKEY_LOCAL_MACHINE, kMachineRun, "clean"));
}

TEST_F(AutorunRepair, EmptyKeysFindNothingAndUserinitIsStillWritten)
{
    EXPECT_EQ(RepairAutorun(), 0);
    ExpectUserinitRestored();
}

// A program that cannot be deleted loses its value all the same.
TEST_F(AutorunRepair, ValueGoesEvenWhenItsProgramCannotBeDeleted)
{
    tree_.File("held.exe", Worm());
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "held", tree_.Path("held.exe"));
    PutText(HKEY_LOCAL_MACHINE, kMachineRun, "next", tree_.Path("held.exe"));
    HANDLE holder = CreateFileA(tree_.Path("held.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RepairAutorun(), 1);
    CloseHandle(holder);
    EXPECT_TRUE(tree_.Exists("held.exe"));
    EXPECT_TRUE(Values(HKEY_LOCAL_MACHINE, kMachineRun).empty()) << "both values named the infected program";
}

// CleanRunKey on a key of its own: a value of another type is read as text too, and data
// without a NUL ends at its size.
TEST_F(AutorunRepair, CleanRunKeyReadsEveryValueAsTextBoundedByItsSize)
{
    const char* subkey = "Software\\Quenfold tests\\Run";
    tree_.File("binary.exe", Worm());
    Put(HKEY_CURRENT_USER, subkey, "binary", REG_BINARY, tree_.Path("binary.exe"));
    Put(HKEY_CURRENT_USER, subkey, "dword", REG_DWORD, std::string("\x01\x02\x03\x04", 4));
    Put(HKEY_CURRENT_USER, subkey, "empty", REG_SZ, std::string());
    HKEY key;
    ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, subkey, &key), ERROR_SUCCESS);
    EXPECT_EQ(CleanRunKey(key), 1);
    EXPECT_EQ(CleanRunKey(key), 0);
    RegCloseKey(key);
    EXPECT_FALSE(tree_.Exists("binary.exe"));
    std::vector<std::string> left;
    for (const Value& value : Values(HKEY_CURRENT_USER, subkey))
        left.push_back(value.name);
    EXPECT_EQ(left, (std::vector<std::string>{"dword", "empty"}));
    RegDeleteKeyA(HKEY_CURRENT_USER, subkey);
}

}  // namespace
