// The drive scan worker: the Win32 side of the walk (buttons, status text, boxes, tables).
#include "scan/scan_worker.h"

#include "scan/tree_walk.h"

namespace {

const char kCaption[] = "QFold";
const char kOutOfMemoryText[] = "Not enough memory to continue the scan.";

bool StopSeen(const ScanContext* context)
{
    return context->scanEnd.load() == kScanStopClaimed;
}

// The worker's claim on the end of the scan; false when Stop claimed it first.
bool ClaimEnd(ScanContext* context)
{
    int running = kScanRunning;
    return context->scanEnd.compare_exchange_strong(running, kScanEndClaimed);
}

void ShowStatus(const ScanContext* context, const char* text)
{
    SendMessageA(context->statusWindow, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

// The ends of a scan other than a stop: the window goes back to idle.
DWORD FinishScan(ScanContext* context, DWORD exitCode)
{
    if (context->interactive)
        ShowScanState(context, false);
    SwapAccelerators(context, "IdleButtonAccel");
    return exitCode;
}

// Walks until the walk ends or Stop is seen, sending the progress text after the first listed
// entry and then whenever kProgressIntervalMs have passed since the last send.
WalkStep RunWalk(ScanContext* context, TreeWalk* walk)
{
    bool shown = false;
    DWORD lastShown = 0;
    WalkStep step;
    while (WalkGoesOn(step = WalkNext(walk))) {
        if (StopSeen(context))
            return WalkStep::Stopped;
        if (step != WalkStep::Entry || !context->interactive)
            continue;
        const DWORD now = GetTickCount();
        if (!shown || now - lastShown >= kProgressIntervalMs) {
            ShowStatus(context, context->textBuffer);
            shown = true;
            lastShown = now;
        }
    }
    return step;
}

}  // namespace

void ShowScanState(const ScanContext* context, bool working)
{
    EnableWindow(context->stopButton, working);
    EnableWindow(context->startButton, !working);
    EnableWindow(context->deleteCheckBox, !working);
}

DWORD WINAPI ScanDriveThread(LPVOID parameter)
{
    auto* context = static_cast<ScanContext*>(parameter);
    char* text = context->textBuffer;

    TreeWalk walk;
    if (!WalkBegin(&walk, text, text, context->deleteInfected != 0, &context->scanEnd)) {
        if (!ClaimEnd(context))
            return kScanStoppedExitCode;
        MessageBoxA(context->mainWindow, kOutOfMemoryText, kCaption, MB_OK);
        return kScanFailedExitCode;
    }
    if (StopSeen(context)) {
        WalkEnd(&walk);
        return kScanStoppedExitCode;
    }
    if (context->interactive)
        ShowScanState(context, true);
    SwapAccelerators(context, "WorkingButtonAccel");

    const WalkStep step = RunWalk(context, &walk);
    const ScanCounts counts = walk.counts;
    char failedEntry[kPathCapacity];
    lstrcpynA(failedEntry, WalkCurrentEntry(&walk), sizeof failedEntry);
    WalkEnd(&walk);

    // From the claim on, the scan ends the way it reached: a Stop that comes now does nothing.
    if (step == WalkStep::Stopped || !ClaimEnd(context))
        return kScanStoppedExitCode;
    if (step == WalkStep::RootUnlisted || step == WalkStep::OutOfMemory) {
        const char* message = step == WalkStep::OutOfMemory ? kOutOfMemoryText : failedEntry;
        MessageBoxA(context->mainWindow, message,
                    step == WalkStep::OutOfMemory ? kCaption : "Invalid Handle Value", MB_OK);
        return FinishScan(context, kScanFailedExitCode);
    }
    if (context->interactive) {
        FormatSummary(text, kPathCapacity, counts);
        ShowStatus(context, text);
        MessageBoxA(context->mainWindow, "Scan completed.", kCaption, MB_OK);
    }
    return FinishScan(context, static_cast<DWORD>(counts.infected));
}

HANDLE StartScanWorker(ScanContext* context, SECURITY_ATTRIBUTES* security)
{
    context->scanEnd.store(kScanRunning);
    DWORD id = 0;
    return CreateThread(security, 0, ScanDriveThread, context, 0, &id);
}

bool StopScanWorker(ScanContext* context, HANDLE worker)
{
    int running = kScanRunning;
    if (!context->scanEnd.compare_exchange_strong(running, kScanStopClaimed))
        return false;
    WaitForScanWorker(worker);
    return true;
}

void WaitForScanWorker(HANDLE worker)
{
    if (worker == nullptr)
        return;
    for (;;) {
        // Handle what is already waiting, then sleep until the thread ends or another send comes.
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        const DWORD woken =
            MsgWaitForMultipleObjectsEx(1, &worker, INFINITE, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
        if (woken != WAIT_OBJECT_0 + 1)
            return;  // the thread has ended, or the handle is no thread
    }
}
