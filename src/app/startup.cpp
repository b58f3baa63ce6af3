// Start-up steps: the debug privilege, the text buffer, the drive roots, and the message loop.
#include "app/startup.h"

#include "app/key_filter.h"

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

char* AllocateTextBuffer()
{
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE, MAX_PATH);
    if (block == nullptr)
        return nullptr;
    char* buffer = static_cast<char*>(LocalLock(block));
    if (buffer == nullptr)
        LocalFree(block);
    return buffer;
}

void FreeTextBuffer(char* buffer)
{
    HLOCAL block = LocalHandle(buffer);
    LocalUnlock(block);
    LocalFree(block);
}

void FillDriveRoots(char* buffer, DWORD size)
{
    buffer[0] = '\0';
    const DWORD length = GetLogicalDriveStringsA(size - 1, buffer);
    // Too small a buffer makes the call report the size it needed and write nothing useful.
    if (length == 0 || length >= size - 1)
        buffer[0] = '\0';
    buffer[size - 1] = '\0';
}

namespace {

// Whether msg is offered to the accelerator table at all (see key_filter.h).
bool OfferToTable(const MSG& msg)
{
    if (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN)
        return KeyDownMayMatchTable(static_cast<unsigned>(msg.wParam));
    return true;
}

}  // namespace

int RunMessageLoop(ScanContext* context, HWND mainWindow)
{
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0)
            return static_cast<int>(msg.wParam);
        if (got < 0)
            return 1;  // the platform cannot deliver messages any more
        if (OfferToTable(msg) && TranslateAcceleratorA(mainWindow, context->accelerators.load(), &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}
