// The drive scan worker: the Win32 side of the walk (buttons, status text, boxes, tables).
#include "scan/scan_worker_win32.h"

#include "text/unicode.h"
#include "scan/tree_walk.h"

namespace {

const char kCaption[] = "QFold";
const char kOutOfMemoryText[] = "Not enough memory to continue the scan.";
constexpr size_t kProgressCapacity = 2048;  // a long path's progress text is cut, never a buffer overrun

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

// The progress text holds names in any script: it is shown as the UTF-16 text it is.
void ShowProgress(const ScanContext* context, const char* utf8)
{
    static wchar_t wide[kProgressCapacity];
    size_t units = 0;
    if (Wtf8ToUtf16(utf8, reinterpret_cast<uint16_t*>(wide), kProgressCapacity, &units))
        SendMessageW(context->statusWindow, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide));
    else
        ShowStatus(context, utf8);  // the typed root, in the code page, before any program is met
}

// The typed root, from the window's code page to the layer's UTF-8, made absolute. A root that
// names nothing stays as typed, and the walk then finds it cannot be entered.
void RootOfText(const char* typed, char* root, size_t capacity)
{
    wchar_t wide[kPathCapacity];
    const int units = MultiByteToWideChar(CP_ACP, 0, typed, -1, wide, kPathCapacity);
    char utf8[kPathCapacity * 3];
    if (units <= 0 || !Utf16ToWtf8(reinterpret_cast<const uint16_t*>(wide), static_cast<size_t>(units - 1), utf8, sizeof utf8) ||
        !FsFullPath(utf8, root, capacity))
        lstrcpynA(root, typed, static_cast<int>(capacity));
}

// The ends of a scan other than a stop: the window goes back to idle.
DWORD FinishScan(ScanContext* context, DWORD exitCode)
{
    if (context->interactive)
        ShowScanState(context, false);
    RequestAccelerators(context, false);
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
            ShowProgress(context, walk->text);
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

    // One scan runs at a time: its buffers need not live on the thread's stack.
    static char root[kFsPathCapacity];
    static char progress[kProgressCapacity];
    static TreeWalk walk;
    RootOfText(text, root, sizeof root);
    lstrcpynA(progress, text, sizeof progress);  // shown until the first program is met
    const DisposalPolicy disposal{context->deleteInfected != 0 ? Disposal::Delete : Disposal::Leave, nullptr, false, false};
    const WalkOptions options{disposal, true, nullptr, true};  // dot folders passed over
    if (!WalkBegin(&walk, root, progress, sizeof progress, options, &context->scanEnd)) {
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
    RequestAccelerators(context, true);

    const WalkStep step = RunWalk(context, &walk);
    const ScanCounts counts = walk.counts;
    char failedEntry[kPathCapacity];
    lstrcpynA(failedEntry, text, sizeof failedEntry);  // the root as typed: only the root ends a scan
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
