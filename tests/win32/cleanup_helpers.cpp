// Helper processes, the probe DLL and the status probe of the cleanup tests.
#include "cleanup_helpers.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/scan_context.h"
#include "cleanup/cleanup.h"

#ifndef QF_PROBE_DLL
#error "the build names the probe DLL"
#endif

namespace {

const DWORD kReadyTimeoutMs = 60000;
const DWORD kHelperLifetimeMs = 300000;  // a helper left behind by a failed test ends on its own

std::vector<std::string> statusTexts;  // texts the status probe was sent, in order

void Ready(const char* eventName)
{
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, eventName);
    if (ready != nullptr) {
        SetEvent(ready);
        CloseHandle(ready);
    }
}

LRESULT CALLBACK StatusProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTEXT)
        statusTexts.push_back(reinterpret_cast<const char*>(lParam));
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

// The helper roles; argv[2] is the role, the last argument the ready event's name.
int PlayHelperRole(int argc, char** argv)
{
    const std::string role = argv[2];
    const char* ready = argv[argc - 1];
    if (role == "wait") {
        Ready(ready);
        Sleep(kHelperLifetimeMs);
        return 0;
    }
    if (role == "load" && argc >= 5) {
        if (LoadLibraryA(argv[3]) == nullptr)
            return 2;
        Ready(ready);
        Sleep(kHelperLifetimeMs);
        return 0;
    }
    if (role == "hold" && argc >= 5) {
        HANDLE file = CreateFileA(argv[3], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return 2;
        Ready(ready);
        Sleep(kHelperLifetimeMs);
        CloseHandle(file);
        return 0;
    }
    if (role == "sweep") {
        if (argc >= 5 && LoadLibraryA(argv[3]) == nullptr)
            return 2;
        return 100 + SweepProcesses();
    }
    return 3;
}

std::string ThisProgram()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

std::string ProbeDllPath()
{
    std::string path = QF_PROBE_DLL;
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

bool CopyTo(const std::string& from, const std::string& to)
{
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool StartHelper(const std::string& program, const std::string& roleAndArgs, Helper* helper)
{
    *helper = Helper{};
    static int started = 0;
    char eventName[64];
    std::snprintf(eventName, sizeof eventName, "qf-cleanup-ready-%lu-%d",
                  static_cast<unsigned long>(GetCurrentProcessId()), ++started);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, eventName);
    if (ready == nullptr)
        return false;
    const std::string exe = program.empty() ? ThisProgram() : program;
    std::string line = "\"" + exe + "\" --play " + roleAndArgs + " " + eventName;
    std::vector<char> writable(line.begin(), line.end());
    writable.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(exe.c_str(), writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        CloseHandle(ready);
        return false;
    }
    CloseHandle(info.hThread);
    helper->process = info.hProcess;
    helper->id = info.dwProcessId;
    bool isReady = true;
    if (roleAndArgs.compare(0, 5, "sweep") != 0) {
        HANDLE waits[2] = {ready, info.hProcess};
        isReady = WaitForMultipleObjects(2, waits, FALSE, kReadyTimeoutMs) == WAIT_OBJECT_0;
    }
    CloseHandle(ready);
    return isReady;
}

bool IsRunning(const Helper& helper)
{
    return helper.process != nullptr && WaitForSingleObject(helper.process, 0) == WAIT_TIMEOUT;
}

DWORD WaitForExit(const Helper& helper, DWORD timeoutMs)
{
    if (helper.process == nullptr || WaitForSingleObject(helper.process, timeoutMs) != WAIT_OBJECT_0)
        return ~0u;
    DWORD code = ~0u;
    GetExitCodeProcess(helper.process, &code);
    return code;
}

void StopHelper(Helper* helper)
{
    if (helper->process == nullptr)
        return;
    if (IsRunning(*helper)) {
        TerminateProcess(helper->process, 1);
        WaitForSingleObject(helper->process, kReadyTimeoutMs);
    }
    CloseHandle(helper->process);
    *helper = Helper{};
}

DWORD FindProcess(const char* name)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    DWORD found = 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL listed = Process32First(snapshot, &entry); listed && found == 0; listed = Process32Next(snapshot, &entry))
        if (std::strcmp(entry.szExeFile, name) == 0)
            found = entry.th32ProcessID;
    CloseHandle(snapshot);
    return found;
}

bool ProcessStillActive(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId);
    if (process == nullptr)
        return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

HWND CreateStatusProbe()
{
    statusTexts.clear();
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = StatusProbeProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "QfCleanupStatusProbe";
    RegisterClassA(&windowClass);  // fails harmlessly when already registered
    return CreateWindowA("QfCleanupStatusProbe", "Status: waiting", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                         windowClass.hInstance, nullptr);
}

void DestroyStatusProbe(HWND window)
{
    DestroyWindow(window);
}

const std::vector<std::string>& StatusTexts()
{
    return statusTexts;
}

DWORD RunCleanupPass(HWND statusProbe)
{
    statusTexts.clear();
    ScanContext context{};
    context.statusWindow = statusProbe;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, CleanupThread, &context, 0, &id);
    if (thread == nullptr)
        return ~0u;
    // The pass's verdict is a cross-thread send: keep pumping until the thread has ended.
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
    DWORD code = ~0u;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    return code;
}
