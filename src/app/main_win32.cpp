// Quenfold: finds and removes the Zaverin worm. WinMain runs start-up in order, then the loop.
#include <windows.h>
#include <commctrl.h>

#include "context/scan_context_win32.h"
#include "app/startup_win32.h"
#include "cleanup/cleanup_win32.h"
#include "ui/main_window_win32.h"

namespace {

// The record shared with the worker threads; lives as long as the process.
ScanContext scanContext;

// The security attributes every worker thread is started with: no descriptor, inheritable.
SECURITY_ATTRIBUTES threadSecurity;

// Exit code when the main window cannot be created: there would be nothing to close.
const int kNoWindowExitCode = 2;

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    // The scan moves the current directory through the drive; a DLL loaded late must never come
    // from there into a process that holds the debug privilege.
    SetDllDirectoryA("");
    EnableDebugPrivilege();  // without it the program runs on with the access it has
    // The manifest asks for Common Controls 6; XP creates none of its controls until it is loaded.
    InitCommonControls();

    char* textBuffer = AllocateTextBuffer();
    if (textBuffer == nullptr)
        return -1;
    FillDriveRoots(textBuffer, MAX_PATH);
    threadSecurity.nLength = sizeof threadSecurity;
    threadSecurity.lpSecurityDescriptor = nullptr;
    threadSecurity.bInheritHandle = TRUE;
    PrepareMainWindow(&scanContext, textBuffer, &threadSecurity);

    if (!RegisterMainClass(instance)) {
        FreeTextBuffer(textBuffer);
        return 0;
    }
    HWND mainWindow = CreateMainWindow(instance);
    if (mainWindow == nullptr) {
        FreeTextBuffer(textBuffer);
        return kNoWindowExitCode;
    }
    ShowWindow(mainWindow, showCommand);
    UpdateWindow(mainWindow);

    HandOverControls(&scanContext, mainWindow);
    scanContext.deleteInfected = 1;
    scanContext.interactive = 0;
    scanContext.instance = instance;
    scanContext.accelerators = LoadAcceleratorsA(instance, "IdleButtonAccel");

    // Nothing ever waits for or stops the cleanup, so its handle is not kept.
    DWORD threadId = 0;
    HANDLE cleanup = CreateThread(&threadSecurity, 0, CleanupThread, &scanContext, 0, &threadId);
    if (cleanup != nullptr)
        CloseHandle(cleanup);
    SendMessageA(mainWindow, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("QuenfoldApp"));

    const int exitCode = RunMessageLoop(&scanContext, mainWindow);

    // Closing the window has ended any scan; this covers a loop that ended another way. Only
    // then are the buffer and the table the scan uses released.
    EndScanAtExit();
    if (scanContext.accelerators != nullptr)
        DestroyAcceleratorTable(scanContext.accelerators);
    scanContext.accelerators = nullptr;
    FreeTextBuffer(textBuffer);
    return exitCode;
}
