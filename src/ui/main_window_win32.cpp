// The main window: class, creation of the controls, the banner and its painting, destruction.
// The commands are in commands_win32.cpp.
#include "ui/main_window_win32.h"

#include "qf_version.h"
#include "resource.h"
#include "ui/drive_list.h"

MainWindowState mainWindowState;

namespace {

const char kClassName[] = "QuenfoldApp";
const char kDriveLetterText[] = "Drive letter";
const char kWaitingText[] = "Status: Scanning Windows and memory...\nPlease wait.";

// One line of the banner: where its top lies and what it says.
struct BannerLine {
    int y;
    const char* text;
};

// Drawn in the memory context's own (system) font, above the frame.
const BannerLine kTitleLines[] = {
    {10, "Quenfold"},
    {25, "version " QF_VERSION},
};

// Drawn in the variable-pitch font, inside the frame.
const BannerLine kNoticeLines[] = {
    {65, "Finds and removes the Zaverin worm: it stops the"},
    {80, "worm's processes, repairs the start-up settings"},
    {95, "and scans drives for infected programs."},
    {125, "Written by the Quenfold developers."},
    {155, "Help: read the README that comes with Quenfold."},
};

HWND CreateControl(HWND parent, HINSTANCE instance, const char* className, const char* text, DWORD style,
                   DWORD exStyle, int x, int y, int width, int height, int id)
{
    return CreateWindowExA(exStyle, className, text, style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

// Builds the seven controls in the order the Tab walk follows.
void CreateControls(HWND window, HINSTANCE instance)
{
    MainWindowState& w = mainWindowState;
    const int width = w.clientRect.right;
    w.bannerFrame = CreateControl(window, instance, "BUTTON", "", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 0, 10, 45,
                                  width - 20, 150, 0);
    w.scanGroupBox = CreateControl(window, instance, "BUTTON", "Scan", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, 0, 10,
                                   205, width - 20, 195, 0);
    w.driveComboBox = CreateControl(window, instance, "COMBOBOX", kDriveLetterText,
                                    WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWN | CBS_AUTOHSCROLL, 0, 20,
                                    230, 350, 300, 0);
    w.deleteCheckBox = CreateControl(window, instance, "BUTTON", "&Delete files known as Zaverin.",
                                     WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0, 20, 260, 200, 20,
                                     ID_DELETE_CHECK);
    w.startButton = CreateControl(window, instance, "BUTTON", "&Start",
                                  WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 270, 260, 50, 25,
                                  ID_START);
    w.stopButton = CreateControl(window, instance, "BUTTON", "S&top",
                                 WS_CHILD | WS_VISIBLE | WS_DISABLED | WS_TABSTOP | BS_PUSHBUTTON, 0, 320, 260,
                                 50, 25, ID_STOP);
    w.statusWindow = CreateControl(window, instance, "STATIC", kWaitingText, WS_CHILD | WS_VISIBLE | SS_LEFT,
                                   WS_EX_CLIENTEDGE, 20, 300, 353, 92, 0);
    // A drop-down combo box leaves its creation text out of its edit field.
    SetWindowTextA(w.driveComboBox, kDriveLetterText);
}

// Adds every drive root that start-up left in the text buffer to the drive list, in its order.
void FillDriveList()
{
    size_t offset = 0;
    const char* root = nullptr;
    while (NextDriveEntry(mainWindowState.textBuffer, MAX_PATH, &offset, &root))
        SendMessageA(mainWindowState.driveComboBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(root));
}

void DrawLines(HDC dc, const BannerLine* lines, int count, int centre)
{
    for (int i = 0; i < count; ++i)
        TextOutA(dc, centre, lines[i].y, lines[i].text, lstrlenA(lines[i].text));
}

// Gives every control the variable-pitch font, then the status box the fixed-pitch one.
void SetControlFonts()
{
    const MainWindowState& w = mainWindowState;
    const HWND controls[] = {w.bannerFrame, w.scanGroupBox, w.driveComboBox, w.deleteCheckBox,
                             w.startButton, w.stopButton,   w.statusWindow};
    const WPARAM variable = reinterpret_cast<WPARAM>(GetStockObject(ANSI_VAR_FONT));
    for (HWND control : controls)
        SendMessageA(control, WM_SETFONT, variable, TRUE);
    SendMessageA(w.statusWindow, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(ANSI_FIXED_FONT)), TRUE);
}

// Paints the banner once into a screen-sized off-screen bitmap; WM_PAINT only copies it.
void DrawBanner(HWND window)
{
    MainWindowState& w = mainWindowState;
    HDC windowDC = GetDC(window);
    w.bannerDC = CreateCompatibleDC(windowDC);
    w.faceBrush = GetSysColorBrush(COLOR_BTNFACE);
    w.bannerBitmap = CreateCompatibleBitmap(windowDC, w.screenWidth, w.screenHeight);
    ReleaseDC(window, windowDC);
    if (w.bannerDC == nullptr)
        return;
    w.bannerDCBrush = SelectObject(w.bannerDC, w.faceBrush);
    w.bannerDCBitmap = SelectObject(w.bannerDC, w.bannerBitmap);
    PatBlt(w.bannerDC, 0, 0, w.screenWidth, w.screenHeight, PATCOPY);
    SetBkMode(w.bannerDC, TRANSPARENT);
    SetTextAlign(w.bannerDC, TA_CENTER | TA_TOP);
    const int centre = w.clientRect.right / 2;
    DrawLines(w.bannerDC, kTitleLines, sizeof kTitleLines / sizeof kTitleLines[0], centre);
    w.bannerDCFont = SelectObject(w.bannerDC, GetStockObject(ANSI_VAR_FONT));
    DrawLines(w.bannerDC, kNoticeLines, sizeof kNoticeLines / sizeof kNoticeLines[0], centre);
}

// WM_CREATE: builds the controls, the drive list and the banner, and puts the focus in the list.
LRESULT OnCreate(HWND window, const CREATESTRUCTA* creation)
{
    MainWindowState& w = mainWindowState;
    w.screenWidth = GetSystemMetrics(SM_CXSCREEN);
    w.screenHeight = GetSystemMetrics(SM_CYSCREEN);
    GetClientRect(window, &w.clientRect);
    CreateControls(window, creation->hInstance);
    FillDriveList();
    DrawBanner(window);
    SetControlFonts();
    SetFocus(w.driveComboBox);
    w.tabFocus = w.driveComboBox;
    return 1;
}

// WM_PAINT: one block copy of the banner; the platform clips it to what needs painting.
LRESULT OnPaint(HWND window)
{
    const MainWindowState& w = mainWindowState;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (dc != nullptr && w.bannerDC != nullptr)
        BitBlt(dc, 0, 0, w.screenWidth, w.screenHeight, w.bannerDC, 0, 0, SRCCOPY);
    EndPaint(window, &paint);
    return 1;
}

// WM_CLOSE: a running scan ends first, so that no box of it outlives the window.
LRESULT OnClose(HWND window)
{
    EndScanAtExit();
    DestroyWindow(window);
    return 1;
}

// WM_DESTROY: releases the banner's drawing objects and ends the message loop with code 0.
LRESULT OnDestroy()
{
    MainWindowState& w = mainWindowState;
    if (w.bannerDC != nullptr) {
        // Put back what the context came with, so the bitmap is free to go.
        if (w.bannerDCFont != nullptr)
            SelectObject(w.bannerDC, w.bannerDCFont);
        if (w.bannerDCBitmap != nullptr)
            SelectObject(w.bannerDC, w.bannerDCBitmap);
        if (w.bannerDCBrush != nullptr)
            SelectObject(w.bannerDC, w.bannerDCBrush);
        DeleteDC(w.bannerDC);
        w.bannerDC = nullptr;
    }
    if (w.bannerBitmap != nullptr) {
        DeleteObject(w.bannerBitmap);
        w.bannerBitmap = nullptr;
    }
    w.faceBrush = nullptr;  // a system colour brush: nothing to release
    PostQuitMessage(0);
    return 1;
}

}  // namespace

void PrepareMainWindow(ScanContext* context, char* textBuffer, SECURITY_ATTRIBUTES* threadSecurity)
{
    mainWindowState.context = context;
    mainWindowState.textBuffer = textBuffer;
    mainWindowState.threadSecurity = threadSecurity;
}

bool RegisterMainClass(HINSTANCE instance)
{
    WNDCLASSA windowClass = {};
    windowClass.style = 0;
    windowClass.lpfnWndProc = MainWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, "QFICON");
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = kClassName;
    return RegisterClassA(&windowClass) != 0;
}

HWND CreateMainWindow(HINSTANCE instance)
{
    return CreateWindowExA(WS_EX_DLGMODALFRAME, kClassName, "", WS_DLGFRAME | WS_SYSMENU, CW_USEDEFAULT,
                           CW_USEDEFAULT, 400, 450, nullptr, nullptr, instance, nullptr);
}

void HandOverControls(ScanContext* context, HWND mainWindow)
{
    context->mainWindow = mainWindow;
    context->statusWindow = mainWindowState.statusWindow;
    context->startButton = mainWindowState.startButton;
    context->stopButton = mainWindowState.stopButton;
    context->deleteCheckBox = mainWindowState.deleteCheckBox;
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: return OnCreate(window, reinterpret_cast<const CREATESTRUCTA*>(lParam));
    case WM_PAINT: return OnPaint(window);
    case WM_CLOSE: return OnClose(window);
    case WM_DESTROY: return OnDestroy();
    case WM_COMMAND: OnCommand(window, wParam); return 1;
    case kShowTableMessage: SwapAccelerators(mainWindowState.context, wParam != 0); return 1;
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}
