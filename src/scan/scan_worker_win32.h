// The drive scan worker thread and the calls that start and stop it.
#pragma once

#include <windows.h>

#include "context/scan_context_win32.h"

// Exit codes of ScanDriveThread besides the number of infected files it found.
constexpr DWORD kScanFailedExitCode = static_cast<DWORD>(-1);   // root unlisted, or out of memory
constexpr DWORD kScanStoppedExitCode = static_cast<DWORD>(-2);  // ended by a stop request

// Progress reaches the status control at most this often; the texts in between are dropped, as
// nobody can read thousands of them a second.
constexpr DWORD kProgressIntervalMs = 50;

// Walks the tree below the scan root held in context->textBuffer, testing every 32-bit Windows
// executable, counting, deleting infected files when context->deleteInfected is set, and showing
// progress, summary and the end-of-scan box when context->interactive is set. Holds the window's
// working state (Stop enabled, Start and the delete box disabled, "WorkingButtonAccel") while it
// runs. Once Stop has claimed the end it ends at once: no further output, no change to the
// window, the context or any file.
DWORD WINAPI ScanDriveThread(LPVOID context);

// Marks the scan as running and starts ScanDriveThread on context; the thread's handle, or null
// when it cannot be started.
HANDLE StartScanWorker(ScanContext* context, SECURITY_ATTRIBUTES* security);

// Claims the end of the scan for Stop and waits until the worker's thread has ended. False, at
// once and with nothing done, when the worker had already claimed it: the scan is ending with
// its own summary or box.
bool StopScanWorker(ScanContext* context, HANDLE worker);

// Waits until the worker's thread has ended. Messages that other threads send to this thread's
// windows (the worker's status text, button changes and boxes) are handled while waiting, so
// the worker cannot block on this thread.
void WaitForScanWorker(HANDLE worker);

// Enables Stop and disables Start and the delete box (working), or the reverse (idle), in the
// order Stop, Start, delete box.
void ShowScanState(const ScanContext* context, bool working);
