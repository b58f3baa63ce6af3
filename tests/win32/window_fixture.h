// A real (hidden) main window with the controls a worker drives, a ScanContext whose handles
// point at them, and a message pump that runs while a worker thread works: it closes the
// worker's message boxes the way a user would and notes what the window showed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "context/scan_context.h"

// What a user saw of one message box.
struct SeenBox {
    std::string caption;
    std::string text;
    std::string statusWhileShown;  // the status control's text while the box was up
    bool startEnabledWhileShown;
};

struct TestWindow {
    HWND main;
    HWND status;
    HWND start;
    HWND stop;
    HWND check;
    char* textBuffer;  // 260 bytes, as start-up allocates it
};

// Creates the window and controls and fills context (idle table loaded, interactive set).
void CreateTestWindow(TestWindow* window, ScanContext* context);
void DestroyTestWindow(TestWindow* window, ScanContext* context);

std::string WindowText(HWND window);

// The number of entries in the table context->accelerators holds (6 idle, 3 working, 0 none).
int AcceleratorEntries(const ScanContext* context);

// What the pump saw while a worker ran.
struct PumpResult {
    bool ended;
    DWORD exitCode;
    std::vector<SeenBox> boxes;
    bool sawWorkingState;  // Stop enabled, Start and the box disabled, working table in force
};
// Dispatches the messages waiting for this thread.
void PumpMessages();
// A visible message box owned by owner, or null.
HWND FindOwnedBox(HWND owner);
// One pump pass: dispatches pending messages and closes a box if one is up.
void PumpOnce(const TestWindow& window, const ScanContext* context, PumpResult* result);

// Pumps messages until thread ends or timeoutMs passes, closing message boxes owned by the main
// window with OK and recording them; poll is called after every pass (e.g. to ask for a stop).
template <typename Poll>
PumpResult PumpUntilEnded(const TestWindow& window, const ScanContext* context, HANDLE thread, DWORD timeoutMs,
                          Poll poll)
{
    PumpResult result{};
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        const DWORD woken = MsgWaitForMultipleObjects(1, &thread, FALSE, 20, QS_ALLINPUT);
        if (woken == WAIT_OBJECT_0) {
            result.ended = true;
            break;
        }
        PumpOnce(window, context, &result);
        poll();
    }
    PumpOnce(window, context, &result);
    GetExitCodeThread(thread, &result.exitCode);
    return result;
}
