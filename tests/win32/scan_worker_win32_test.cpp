// ScanDriveThread against a real (hidden) window with the controls it drives, for what only this
// layer can show deterministically: which of Stop and the worker's own end wins. The end-to-end
// run of the program shows the rest of what the worker does.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "samples.h"
#include "scan/scan_worker_win32.h"
#include "temp_tree.h"

namespace {

std::string Text(HWND window)
{
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// Dispatches what waits for this thread; true when the scan's box is up.
bool PumpAndLookForBox(HWND owner)
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
    for (HWND box = nullptr; (box = FindWindowExA(nullptr, box, "#32770", nullptr)) != nullptr;)
        if (GetWindow(box, GW_OWNER) == owner && IsWindowVisible(box))
            return true;
    return false;
}

struct StopCall {
    ScanContext* context;
    HANDLE worker;
    bool won;
};

DWORD WINAPI StopOnAThread(LPVOID parameter)
{
    auto* call = static_cast<StopCall*>(parameter);
    call->won = StopScanWorker(call->context, call->worker);
    return 0;
}

// A scan ends exactly one way. Once the worker has claimed its end (its box is up), Stop does
// nothing and returns at once: the summary and the box stand, and no "Stopped" follows.
TEST(ScanWorker, StopAfterTheEndIsClaimedChangesNothing)
{
    const Bytes clean = ReadBytes(SamplePath("sample32.exe"));
    TempTree tree;
    tree.File("infected.exe", Infected(clean, MarkerForm::Form10));
    HINSTANCE instance = GetModuleHandleA(nullptr);
    ScanContext context{};
    context.mainWindow = CreateWindowExA(0, "STATIC", "", WS_OVERLAPPEDWINDOW, 0, 0, 400, 450, nullptr, nullptr,
                                         instance, nullptr);
    HWND* controls[] = {&context.statusWindow, &context.startButton, &context.stopButton, &context.deleteCheckBox};
    for (HWND* control : controls)
        *control = CreateWindowExA(0, control == controls[0] ? "STATIC" : "BUTTON", "", WS_CHILD, 0, 0, 80, 20,
                                   context.mainWindow, nullptr, instance, nullptr);
    char text[MAX_PATH];
    lstrcpynA(text, tree.Root().c_str(), sizeof text);
    context.textBuffer = text;
    context.instance = instance;
    context.interactive = 1;
    // The table in force belongs to this thread: the worker asks the main window (a STATIC here,
    // which ignores it) to swap it, and never replaces or destroys it itself.
    const HACCEL idle = LoadAcceleratorsA(instance, "IdleButtonAccel");
    context.accelerators = idle;

    HANDLE worker = StartScanWorker(&context, nullptr);
    for (int i = 0; i < 6000 && !PumpAndLookForBox(context.mainWindow); ++i)
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    ASSERT_TRUE(PumpAndLookForBox(context.mainWindow)) << "the scan showed no box";

    // Stop runs on a thread of its own, so that a Stop that waited for the box fails the test
    // instead of hanging it.
    StopCall call{&context, worker, true};
    HANDLE stopper = CreateThread(nullptr, 0, StopOnAThread, &call, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(stopper, 5000), WAIT_OBJECT_0) << "Stop waited for the scan's box";
    EXPECT_FALSE(call.won);
    // The user closes the box; the worker puts the window back to idle itself.
    while (MsgWaitForMultipleObjects(1, &worker, FALSE, 10, QS_ALLINPUT) != WAIT_OBJECT_0)
        if (PumpAndLookForBox(context.mainWindow))
            for (HWND box = nullptr; (box = FindWindowExA(nullptr, box, "#32770", nullptr)) != nullptr;)
                PostMessageA(box, WM_COMMAND, IDOK, 0);
    WaitForSingleObject(stopper, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeThread(worker, &exitCode);
    EXPECT_EQ(exitCode, 1u) << "the infected count";
    EXPECT_EQ(Text(context.statusWindow),
              "STATUS: Done\n  Directories: 0\n  Files: 1\n  Infected 1\n  Deleted 0\n");
    EXPECT_TRUE(IsWindowEnabled(context.startButton) && !IsWindowEnabled(context.stopButton));
    EXPECT_EQ(context.accelerators, idle);
    EXPECT_EQ(CopyAcceleratorTableA(idle, nullptr, 0), 6) << "the table was destroyed";
    CloseHandle(stopper);
    CloseHandle(worker);
    DestroyWindow(context.mainWindow);
}

}  // namespace
