// The console scanner's platform needs on Windows.
#include "console/console_platform.h"

#include <windows.h>

#include <io.h>

#include <cstdio>

#include "cleanup/cleanup.h"

namespace {

std::atomic<int>* interruptFlag;

ULONGLONG WINAPI TickCount64()
{
    return GetTickCount();
}

BOOL WINAPI OnInterrupt(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    interruptFlag->store(1);
    return TRUE;
}

}  // namespace

// The toolchain's thread library, which the C++ run-time's exception support pulls in, imports
// GetTickCount64, and Windows XP has none: the program would not even load there. Defining the
// import here means the linker takes none from kernel32. Its only use there is timed waits,
// which this program never makes.
#ifdef _WIN64
extern "C" ULONGLONG(WINAPI* const tickCount64Import)() __asm__("__imp_GetTickCount64");
#else
extern "C" ULONGLONG(WINAPI* const tickCount64Import)() __asm__("__imp__GetTickCount64@0");
#endif
extern "C" ULONGLONG(WINAPI* const tickCount64Import)() = TickCount64;

void ConsoleStart()
{
    // The scan moves the current directory through the drive; a DLL loaded late must never come
    // from there, least of all into a process that holds the debug privilege.
    SetDllDirectoryA("");
}

bool StderrIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

uint64_t MonotonicMs()
{
    return GetTickCount();  // wraps after 49 days; differences stay right below that
}

std::string ConsoleTextToUtf8(const std::string& text)
{
    const int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (wide <= 0)
        return text;
    std::wstring utf16(static_cast<size_t>(wide), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &utf16[0], wide);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, utf16.data(), wide, &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

void CatchInterrupt(std::atomic<int>* interrupt)
{
    interruptFlag = interrupt;
    SetConsoleCtrlHandler(OnInterrupt, TRUE);
}

int RunSystemCleanup()
{
    EnableDebugPrivilege();  // without it the pass runs on with the access it has, as the window does
    return RunCleanupPass();
}

bool RunningAsAdministrator()
{
    // A token that UAC filtered holds the group for denying only, which this check does not count;
    // XP has the same call, without UAC.
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &administrators))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, administrators, &member))
        member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
}

bool OfflineSupported()
{
    return false;
}

bool OfflineRepair(const OfflineRequest&, Report*)
{
    return false;
}
