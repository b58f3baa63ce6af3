// Reads the program's main window from outside for the end-to-end tests and `make run`; run under
// the same wineserver as the program. Exit code 0 on success.
//   probe dump           NAME=VALUE lines: caption, active, size, close.at (the close box), then for each
//                        child (banner, group, combo, check, start, stop, status) NAME=TEXT and
//                        NAME.class/.enabled/.focus/.checked/.at (screen centre)/.items (combo
//                        boxes); last box=CAPTION|TEXT of an open message box, or none
//   probe wait CONDITION... [ms]  until every NAME=VALUE (NAME^=PREFIX) holds, 30 s by default
//   probe close-box      presses OK on that message box and waits for it to go
//   probe command ID...  posts a WM_COMMAND for each ID to the window, all at once
//   probe close          posts the window a close request
//   probe hold FILE [write]  opens FILE for reading (or writing), shared for reading only, prints
//                        "held" and keeps it open until standard input ends
//   probe exit-code PROGRAM [ARG...]  runs PROGRAM, then prints "exit code N", all 32 bits of
//                        it (Wine passes only the low byte on to Linux)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>


namespace {

std::string ClassOf(HWND window)
{
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

// Asked by message: a combo box's text is its edit field's, which only the control can tell.
std::string TextOf(HWND window)
{
    char text[1024] = "";
    SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000,
                        nullptr);
    std::string out;
    for (const char* c = text; *c != '\0'; ++c)
        out += *c == '\n' ? "\\n" : *c == '\r' ? "\\r" : std::string(1, *c);
    return out;
}

// Asked in UTF-16: Wine hands another process's ANSI request the UTF-16 text.
std::string Items(HWND combo)
{
    std::string out;
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t item[300] = L"";
        char narrow[600] = "";
        if (SendMessageW(combo, CB_GETLBTEXTLEN, i, 0) < 300)
            SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
        WideCharToMultiByte(CP_ACP, 0, item, -1, narrow, sizeof narrow, nullptr, nullptr);
        out += (i != 0 ? "|" : "") + std::string(narrow);
    }
    return out;
}

HWND FindBox(HWND owner)
{
    HWND box = nullptr;
    while ((box = FindWindowExA(nullptr, box, "#32770", nullptr)) != nullptr)
        if (GetWindow(box, GW_OWNER) == owner && IsWindowVisible(box))
            return box;
    return nullptr;
}

// The message text of a box: its first static control with text.
std::string BoxText(HWND box)
{
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        if (lstrcmpiA(ClassOf(child).c_str(), "Static") == 0 && !TextOf(child).empty())
            return TextOf(child);
    return "";
}

using Lines = std::vector<std::string>;

std::string At(int x, int y)
{
    return std::to_string(x) + "," + std::to_string(y);
}

Lines Dump()
{
    const HWND main = FindWindowA("QuenfoldApp", nullptr);
    if (main == nullptr)
        return {"window=none"};
    RECT r;
    GetWindowRect(main, &r);
    Lines out = {"caption=" + TextOf(main), std::string("active=") + (GetForegroundWindow() == main ? "1" : "0"), "size=" + std::to_string(r.right - r.left) + "x" +
                 std::to_string(r.bottom - r.top), "close.at=" + At(r.right - 13, r.top + 12)};
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &gui);
    const char* roles[] = {"banner", "group", "combo", "check", "start", "stop", "status"};
    int i = 0;
    for (HWND child = GetWindow(main, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT), ++i) {
        const std::string n = i < 7 ? roles[i] : "c" + std::to_string(i), cls = ClassOf(child);
        const bool focus = gui.hwndFocus != nullptr && (gui.hwndFocus == child || IsChild(child, gui.hwndFocus));
        GetWindowRect(child, &r);
        out.push_back(n + "=" + TextOf(child));
        out.push_back(n + ".class=" + cls);
        out.push_back(n + ".enabled=" + (IsWindowEnabled(child) ? "1" : "0"));
        out.push_back(n + ".focus=" + (focus ? "1" : "0"));
        out.push_back(n + ".checked=" + (SendMessageA(child, BM_GETCHECK, 0, 0) == BST_CHECKED ? "1" : "0"));
        out.push_back(n + ".at=" + At((r.left + r.right) / 2, (r.top + r.bottom) / 2));
        if (lstrcmpiA(cls.c_str(), "ComboBox") == 0)
            out.push_back(n + ".items=" + Items(child));
    }
    const HWND box = FindBox(main);
    out.push_back("box=" + (box != nullptr ? TextOf(box) + "|" + BoxText(box) : "none"));
    return out;
}

