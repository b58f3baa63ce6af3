// The start-up cleanup: process sweep, autorun repair, dropped-file removal, and the thread that
// runs them. Each operation answers kCleanupFound when it found something of the worm, with
// kCleanupRefused added when a write or delete it needed was refused.
#pragma once

#include <windows.h>

#include "cleanup/cleanup_rules.h"
#include "fs/file_system.h"

// Three rounds of SweepProcesses, RepairAutorun and RemoveDroppedFiles, then one verdict text to
// the context's status control. The parameter is the ScanContext; the exit code is 0.
DWORD WINAPI CleanupThread(LPVOID context);

// The three rounds alone: the OR of the nine results (the console scanner's --cleanup).
// kCleanupRefused stays set when a later round succeeds: a refusal means the rights are missing.
// The disposal policy is the caller's: moveFolder, a quarantine folder already checked (absolute),
// takes the files the pass removes; nullptr deletes them, as the window does.
int RunCleanupPass(const char* moveFolder);

// Switches on "SeDebugPrivilege" in the process token, so that the sweep may open processes of
// other users and of the system: 0 on success, -1 when any step fails. A success only means that
// the platform accepted the request.
int EnableDebugPrivilege();
int SweepProcesses();
int TerminateProcessById(DWORD processId);
int RepairAutorun(const char* moveFolder);
int CleanRunKey(HKEY key, const char* moveFolder);
int RemoveDroppedFiles(const char* moveFolder);
// The cleanup's one disposal: a file of the worm goes now, never left for a restart (the pass
// runs again at the next start): deleted, or with moveFolder stored in that quarantine as path,
// taken for why. True when it is gone; a file that could not go stays where it was.
bool DisposeWormFile(FsFile* file, const char* path, const char* why, const char* moveFolder);
