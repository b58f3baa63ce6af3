// SweepProcesses against real helper processes in the throwaway prefix.
#include <gtest/gtest.h>
#include <windows.h>

#include <tlhelp32.h>

#include <cstring>
#include <memory>

#include "cleanup/cleanup.h"
#include "cleanup_helpers.h"
#include "temp_tree.h"

namespace {

int CountProcesses(const char* name)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL listed = Process32First(snapshot, &entry); listed; listed = Process32Next(snapshot, &entry))
        count += std::strcmp(entry.szExeFile, name) == 0;
    CloseHandle(snapshot);
    return count;
}

TEST(ProcessSweep, EndsTheWormsProcessesAndNeverItsOwn)
{
    TempTree tree;
    for (const char* dir : {"named", "small", "lib", "LIB2"})
        tree.Dir(dir);
    ASSERT_TRUE(CopyTo(ThisProgram(), tree.Path("named/Services.exe")));
    ASSERT_TRUE(CopyTo(ThisProgram(), tree.Path("small/services.exe")));
    ASSERT_TRUE(CopyTo(ProbeDllPath(), tree.Path("lib/msvbvm60.dll")));
    ASSERT_TRUE(CopyTo(ProbeDllPath(), tree.Path("LIB2/MSVBVM60.DLL")));
    ASSERT_TRUE(CopyTo(ProbeDllPath(), tree.Path("lib/msvbvm60.dll.bak")));
    const int services = CountProcesses("services.exe");
    ASSERT_GE(services, 1) << "Wine's service manager runs as services.exe";

    const struct {
        std::string program, roleAndArg;
        bool worm;
    } cases[] = {{tree.Path("named/Services.exe"), "wait", true},
                 {"", "load " + tree.Path("lib/msvbvm60.dll"), true},
                 {"", "load " + tree.Path("LIB2/MSVBVM60.DLL"), true},
                 {tree.Path("small/services.exe"), "wait", false},
                 {"", "load " + tree.Path("lib/msvbvm60.dll.bak"), false},
                 {"", "wait", false}};
    std::vector<std::unique_ptr<Helper>> helpers;
    for (const auto& c : cases) {
        helpers.emplace_back(new Helper(c.program, c.roleAndArg));
        ASSERT_TRUE(helpers.back()->ready()) << c.roleAndArg << " from " << c.program;
    }

    // The first sweep runs in a process that is itself the worm's by name and by library: it ends
    // the others but not itself, and lives to report 100 + 1.
    Helper sweeper(tree.Path("named/Services.exe"), "sweep " + tree.Path("lib/msvbvm60.dll"));
    EXPECT_EQ(sweeper.ExitCode(), 101u);
    for (size_t i = 0; i < helpers.size(); ++i)
        EXPECT_EQ(helpers[i]->ExitCode(cases[i].worm ? 60000 : 0), cases[i].worm ? STILL_ACTIVE : ~0u)
            << cases[i].roleAndArg << " from " << cases[i].program;
    EXPECT_EQ(CountProcesses("services.exe"), services + 1) << "Wine's own and the small-letter helper";

    EXPECT_EQ(SweepProcesses(), 0) << "nothing left to end";
    EXPECT_TRUE(helpers[3]->Running() && helpers[5]->Running());
    EXPECT_EQ(TerminateProcessById(GetCurrentProcessId()), 0);
}

}  // namespace