// NAME=VALUE holds when a line reads exactly that; NAME^=PREFIX when a line NAME=... starts with it.
bool Holds(const Lines& lines, std::string condition)
{
    const size_t eq = condition.find('=');
    const bool prefix = eq != std::string::npos && eq > 0 && condition[eq - 1] == '^';
    if (prefix)
        condition.erase(eq - 1, 1);
    for (const std::string& line : lines)
        if (prefix ? line.compare(0, condition.size(), condition) == 0 : line == condition)
            return true;
    return false;
}

bool Wait(char** conditions, int count, DWORD timeoutMs)
{
    for (const DWORD start = GetTickCount();; Sleep(20)) {
        const Lines lines = Dump();
        int held = 0;
        while (held < count && Holds(lines, conditions[held]))
            ++held;
        if (held == count)
            return true;
        if (GetTickCount() - start > timeoutMs) {
            std::printf("probe: timed out waiting for %s; the window shows:\n", conditions[held]);
            for (const std::string& line : lines)
                std::printf("%s\n", line.c_str());
            return false;
        }
    }
}

bool CloseBox(HWND main)
{
    const HWND box = FindBox(main);
    if (box == nullptr || !PostMessageA(box, WM_COMMAND, IDOK, 0))
        return false;
    for (int i = 0; i < 1500 && IsWindow(box); ++i)
        Sleep(20);
    return !IsWindow(box);
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string verb = argc > 1 ? argv[1] : "";
    const HWND main = FindWindowA("QuenfoldApp", nullptr);
    const bool timed = argc > 3 && std::strspn(argv[argc - 1], "0123456789") == std::strlen(argv[argc - 1]);
    bool ok = true;
    if (verb == "dump")
        for (const std::string& line : Dump())
            std::printf("%s\n", line.c_str());
    else if (verb == "wait" && argc > 2)
        ok = Wait(argv + 2, argc - 2 - timed, timed ? std::strtoul(argv[argc - 1], nullptr, 10) : 30000);
    else if (verb == "close-box")
        ok = CloseBox(main);
    else if (verb == "hold" && (argc == 3 || argc == 4)) {
        HANDLE file = CreateFileA(argv[2], argc == 4 ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ok = file != INVALID_HANDLE_VALUE;
        if (ok) {
            std::printf("held\n");
            std::fflush(stdout);
            while (std::getchar() != EOF) {
            }
            CloseHandle(file);
        }
    } else if (verb == "security" && (argc == 3 || argc == 4)) {
        // Sets the file's attributes when given, then prints them and its security descriptor.
        if (argc == 4)
            ok = SetFileAttributesA(argv[2], std::strtoul(argv[3], nullptr, 16));
        char descriptor[4096];
        DWORD size = 0;
        const DWORD attributes = GetFileAttributesA(argv[2]);
        ok = ok && attributes != INVALID_FILE_ATTRIBUTES &&
             GetFileSecurityA(argv[2], OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              descriptor, sizeof descriptor, &size);
        std::printf("%lx ", attributes);
        for (DWORD i = 0; ok && i < GetSecurityDescriptorLength(descriptor); ++i)
            std::printf("%02x", static_cast<unsigned char>(descriptor[i]));
        std::printf("\n");
    } else if (verb == "exit-code" && argc > 2) {
        // Quoted only where a space needs it: cmd /c takes the first and the last quote of its line away.
        std::string line;
        for (int i = 2; i < argc; ++i)
            line += (i > 2 ? " " : "") + (std::strchr(argv[i], ' ') ? "\"" + std::string(argv[i]) + "\"" : std::string(argv[i]));
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        DWORD code = 0;
        ok = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process) &&
             WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);  // null when it did not start: nothing closed
        CloseHandle(process.hProcess);
        std::printf("exit code %lu\n", static_cast<unsigned long>(code));
    } else if (verb == "close")
        ok = PostMessageA(main, WM_CLOSE, 0, 0);
    else if (verb == "command" && argc > 2)
        for (int i = 2; i < argc; ++i)
            ok = PostMessageA(main, WM_COMMAND, std::strtoul(argv[i], nullptr, 10), 0) && ok;
    else {
        std::fprintf(stderr, "usage: probe dump | wait CONDITION... [ms] | close-box | command ID... | close | hold FILE [write]\n"
                             "       probe security FILE [ATTRIBUTES]\n");
        return 2;
    }
    std::fflush(stdout);
    return ok ? 0 : 1;
}
