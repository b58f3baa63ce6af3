// The start-up cleanup: process sweep, autorun repair, dropped-file removal, and the thread that
// runs them. Each operation answers 1 when it found (and dealt with) something of the worm.
#pragma once

#include <windows.h>

// Three rounds of SweepProcesses, RepairAutorun and DeleteDroppedFiles, then one verdict text to
// the context's status control. The parameter is the ScanContext; the exit code is 0.
DWORD WINAPI CleanupThread(LPVOID context);

// The three rounds alone: the OR of the nine results (the console scanner's --cleanup).
int RunCleanupPass();

// Switches on "SeDebugPrivilege" in the process token, so that the sweep may open processes of
// other users and of the system: 0 on success, -1 when any step fails. A success only means that
// the platform accepted the request.
int EnableDebugPrivilege();
int SweepProcesses();
int TerminateProcessById(DWORD processId);
int RepairAutorun();
int CleanRunKey(HKEY key);
int DeleteDroppedFiles();
