// Looks at the running program's main window from outside, the way a person sees it, for the
// end-to-end tests. A console program run under the same wineserver as the program.
//
//   probe state                 prints what the window shows, one "name=value" line each
//   probe wait NAME=VALUE [ms]  waits until line NAME reads VALUE (NAME^=VALUE: starts with it)
//   probe close-box CAPTION [ms]  waits for a message box of the main window with that caption,
//                               prints its text and closes it with OK
//   probe plant FOLDER          writes clean.exe, infected.exe, notes.txt and only64.exe there
//   probe infected FILE         writes an infected copy of the sample program to FILE
//   probe start-twice           posts two Start commands to the window at once: the second
//                               arrives before the scan the first one started can have begun
//
// Line feeds in texts are printed as "\n". Positions are screen pixels of a control's centre,
// where a person would click. Exit code 0 on success, 1 on failure or time-out (the state is
// printed then, to show what the window showed instead).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "samples.h"

namespace {

const char kMainClass[] = "QuenfoldApp";

std::string Escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

// The text the platform keeps for a window; it answers even while the owner's thread is busy.
std::string TextOf(HWND window)
{
    char text[1024] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// A combo box's text is its edit field's, which only the control itself can tell.
std::string ComboText(HWND combo)
{
    char text[1024] = "";
    SendMessageTimeoutA(combo, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                        nullptr);
    return text;
}

std::string ClassOf(HWND window)
{
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct Controls {
    HWND main;
    HWND combo;
    HWND check;
    HWND start;
    HWND stop;
    HWND status;
    HWND scanGroup;
    HWND bannerFrame;
};

Controls FindControls()
{
    Controls c = {};
    c.main = FindWindowA(kMainClass, nullptr);
    if (c.main == nullptr)
        return c;
    int groups = 0;
    for (HWND child = GetWindow(c.main, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        const std::string cls = ClassOf(child);
        const int id = GetDlgCtrlID(child);
        if (lstrcmpiA(cls.c_str(), "ComboBox") == 0)
            c.combo = child;
        else if (lstrcmpiA(cls.c_str(), "Static") == 0)
            c.status = child;
        else if (id == 101)
            c.check = child;
        else if (id == 102)
            c.start = child;
        else if (id == 103)
            c.stop = child;
        else if (lstrcmpiA(cls.c_str(), "Button") == 0)
            (groups++ == 0 ? c.bannerFrame : c.scanGroup) = child;
    }
    return c;
}

struct BoxSearch {
    HWND owner;
    HWND box;
};

BOOL CALLBACK FindOwnedBox(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<BoxSearch*>(parameter);
    if (ClassOf(window) == "#32770" && GetWindow(window, GW_OWNER) == search->owner && IsWindowVisible(window)) {
        search->box = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindBox(HWND owner)
{
    BoxSearch search{owner, nullptr};
    if (owner != nullptr)
        EnumWindows(FindOwnedBox, reinterpret_cast<LPARAM>(&search));
    return search.box;
}

// The message text of a box: its first static control with text.
std::string BoxText(HWND box)
{
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        const std::string text = TextOf(child);
        if (lstrcmpiA(ClassOf(child).c_str(), "Static") == 0 && !text.empty())
            return text;
    }
    return "";
}

const char* FocusName(const Controls& c)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (c.main == nullptr || !GetGUIThreadInfo(GetWindowThreadProcessId(c.main, nullptr), &info) ||
        info.hwndFocus == nullptr)
        return "none";
    const HWND f = info.hwndFocus;
    if (f == c.combo || IsChild(c.combo, f))
        return "combo";
    if (f == c.check)
        return "check";
    if (f == c.start)
        return "start";
    if (f == c.stop)
        return "stop";
    if (f == c.status)
        return "status";
    if (f == c.main)
        return "main";
    return "other";
}

std::string Centre(HWND window)
{
    RECT r;
    if (window == nullptr || !GetWindowRect(window, &r))
        return "none";
    return std::to_string((r.left + r.right) / 2) + "," + std::to_string((r.top + r.bottom) / 2);
}

// The list's entries, "|" between them. Asked for in UTF-16: Wine hands another process's ANSI
// request the UTF-16 text.
std::string ComboItems(HWND combo)
{
    std::string out;
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t item[300] = L"";
        if (SendMessageW(combo, CB_GETLBTEXTLEN, i, 0) < 300)
            SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
        char narrow[600] = "";
        WideCharToMultiByte(CP_ACP, 0, item, -1, narrow, sizeof narrow, nullptr, nullptr);
        out += (i != 0 ? "|" : "") + std::string(narrow);
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> State()
{
    std::vector<std::pair<std::string, std::string>> s;
    const Controls c = FindControls();
    if (c.main == nullptr) {
        s.push_back({"window", "none"});
        return s;
    }
    auto flag = [](bool on) { return std::string(on ? "1" : "0"); };
    RECT frame;
    GetWindowRect(c.main, &frame);
    s.push_back({"window", "shown"});
    s.push_back({"caption", TextOf(c.main)});
    s.push_back({"size", std::to_string(frame.right - frame.left) + "x" + std::to_string(frame.bottom - frame.top)});
    s.push_back({"main.enabled", flag(IsWindowEnabled(c.main))});
    s.push_back({"combo.text", ComboText(c.combo)});
    s.push_back({"combo.items", ComboItems(c.combo)});
    s.push_back({"check.text", TextOf(c.check)});
    s.push_back({"check.checked", flag(SendMessageA(c.check, BM_GETCHECK, 0, 0) == BST_CHECKED)});
    s.push_back({"check.enabled", flag(IsWindowEnabled(c.check))});
    s.push_back({"start.text", TextOf(c.start)});
    s.push_back({"start.enabled", flag(IsWindowEnabled(c.start))});
    s.push_back({"stop.text", TextOf(c.stop)});
    s.push_back({"stop.enabled", flag(IsWindowEnabled(c.stop))});
    s.push_back({"group.text", TextOf(c.scanGroup)});
    s.push_back({"status", Escape(TextOf(c.status))});
    s.push_back({"focus", FocusName(c)});
    const HWND box = FindBox(c.main);
    s.push_back({"box", box != nullptr ? TextOf(box) + "|" + Escape(BoxText(box)) : "none"});
    s.push_back({"at.combo", Centre(c.combo)});
    s.push_back({"at.check", Centre(c.check)});
    s.push_back({"at.start", Centre(c.start)});
    s.push_back({"at.stop", Centre(c.stop)});
    s.push_back({"at.close", std::to_string(frame.right - 13) + "," + std::to_string(frame.top + 12)});
    return s;
}

void PrintState()
{
    for (const auto& line : State())
        std::printf("%s=%s\n", line.first.c_str(), line.second.c_str());
    std::fflush(stdout);
}

// NAME=VALUE or NAME^=VALUE against the current state.
bool Holds(const std::string& condition)
{
    const size_t eq = condition.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    const bool prefix = condition[eq - 1] == '^';
    const std::string name = condition.substr(0, prefix ? eq - 1 : eq);
    const std::string value = condition.substr(eq + 1);
    for (const auto& line : State())
        if (line.first == name)
            return prefix ? line.second.compare(0, value.size(), value) == 0 : line.second == value;
    return false;
}

DWORD TimeoutArg(int argc, char** argv, int index)
{
    return argc > index ? static_cast<DWORD>(std::strtoul(argv[index], nullptr, 10)) : 30000;
}

int Wait(const std::string& condition, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (Holds(condition))
            return 0;
        if (GetTickCount() - start > timeoutMs)
            break;
        Sleep(20);
    }
    std::printf("probe: timed out waiting for %s; the window shows:\n", condition.c_str());
    PrintState();
    return 1;
}

int CloseBox(const std::string& caption, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    while (GetTickCount() - start <= timeoutMs) {
        const HWND box = FindBox(FindWindowA(kMainClass, nullptr));
        if (box != nullptr && TextOf(box) == caption) {
            std::printf("%s\n", Escape(BoxText(box)).c_str());
            std::fflush(stdout);
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            while (IsWindow(box) && GetTickCount() - start <= timeoutMs)
                Sleep(20);
            return IsWindow(box) ? 1 : 0;
        }
        Sleep(20);
    }
    std::printf("probe: no box \"%s\" came; the window shows:\n", caption.c_str());
    PrintState();
    return 1;
}

int Plant(const std::string& folder)
{
    const Bytes clean = ReadBytes(SamplePath("sample32.exe"));
    const Bytes only64 = ReadBytes(SamplePath("sample64.exe"));
    if (clean.empty() || only64.empty()) {
        std::printf("probe: the sample programs cannot be read\n");
        return 1;
    }
    const Bytes text = {'j', 'u', 's', 't', ' ', 't', 'e', 'x', 't', '\n'};
    CreateDirectoryA(folder.c_str(), nullptr);
    const bool ok = WriteBytes(folder + "\\clean.exe", clean) &&
                    WriteBytes(folder + "\\infected.exe", Infected(clean, MarkerForm::Form10)) &&
                    WriteBytes(folder + "\\notes.txt", text) && WriteBytes(folder + "\\only64.exe", only64);
    return ok ? 0 : 1;
}

int PlantInfected(const std::string& file)
{
    const Bytes clean = ReadBytes(SamplePath("sample32.exe"));
    return !clean.empty() && WriteBytes(file, Infected(clean, MarkerForm::Form10)) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "state") {
        PrintState();
        return 0;
    }
    if (command == "wait" && argc > 2)
        return Wait(argv[2], TimeoutArg(argc, argv, 3));
    if (command == "close-box" && argc > 2)
        return CloseBox(argv[2], TimeoutArg(argc, argv, 3));
    if (command == "plant" && argc > 2)
        return Plant(argv[2]);
    if (command == "infected" && argc > 2)
        return PlantInfected(argv[2]);
    if (command == "start-twice") {
        const HWND main = FindWindowA(kMainClass, nullptr);
        return main != nullptr && PostMessageA(main, WM_COMMAND, 102, 0) && PostMessageA(main, WM_COMMAND, 102, 0)
                   ? 0
                   : 1;
    }
    std::fprintf(stderr, "usage: probe state | wait NAME=VALUE [ms] | close-box CAPTION [ms] | plant FOLDER | "
                         "infected FILE | start-twice\n");
    return 2;
}
