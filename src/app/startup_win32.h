// The steps of start-up and the message loop that WinMain runs in order.
#pragma once

#include <windows.h>

#include "context/scan_context_win32.h"

// The shared 260-byte text buffer, from the local heap and locked; null when none can be had.
char* AllocateTextBuffer();
void FreeTextBuffer(char* buffer);

// Fills buffer (size bytes) with the logical drive roots, "C:\" NUL "D:\" NUL ... NUL. When the
// platform gives none, or more than fit, the run is left empty.
void FillDriveRoots(char* buffer, DWORD size);

// Fetches and dispatches messages until the quit message; returns its code. Every key-down and
// character is first offered to the table context->accelerators holds at that moment (read
// afresh for each message), with mainWindow as the target of its commands.
int RunMessageLoop(ScanContext* context, HWND mainWindow);
