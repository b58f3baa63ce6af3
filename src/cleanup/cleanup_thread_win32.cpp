// The window's cleanup thread: the cleanup pass, then its verdict on the status line.
#include <windows.h>

#include "context/scan_context_win32.h"
#include "cleanup/cleanup_win32.h"
#include "cleanup/cleanup_rules.h"

DWORD WINAPI CleanupThread(LPVOID parameter)
{
    const auto* context = static_cast<const ScanContext*>(parameter);
    const int outcome = RunCleanupPass(nullptr, nullptr);  // the window deletes what it finds
    SendMessageA(context->statusWindow, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(CleanupVerdict(outcome)));
    return 0;
}
