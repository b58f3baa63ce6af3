// Start-up steps: the text buffer, the drive roots, and the message loop.
#include "app/startup_win32.h"

#include "app/key_filter.h"

char* AllocateTextBuffer()
{
    HLOCAL block = LocalAlloc(LMEM_MOVEABLE, MAX_PATH);
    if (block == nullptr)
        return nullptr;
    char* buffer = static_cast<char*>(LocalLock(block));
    if (buffer == nullptr)
        LocalFree(block);
    return buffer;
}

void FreeTextBuffer(char* buffer)
{
    HLOCAL block = LocalHandle(buffer);
    LocalUnlock(block);
    LocalFree(block);
}

void FillDriveRoots(char* buffer, DWORD size)
{
    buffer[0] = '\0';
    const DWORD length = GetLogicalDriveStringsA(size - 1, buffer);
    // Too small a buffer makes the call report the size it needed and write nothing useful.
    if (length == 0 || length >= size - 1)
        buffer[0] = '\0';
    buffer[size - 1] = '\0';
}

namespace {

// Whether msg is offered to the accelerator table at all (see key_filter.h).
bool OfferToTable(const MSG& msg)
{
    if (msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN)
        return KeyDownMayMatchTable(static_cast<unsigned>(msg.wParam));
    return true;
}

bool IsAltKey(WPARAM key)
{
    return key == VK_MENU || key == VK_LMENU || key == VK_RMENU;
}

}  // namespace

int RunMessageLoop(ScanContext* context, HWND mainWindow)
{
    // Set when the table took a key pressed with Alt held (Alt+S, Alt+D, Alt+T). The default
    // window procedure never sees that key, so Wine would take the Alt release that follows for
    // a lone tap of Alt and put the window into menu mode, where the next keys are lost. That
    // one release is therefore not dispatched; a new press of Alt clears the mark, so a real
    // tap of Alt still reaches the window menu.
    bool altChordTaken = false;
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0)
            return static_cast<int>(msg.wParam);
        if (got < 0)
            return 1;  // the platform cannot deliver messages any more
        const bool keyDown = msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN;
        const bool keyUp = msg.message == WM_KEYUP || msg.message == WM_SYSKEYUP;
        if (keyDown && IsAltKey(msg.wParam) && (HIWORD(msg.lParam) & KF_REPEAT) == 0)
            altChordTaken = false;
        if (OfferToTable(msg) && TranslateAcceleratorA(mainWindow, context->accelerators, &msg)) {
            if (msg.message == WM_SYSKEYDOWN)
                altChordTaken = true;
            continue;
        }
        if (keyUp && IsAltKey(msg.wParam) && altChordTaken) {
            altChordTaken = false;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}
