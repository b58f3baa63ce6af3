// Test window, context and message pump.
#include "window_fixture.h"

namespace {

const char kClass[] = "QuenfoldTestMain";

LRESULT CALLBACK TestWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}

struct BoxSearch {
    HWND owner;
    HWND box;
};

BOOL CALLBACK FindBoxOf(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<BoxSearch*>(parameter);
    char className[32];
    GetClassNameA(window, className, sizeof className);
    if (lstrcmpA(className, "#32770") == 0 && GetWindow(window, GW_OWNER) == search->owner &&
        IsWindowVisible(window)) {
        search->box = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK FindBoxText(HWND child, LPARAM parameter)
{
    char className[32];
    GetClassNameA(child, className, sizeof className);
    const std::string text = WindowText(child);
    if (lstrcmpiA(className, "Static") == 0 && !text.empty()) {
        *reinterpret_cast<std::string*>(parameter) = text;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

std::string WindowText(HWND window)
{
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

void CreateTestWindow(TestWindow* window, ScanContext* context)
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = TestWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kClass;
    RegisterClassA(&windowClass);  // fails harmlessly when a previous test registered it

    window->main = CreateWindowExA(0, kClass, "", WS_OVERLAPPEDWINDOW, 0, 0, 400, 450, nullptr, nullptr,
                                   instance, nullptr);
    auto child = [&](const char* cls, const char* text, DWORD style, int id) {
        return CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, 10, 10, 80, 20, window->main,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
    };
    window->check = child("BUTTON", "&Delete files known as Zaverin.", WS_TABSTOP | BS_AUTOCHECKBOX, 101);
    window->start = child("BUTTON", "&Start", WS_TABSTOP | BS_DEFPUSHBUTTON, 102);
    window->stop = child("BUTTON", "S&top", WS_TABSTOP | WS_DISABLED, 103);
    window->status = child("STATIC", "Status: waiting", 0, 0);
    window->textBuffer = static_cast<char*>(LocalLock(LocalAlloc(LMEM_MOVEABLE, MAX_PATH)));

    context->mainWindow = window->main;
    context->statusWindow = window->status;
    context->startButton = window->start;
    context->stopButton = window->stop;
    context->deleteCheckBox = window->check;
    context->textBuffer = window->textBuffer;
    context->deleteInfected = 0;
    context->instance = instance;
    context->accelerators = LoadAcceleratorsA(instance, "IdleButtonAccel");
    context->interactive = 1;
    context->scanEnd = kScanRunning;
}

void DestroyTestWindow(TestWindow* window, ScanContext* context)
{
    DestroyWindow(window->main);
    HLOCAL block = LocalHandle(window->textBuffer);
    LocalUnlock(block);
    LocalFree(block);
    if (HACCEL table = context->accelerators.exchange(nullptr))
        DestroyAcceleratorTable(table);
}

int AcceleratorEntries(const ScanContext* context)
{
    HACCEL table = context->accelerators.load();
    return table != nullptr ? CopyAcceleratorTableA(table, nullptr, 0) : 0;
}

void PumpMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

HWND FindOwnedBox(HWND owner)
{
    BoxSearch search{owner, nullptr};
    EnumWindows(FindBoxOf, reinterpret_cast<LPARAM>(&search));
    return search.box;
}

void PumpOnce(const TestWindow& window, const ScanContext* context, PumpResult* result)
{
    PumpMessages();
    if (IsWindowEnabled(window.stop) && !IsWindowEnabled(window.start) && !IsWindowEnabled(window.check) &&
        AcceleratorEntries(context) == 3)
        result->sawWorkingState = true;

    const HWND box = FindOwnedBox(window.main);
    if (box == nullptr)
        return;
    SeenBox seen;
    seen.caption = WindowText(box);
    EnumChildWindows(box, FindBoxText, reinterpret_cast<LPARAM>(&seen.text));
    seen.statusWhileShown = WindowText(window.status);
    seen.startEnabledWhileShown = IsWindowEnabled(window.start) != 0;
    result->boxes.push_back(seen);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    // Let the box go before the next look, so it is not seen twice (generously: the machine
    // may be busy).
    for (int i = 0; i < 3000 && IsWindow(box); ++i) {
        PumpMessages();
        Sleep(5);
    }
}
