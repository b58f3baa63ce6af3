// The record shared by the user-interface thread and the two worker threads.
//
// Who owns what (nothing here is locked):
// - mainWindow, statusWindow, startButton, stopButton, deleteCheckBox and instance are written
//   once by start-up, before any worker starts, and only read afterwards.
// - textBuffer, deleteInfected and interactive are written by the user-interface thread only when
//   it starts a scan; a running scan disables every way to start another one.
// - accelerators belongs to the user-interface thread alone: start-up loads it, the message loop
//   reads it, the window procedure and Stop replace it, and WinMain destroys it at the end. The
//   scan worker never touches it: it sends kShowTableMessage to the main window and the window
//   procedure makes the swap, so no table is destroyed while the loop may be using it.
// - scanEnd says how the running scan ends. The user-interface thread resets it to kScanRunning
//   before each scan starts. After that it changes once, by compare-and-swap: Stop (and closing
//   the window) claims it with kScanStopClaimed, the worker with kScanEndClaimed once its walk
//   is over and before it shows a summary or a box. Whoever claims first decides: a scan ends
//   either stopped (no summary, no box, nothing deleted after the claim) or with its own end
//   (Stop then does nothing). The walk reads any non-zero value as the request to stop.
// - The text buffer (textBuffer) is written by the scan worker while a scan runs and by the
//   user-interface thread only before a scan starts or after the worker has ended. Text reaches
//   the status control only by a synchronous WM_SETTEXT, so the control has its own copy before
//   the writer goes on.
// The cleanup worker reads statusWindow only.
// Both workers are the window's own: their threads (scan/scan_worker_win32.cpp,
// cleanup/cleanup_thread_win32.cpp) are built into the window's library with this record, and
// qfscan, which runs the walk and the cleanup pass on its own threads, links none of them.
#pragma once

#include <windows.h>

#include <atomic>

constexpr size_t kPathCapacity = 260;  // the window's fixed text buffers, the NUL included

struct ScanContext {
    HWND mainWindow;
    HWND statusWindow;
    HWND startButton;
    HWND stopButton;
    HWND deleteCheckBox;
    char* textBuffer;              // the shared 260-byte text buffer; null until the first scan
    int deleteInfected;            // 1: a scan deletes the infected files it finds
    HINSTANCE instance;            // the module that holds the accelerator tables
    HACCEL accelerators;           // the table the message loop applies
    int interactive;               // 1: the scan drives the buttons, status text and its box
    std::atomic<int> scanEnd;          // kScanRunning, then which side claimed the end
};

constexpr int kScanRunning = 0;
constexpr int kScanStopClaimed = 1;  // Stop won: the worker ends at its next check, silently
constexpr int kScanEndClaimed = 2;   // the worker reached its end first: Stop does nothing

// Sent to the main window: wParam 1 puts "WorkingButtonAccel" in force, 0 "IdleButtonAccel".
constexpr UINT kShowTableMessage = WM_APP + 1;

// User-interface thread only: loads the working or the idle table from the context's module and
// makes it the one in force, destroying the one it replaces.
void SwapAccelerators(ScanContext* context, bool working);

// Any thread: asks the user-interface thread to swap the tables, and returns once it has (a
// synchronous send, which the user-interface thread handles while it waits for a worker too).
void RequestAccelerators(const ScanContext* context, bool working);
