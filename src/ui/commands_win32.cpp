// The commands of the main window, from clicks and from the accelerator tables alike.
//
// The scan worker and Stop share the context, the text buffer and the controls with no lock.
// Start writes the scan root, deleteInfected and interactive only when no scan thread is alive,
// and Stop writes the buffer only after the worker's thread has ended, so neither ever writes
// while the worker runs. Which of Stop and the worker's own end wins is decided once, in
// context->scanEnd.
#include "ui/main_window_win32.h"

#include "resource.h"
#include "scan/scan_text.h"
#include "scan/scan_worker_win32.h"
#include "ui/tab_walk.h"

namespace {


bool ScanThreadAlive()
{
    return mainWindowState.scanThread != nullptr &&
           WaitForSingleObject(mainWindowState.scanThread, 0) == WAIT_TIMEOUT;
}

void ForgetScanThread()
{
    if (mainWindowState.scanThread != nullptr) {
        CloseHandle(mainWindowState.scanThread);
        mainWindowState.scanThread = nullptr;
    }
}

// ID_DELETE_CHECK: the box has flipped its own tick; follow it.
void FollowDeleteCheck()
{
    const LRESULT state = SendMessageA(mainWindowState.deleteCheckBox, BM_GETSTATE, 0, 0);
    mainWindowState.deleteChecked = (state & BST_CHECKED) != 0 ? 1 : 0;
}

// ID_TOGGLE_DELETE: flips the tick, deciding by the window's copy rather than the box.
void ToggleDelete()
{
    MainWindowState& w = mainWindowState;
    w.deleteChecked = w.deleteChecked != 0 ? 0 : 1;
    SendMessageA(w.deleteCheckBox, BM_SETCHECK, w.deleteChecked != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
}

// ID_START: scans from the text of the drive list's edit field. One scan at a time: while the
// last scan's thread lives (even before it has switched the window to working), nothing happens.
void StartScan()
{
    MainWindowState& w = mainWindowState;
    if (ScanThreadAlive())
        return;
    ForgetScanThread();
    SendMessageA(w.driveComboBox, WM_GETTEXT, MAX_PATH, reinterpret_cast<LPARAM>(w.textBuffer));
    w.context->textBuffer = w.textBuffer;
    w.context->deleteInfected = w.deleteChecked;
    w.context->interactive = 1;
    w.scanThread = StartScanWorker(w.context, w.threadSecurity);
}

// ID_STOP: claims the end of the scan, waits for its thread (handling the worker's sent messages
// meanwhile), then puts the window back to idle itself. A scan that has already reached its own
// end (its summary or box is on the way) is left to end that way.
void StopScan()
{
    MainWindowState& w = mainWindowState;
    if (!ScanThreadAlive() || !StopScanWorker(w.context, w.scanThread))
        return;
    ForgetScanThread();
    ShowScanState(w.context, false);
    lstrcpyA(w.textBuffer, kStoppedStatus);
    SendMessageA(w.statusWindow, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(w.textBuffer));
    SwapAccelerators(w.context, false);
}

// ID_NEXT_CONTROL: moves the focus to the next enabled control with a tab stop after the one
// the last Tab reached, in creation order, wrapping round after the "Scan" group box.
void FocusNextControl(HWND window)
{
    MainWindowState& w = mainWindowState;
    HWND children[16];
    TabCandidate candidates[16];
    int count = 0;
    int current = -1;
    int wrapAfter = -1;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr && count < 16;
         child = GetWindow(child, GW_HWNDNEXT)) {
        const LONG style = GetWindowLongA(child, GWL_STYLE);
        candidates[count].tabStop = (style & WS_TABSTOP) != 0;
        candidates[count].disabled = (style & WS_DISABLED) != 0;
        if (child == w.tabFocus)
            current = count;
        if (child == w.scanGroupBox)
            wrapAfter = count;
        children[count++] = child;
    }
    const int next = NextTabControl(candidates, count, current, wrapAfter);
    if (next < 0)
        return;
    w.tabFocus = children[next];
    SetFocus(w.tabFocus);
}

}  // namespace

void OnCommand(HWND window, WPARAM wParam)
{
    switch (LOWORD(wParam)) {
    case ID_DELETE_CHECK: FollowDeleteCheck(); break;
    case ID_START: StartScan(); break;
    case ID_STOP: StopScan(); break;
    case ID_TOGGLE_DELETE: ToggleDelete(); break;
    case ID_NEXT_CONTROL: FocusNextControl(window); break;
    case ID_ENTER: SendMessageA(window, WM_COMMAND, MAKEWPARAM(ID_START, 0), 0); break;
    default: break;
    }
}

void EndScanAtExit()
{
    MainWindowState& w = mainWindowState;
    // A scan that has claimed its own end is waited for, so its box is closed before the window
    // that owns it goes.
    if (ScanThreadAlive() && !StopScanWorker(w.context, w.scanThread))
        WaitForScanWorker(w.scanThread);
    ForgetScanThread();
}
