// What showing progress costs the window's scan: the scan thread runs on FOLDER against a hidden
// window, once showing progress and its box, once not (interactive clear), and every text the
// status control takes is counted.
//   qf_progress_cost FOLDER     (a Unix path is taken via Z:)
// Prints one line of key=value figures: the two times, their difference, the texts sent.
#include <windows.h>

#include <cstdio>
#include <string>

#include "wine_path.h"

#include "scan/scan_worker_win32.h"

namespace {

WNDPROC staticProcedure;
long sends;

LRESULT CALLBACK CountTexts(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTEXT)
        ++sends;
    return CallWindowProcA(staticProcedure, window, message, wParam, lParam);
}

// One scan: its time, the UI thread pumping and closing the end-of-scan box as a user would.
double Scan(ScanContext* context, const std::string& folder, int interactive)
{
    lstrcpynA(context->textBuffer, folder.c_str(), MAX_PATH);
    context->interactive = interactive;
    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    HANDLE worker = StartScanWorker(context, nullptr);
    while (MsgWaitForMultipleObjects(1, &worker, FALSE, 5, QS_ALLINPUT) != WAIT_OBJECT_0) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        for (HWND box = nullptr; (box = FindWindowExA(nullptr, box, "#32770", nullptr)) != nullptr;)
            if (GetWindow(box, GW_OWNER) == context->mainWindow) {
                QueryPerformanceCounter(&stop);  // the box is the end a user sees
                PostMessageA(box, WM_COMMAND, IDOK, 0);
            }
    }
    if (!interactive)
        QueryPerformanceCounter(&stop);
    CloseHandle(worker);
    return 1000.0 * double(stop.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string folder = FolderArgument(argc, argv);
    static ScanContext context;
    HINSTANCE instance = GetModuleHandleA(nullptr);
    context.mainWindow = CreateWindowExA(0, "STATIC", "", WS_OVERLAPPEDWINDOW, 0, 0, 400, 450, nullptr, nullptr,
                                         instance, nullptr);
    auto child = [&](const char* cls) {
        return CreateWindowExA(0, cls, "", WS_CHILD, 0, 0, 80, 20, context.mainWindow, nullptr, instance, nullptr);
    };
    context.startButton = child("BUTTON");
    context.stopButton = child("BUTTON");
    context.deleteCheckBox = child("BUTTON");
    context.statusWindow = child("STATIC");
    staticProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(context.statusWindow, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountTexts)));
    char text[MAX_PATH];
    context.textBuffer = text;
    context.instance = instance;

    const double quietMs = Scan(&context, folder, 0);
    sends = 0;
    const double shownMs = Scan(&context, folder, 1);
    std::printf("ms=%.1f quiet_ms=%.1f progress_ms=%.1f sends=%ld\n", shownMs, quietMs, shownMs - quietMs, sends);
    return 0;
}
