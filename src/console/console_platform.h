// The console scanner's few needs of the platform; console_win32.cpp and console_posix.cpp each
// give them, and the build links the one for its platform.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct Report;

// Start-up before anything else runs.
void ConsoleStart();
bool StderrIsTerminal();
uint64_t MonotonicMs();
// text, in the platform's text encoding, as UTF-8.
std::string ConsoleTextToUtf8(const std::string& text);
// From now on Ctrl+C sets *interrupt instead of ending the program, so that the scan ends
// between two files and still prints its summary.
void CatchInterrupt(std::atomic<int>* interrupt);
// --cleanup: the window's start-up cleanup pass on this machine; its outcome (0: nothing of the
// worm found), or -1 where the platform has none.
int RunSystemCleanup();
// Whether this process holds the administrators' rights now (elevated, where the system has UAC).
bool RunningAsAdministrator();

// --offline: a Windows system mounted at root, to be repaired from a rescue system.
struct OfflineRequest {
    std::string root;
    std::string moveDir;  // where infected programs go instead of being deleted; empty: deleted
    bool deleteInfected;
    bool dryRun;          // report every change, make none
};
bool OfflineSupported();
// Repairs the system's autorun and deletes the worm's files, reporting each change and the
// verdict; false, with nothing changed, when the system cannot be read or may not be written.
bool OfflineRepair(const OfflineRequest& request, Report* report);
