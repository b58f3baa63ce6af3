// Support for the cleanup tests under Wine: helper processes played by the test program itself,
// the probe DLL the build makes, and a status window that records every text it is sent.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A helper process: the test program started again with "--play ROLE ...".
struct Helper {
    HANDLE process;
    DWORD id;
};

// The running test program's own path.
std::string ThisProgram();
// The probe DLL the build makes, in the platform's path syntax.
std::string ProbeDllPath();
bool CopyTo(const std::string& from, const std::string& to);

// Starts program (a copy of the test program, or the program itself when empty) with
// "--play role args... READY-EVENT" and waits until the helper says it is ready. role "wait"
// waits to be ended; "load DLL" loads DLL, then waits; "hold FILE" keeps FILE open (reading,
// others may only read), then waits; "sweep [DLL]" loads DLL when given, then ends with
// 100 + SweepProcesses(), without waiting for ready.
bool StartHelper(const std::string& program, const std::string& roleAndArgs, Helper* helper);
bool IsRunning(const Helper& helper);
// Waits up to timeoutMs for the helper to end; its exit code, or ~0u when it is still running.
DWORD WaitForExit(const Helper& helper, DWORD timeoutMs);
// Ends the helper if it still runs and closes its handle.
void StopHelper(Helper* helper);

// The id of the first process whose executable name is exactly name (0 when none).
DWORD FindProcess(const char* name);
bool ProcessStillActive(DWORD processId);

// A window that records every WM_SETTEXT it receives.
HWND CreateStatusProbe();
void DestroyStatusProbe(HWND window);
const std::vector<std::string>& StatusTexts();
// Runs CleanupThread on its own thread against the probe and pumps messages until it ends; its
// exit code.
DWORD RunCleanupPass(HWND statusProbe);
