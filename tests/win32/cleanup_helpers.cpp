// Helper processes of the cleanup tests.
#include "cleanup_helpers.h"

#include "cleanup/cleanup.h"

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

std::string ThisProgram()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, length < sizeof path ? length : 0);
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
