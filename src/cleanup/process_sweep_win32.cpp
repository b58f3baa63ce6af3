// The process sweep: ends every process that runs as "Services.exe" or has loaded the runtime
// library "msvbvm60.dll". Relies on the debug privilege that start-up asks for, so that processes
// of other users and of the system can be opened.
#include <windows.h>
#include <tlhelp32.h>

#include "cleanup/cleanup_win32.h"
#include "cleanup/cleanup_rules.h"

namespace {

// Every access right as Windows XP and Server 2003 know them. Today's headers define
// PROCESS_ALL_ACCESS as 0x1FFFFF, a mask those systems refuse, so the sweep would open nothing.
const DWORD kProcessAllAccess = 0x1F0FFF;

// Tests every module of one process, as the module snapshot lists them, and makes one
// termination attempt for each positive test. A process whose modules cannot be listed is passed
// over. moduleName is the sweep's writable copy of the library name (folded by the first test).
int SweepProcess(const PROCESSENTRY32& process, char* moduleName)
{
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process.th32ProcessID);
    if (modules == INVALID_HANDLE_VALUE)
        return 0;
    const size_t moduleNameLength = lstrlenA(moduleName);
    int result = 0;
    MODULEENTRY32 module;
    module.dwSize = sizeof module;
    for (BOOL listed = Module32First(modules, &module); listed; listed = Module32Next(modules, &module)) {
        module.szExePath[sizeof module.szExePath - 1] = '\0';
        if (lstrcmpA(process.szExeFile, kWormProcessName) == 0)
            result |= TerminateProcessById(process.th32ProcessID);
        if (MatchModuleSuffix(moduleName, module.szExePath) == moduleNameLength)
            result |= TerminateProcessById(process.th32ProcessID);
    }
    CloseHandle(modules);
    return result;
}

}  // namespace

int EnableDebugPrivilege()
{
    LUID debugLuid;
    if (!LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &debugLuid))
        return -1;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token))
        return -1;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = debugLuid;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    const BOOL adjusted = AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
    CloseHandle(token);
    return adjusted ? 0 : -1;
}

int TerminateProcessById(DWORD processId)
{
    // Our own process is never the worm's, whatever it is named or has loaded.
    if (processId == GetCurrentProcessId())
        return 0;
    HANDLE process = OpenProcess(kProcessAllAccess, FALSE, processId);
    // A process that ended meanwhile cannot be opened either; only a refusal leaves the worm running.
    if (process == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED ? kCleanupFound | kCleanupRefused : 0;
    int result = 0;
    DWORD exitCode = 0;
    // A running process ends with the code it reports now, STILL_ACTIVE (259).
    if (GetExitCodeProcess(process, &exitCode))
        result = TerminateProcess(process, exitCode) ? kCleanupFound : kCleanupFound | kCleanupRefused;
    CloseHandle(process);
    return result;
}

int SweepProcesses()
{
    char moduleName[sizeof kWormModuleName];
    lstrcpyA(moduleName, kWormModuleName);
    HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (processes == INVALID_HANDLE_VALUE)
        return 0;
    const DWORD self = GetCurrentProcessId();
    int result = 0;
    PROCESSENTRY32 process;
    process.dwSize = sizeof process;
    for (BOOL listed = Process32First(processes, &process); listed; listed = Process32Next(processes, &process)) {
        // Process 0 is the system's idle process; a module snapshot of process 0 would list our
        // own modules instead.
        if (process.th32ProcessID == 0 || process.th32ProcessID == self)
            continue;
        process.szExeFile[sizeof process.szExeFile - 1] = '\0';
        result |= SweepProcess(process, moduleName);
    }
    CloseHandle(processes);
    return result;
}
