// The main window: its class, its procedure, the seven controls, the painted banner and the
// commands. Only the user-interface thread calls anything here.
#pragma once

#include <windows.h>

#include "context/scan_context_win32.h"

// The window's own state: set at creation, read by the commands and by start-up.
struct MainWindowState {
    HWND bannerFrame;      // caption-less group box around the lower banner lines
    HWND scanGroupBox;     // the "Scan" group box
    HWND driveComboBox;    // drive roots; its edit field's text is the scan root
    HWND deleteCheckBox;   // "Delete files known as Zaverin."
    HWND startButton;
    HWND stopButton;
    HWND statusWindow;     // status text: the cleanup verdict, scan progress and summary
    int deleteChecked;     // the window's copy of the delete box's tick: 0 or 1
    HWND tabFocus;         // the control the last Tab (or creation) gave the focus
    RECT clientRect;       // the client area at creation
    int screenWidth;
    int screenHeight;
    HDC bannerDC;          // memory context holding the painted banner
    HBITMAP bannerBitmap;  // screen-sized; selected into bannerDC
    HBRUSH faceBrush;      // the button-face system brush; selected into bannerDC
    HGDIOBJ bannerDCBitmap;  // what bannerDC held before the banner's objects were selected
    HGDIOBJ bannerDCBrush;
    HGDIOBJ bannerDCFont;

    // Handed over by start-up before the window is created.
    ScanContext* context;
    char* textBuffer;                     // the shared 260-byte text buffer
    SECURITY_ATTRIBUTES* threadSecurity;  // used for every worker start
    HANDLE scanThread;  // the scan worker started last, until Start or Stop finds it ended
};

extern MainWindowState mainWindowState;

// Gives the window the shared record, the text buffer (holding the drive roots) and the thread
// security attributes; call before CreateMainWindow.
void PrepareMainWindow(ScanContext* context, char* textBuffer, SECURITY_ATTRIBUTES* threadSecurity);

// Registers the class "QuenfoldApp"; false when the platform refuses it.
bool RegisterMainClass(HINSTANCE instance);

// Creates the 400 by 450 main window with its controls and banner; null when it cannot be made.
HWND CreateMainWindow(HINSTANCE instance);

// Copies the window's and the four controls' handles into the shared record.
void HandOverControls(ScanContext* context, HWND mainWindow);

// Ends a running scan before the window goes: stops it, or when it has already reached its own
// end, waits until that end (its box included) is over; then lets go of its handle.
void EndScanAtExit();

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The command branch of MainWndProc (commands_win32.cpp).
void OnCommand(HWND window, WPARAM wParam);
