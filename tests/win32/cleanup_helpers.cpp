// Helper processes and the status window of the cleanup tests.
#include "cleanup_helpers.h"

#include <gtest/gtest.h>

#include "context/scan_context.h"
#include "cleanup/cleanup.h"

namespace {

std::vector<std::string> statusTexts;

LRESULT CALLBACK RecordText(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTEXT)
        statusTexts.push_back(reinterpret_cast<const char*>(lParam));
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

// argv: program --play ROLE [ARG] READY-EVENT. A helper left behind by a failed test ends on its own.
int PlayHelperRole(int argc, char** argv)
{
    const std::string role = argv[2];
    const char* arg = argc >= 5 ? argv[3] : nullptr;
    if (arg != nullptr && role != "hold" && LoadLibraryA(arg) == nullptr)
        return 2;
    if (role == "sweep")
        return 100 + SweepProcesses();
    if (role == "hold" &&
        CreateFileA(arg, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr) == INVALID_HANDLE_VALUE)
        return 2;
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

std::vector<std::string> RecordCleanupPass()
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RecordText;
    windowClass.lpszClassName = "QfStatusProbe";
    RegisterClassA(&windowClass);  // fails harmlessly when already registered
    ScanContext context{};
    context.statusWindow = CreateWindowA("QfStatusProbe", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    EXPECT_NE(context.statusWindow, nullptr);
    statusTexts.clear();
    EXPECT_EQ(CleanupThread(&context), 0u);
    DestroyWindow(context.statusWindow);
    return statusTexts;
}
