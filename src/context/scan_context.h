// The record shared by the user-interface thread and the two worker threads.
//
// Who owns what (nothing here is locked):
// - mainWindow, statusWindow, startButton, stopButton, deleteCheckBox and instance are written
//   once by start-up, before any worker starts, and only read afterwards.
// - textBuffer, deleteInfected and interactive are written by the user-interface thread only when
//   it starts a scan; a running scan disables every way to start another one.
// - accelerators is read by the message loop for every message and replaced by the scan worker
//   and by Stop. A replacement stores the new table before it destroys the old one, so the loop
//   never meets a destroyed table.
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
#pragma once

#include <windows.h>

#include <atomic>

struct ScanContext {
    HWND mainWindow;
    HWND statusWindow;
    HWND startButton;
    HWND stopButton;
    HWND deleteCheckBox;
    char* textBuffer;              // the shared 260-byte text buffer; null until the first scan
    int deleteInfected;            // 1: a scan deletes the infected files it finds
    HINSTANCE instance;            // the module that holds the accelerator tables
    std::atomic<HACCEL> accelerators;  // the table the message loop applies
    int interactive;               // 1: the scan drives the buttons, status text and its box
    std::atomic<int> scanEnd;          // kScanRunning, then which side claimed the end
};

constexpr int kScanRunning = 0;
constexpr int kScanStopClaimed = 1;  // Stop won: the worker ends at its next check, silently
constexpr int kScanEndClaimed = 2;   // the worker reached its end first: Stop does nothing

// Loads the accelerator table name from the context's module and makes it the one in force,
// storing the new table before destroying the old.
void SwapAccelerators(ScanContext* context, const char* name);
