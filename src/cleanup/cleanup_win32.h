// The start-up cleanup: process sweep, autorun repair, dropped-file removal, and the thread that
// runs them. Each operation answers kCleanupFound when it found something of the worm, with
// kCleanupRefused added when a write or delete it needed was refused.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "cleanup/cleanup_rules.h"
#include "fs/file_system.h"

// One change the cleanup made or was refused, for a front end that names each (qfscan): where (a
// key and, on 64-bit Windows, its view; or a file), what, and why it could not be made.
struct CleanupChange {
    std::string place;
    std::string change;
    bool done;
    std::string error;
};
// Where the steps note their changes; null (the window) notes none.
using CleanupChanges = std::vector<CleanupChange>;

// Three rounds of SweepProcesses, RepairAutorun and RemoveDroppedFiles, then one verdict text to
// the context's status control. The parameter is the ScanContext; the exit code is 0.
DWORD WINAPI CleanupThread(LPVOID context);

// The three rounds alone: the OR of the nine results (the console scanner's --cleanup).
// kCleanupRefused stays set when a later round succeeds: a refusal means the rights are missing.
// The disposal policy is the caller's: moveFolder, a quarantine folder already checked (absolute),
// takes the files the pass removes; nullptr deletes them, as the window does. changes, when not
// null, gets every change the rounds made or could not make.
int RunCleanupPass(const char* moveFolder, CleanupChanges* changes);

// Switches on "SeDebugPrivilege" in the process token, so that the sweep may open processes of
// other users and of the system: 0 on success, -1 when any step fails. A success only means that
// the platform accepted the request.
int EnableDebugPrivilege();
int SweepProcesses();
int TerminateProcessById(DWORD processId);
// On 64-bit Windows the machine's Run key is cleaned in both registry views, and Userinit is
// repaired in the 64-bit view (which Winlogon reads) and in the 32-bit view where it stands.
int RepairAutorun(const char* moveFolder, CleanupChanges* changes);
// Cleans one opened Run key, named place in the changes, whose programs see the file system as view.
int CleanRunKey(HKEY key, const std::string& place, const ProgramView& view, const char* moveFolder,
                CleanupChanges* changes);
int RemoveDroppedFiles(const char* moveFolder, CleanupChanges* changes);
// What disposing of a file the cleanup takes away is called: "<why> deleted", or moved.
std::string DisposalText(const char* why, const char* moveFolder);
// A platform error's text.
std::string CleanupErrorText(int error);
// Notes one change in changes, when there is a list.
void NoteCleanupChange(CleanupChanges* changes, const std::string& place, const std::string& change, bool done,
                       const std::string& error);
// The cleanup's one disposal of the open file: tested first when test is set (a Run value's
// program, whatever its type; a dropped file is known by its name), it goes now when it is the
// worm's, never left for a restart (the pass runs again at the next start): deleted, or with
// moveFolder stored in that quarantine as path, taken for why. 0 for a file that is not the
// worm's; kCleanupFound, with kCleanupRefused when it could not go: then it stays where it was,
// and *error (when given) says why. file is closed on return.
int DisposeWormFile(FsFile* file, bool test, const char* path, const char* why, const char* moveFolder,
                    std::string* error = nullptr);
