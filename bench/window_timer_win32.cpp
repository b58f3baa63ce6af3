// Times the window's scan as a user sees it: from the Enter key to the "Scan completed." box.
//   qf_window_timer FOLDER      (quenfold.exe runs in this prefix; a Unix path is taken via Z:)
// Waits for the window to be idle, puts FOLDER into the drive list's field, gives the field the
// keys of Enter, waits for the box, closes it and waits for the window to be idle again. Prints
// one line of key=value figures.
#include <windows.h>

#include <cstdio>
#include <string>

#include "wine_path.h"

namespace {

double Ms(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * double(to.QuadPart - from.QuadPart) / double(frequency.QuadPart);
}

HWND Child(HWND main, int index)
{
    HWND child = GetWindow(main, GW_CHILD);
    for (int i = 0; i < index && child != nullptr; ++i)
        child = GetWindow(child, GW_HWNDNEXT);
    return child;
}

HWND Box(HWND main)
{
    for (HWND box = nullptr; (box = FindWindowExA(nullptr, box, "#32770", nullptr)) != nullptr;)
        if (GetWindow(box, GW_OWNER) == main && IsWindowVisible(box))
            return box;
    return nullptr;
}

// Polls every millisecond until done() holds; false after 10 minutes.
template <typename Done>
bool WaitFor(Done done)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < 600000; Sleep(1))
        if (done())
            return true;
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string folder = FolderArgument(argc, argv);
    HWND main = nullptr, start = nullptr;
    // The window's children in creation order: banner, group, combo box, delete box, Start, ...
    const bool idle = WaitFor([&] {
        main = FindWindowA("QuenfoldApp", nullptr);
        start = main != nullptr ? Child(main, 4) : nullptr;
        return start != nullptr && IsWindowEnabled(start) && Box(main) == nullptr;
    });
    HWND field = idle ? FindWindowExA(Child(main, 2), nullptr, "Edit", nullptr) : nullptr;
    if (field == nullptr) {
        std::fprintf(stderr, "qf_window_timer: no idle window\n");
        return 1;
    }
    SendMessageA(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(folder.c_str()));
    LARGE_INTEGER pressed, shown;
    QueryPerformanceCounter(&pressed);
    PostMessageA(field, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageA(field, WM_CHAR, '\r', 0x001C0001);
    PostMessageA(field, WM_KEYUP, VK_RETURN, 0xC01C0001);
    HWND box = nullptr;
    const bool ended = WaitFor([&] { return (box = Box(main)) != nullptr; });
    QueryPerformanceCounter(&shown);
    if (!ended) {
        std::fprintf(stderr, "qf_window_timer: no box\n");
        return 1;
    }
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    WaitFor([&] { return Box(main) == nullptr && IsWindowEnabled(start); });
    std::printf("ms=%.1f\n", Ms(pressed, shown));
    return 0;
}
