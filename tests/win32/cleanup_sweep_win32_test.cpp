// SweepProcesses against real helper processes in the throwaway prefix: the test program itself,
// started again under other names to play the worm's processes and others.
#include <gtest/gtest.h>
#include <windows.h>

#include <tlhelp32.h>

#include <cstring>
#include <memory>
#include <string>

#include "cleanup/cleanup_win32.h"
#include "temp_tree.h"

// argv: program --play ROLE [ARG] READY-EVENT. A helper left behind by a failed test ends on its own.
int PlayHelperRole(int argc, char** argv)
{
    const std::string role = argv[2];
    const char* arg = argc >= 5 ? argv[3] : nullptr;
    if (arg != nullptr && LoadLibraryA(arg) == nullptr)
        return 2;
    if (role == "sweep")
        return 100 + SweepProcesses();
    SetEvent(OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[argc - 1]));
    Sleep(300000);
    return 0;
}

namespace {

std::string ThisProgram()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, length < sizeof path ? length : 0);
}

// The test program, started again from program (itself when empty) as "--play ROLE [ARG]":
// "wait" or "load DLL" get ready and then wait to be ended; "sweep [DLL]" ends at once with
// 100 + SweepProcesses(). Ended, if still running, when it goes out of scope.
class Helper {
public:
    Helper(const std::string& program, const std::string& roleAndArg);
    ~Helper() { Stop(); }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    bool ready() const { return ready_; }
    // The exit code once it has ended within timeoutMs; ~0u while it still runs.
    DWORD ExitCode(DWORD timeoutMs = 60000) const;
    bool Running() const { return ExitCode(0) == ~0u; }
    void Stop();

private:
    HANDLE process_ = nullptr;
    bool ready_ = false;
};

Helper::Helper(const std::string& program, const std::string& roleAndArg)
{
    static int started = 0;
    const std::string event = "qf-cleanup-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++started);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, event.c_str());
    const std::string exe = program.empty() ? ThisProgram() : program;
    std::string line = "\"" + exe + "\" --play " + roleAndArg + " " + event;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (CreateProcessA(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        HANDLE waits[2] = {ready, process_};
        ready_ = roleAndArg.compare(0, 5, "sweep") == 0 ||
                 WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0;
    }
    CloseHandle(ready);
}

DWORD Helper::ExitCode(DWORD timeoutMs) const
{
    DWORD code = ~0u;
    if (process_ != nullptr && WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(process_, &code);
    return code;
}

void Helper::Stop()
{
    if (process_ == nullptr)
        return;
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 60000);
    CloseHandle(process_);
    process_ = nullptr;
}

std::string ProbeDllPath()
{
    std::string path = QF_PROBE_DLL;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path[0] == '\\' ? "Z:" + path : path;
}

bool CopyTo(const std::string& from, const std::string& to)
{
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

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
