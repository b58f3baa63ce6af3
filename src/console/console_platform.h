// The console scanner's few needs of the platform; console_win32.cpp and console_posix.cpp each
// give them, and the build links the one for its platform.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "scan/file_outcome.h"

struct Report;

// Start-up before anything else runs: the arguments as UTF-8 (on Windows taken again from the
// wide command line, so that any name survives), replacing argv for the rest of the run.
void ConsoleStart(int* argc, char*** argv);
bool StderrIsTerminal();
uint64_t MonotonicMs();
// Writes UTF-8 text to stream and flushes it: to a Windows console as its own UTF-16 text, to a
// file or pipe as the bytes. False when it could not all be written.
bool ConsoleWrite(FILE* stream, const std::string& text);
// From now on Ctrl+C (and a hang-up, a termination, a broken pipe, a logoff or shutdown) sets
// *interrupt instead of ending the program, so that the scan ends between two files and still
// prints its summary.
void CatchInterrupt(std::atomic<int>* interrupt);
// --cleanup: the window's start-up cleanup pass on this machine; its outcome (0: nothing of the
// worm found), or -1 where the platform has none. What it removes goes into the quarantine
// moveDir (checked and made ready before) when one is given, else it is deleted. Each change it
// made or could not make is reported, once.
int RunSystemCleanup(const std::string& moveDir, Report* report);
// The identities (device, file number) of folder and of each folder above it, up to its root, as
// the file system resolves them (links included); false when folder cannot be opened.
using FolderId = std::pair<uint64_t, uint64_t>;
bool FolderChain(const std::string& folder, std::vector<FolderId>* chain);
// A file the user named: where the platform's open of a file by its path would not follow a link
// at its end, the path is made the file's own; false when it cannot be.
bool ResolveFile(std::string* path);
// Whether this process holds the administrators' rights now (elevated, where the system has UAC).
bool RunningAsAdministrator();

// --offline: a Windows system mounted at root, to be repaired from a rescue system.
struct OfflineRequest {
    std::string root;
    DisposalPolicy policy;  // the run's: a dry run reports every change and makes none
    std::string windows;    // the Windows folder in root to clean, where there are several; empty: found
};
bool OfflineSupported();
// Repairs the system's autorun and deletes the worm's files, reporting each change and the
// verdict; false, with nothing changed, when the system cannot be read or may not be written.
bool OfflineRepair(const OfflineRequest& request, Report* report);

// The rescue's own screens (Linux only; docs/rescue.md): one volume of the init's records scanned
// with its heading, progress and findings on the screen, the serial line and the report file,
// then its result written beside the record; and the summary of every volume.
struct RescueVolumeRun {
    std::string root;     // the volume's mount point
    bool system;          // it holds Windows: the offline repair runs first
    bool clean;           // the clean pass (--delete), else the check pass (a dry run)
    void* outputs;        // the front end's own
};
struct RescueOptions {
    std::string record;   // --rescue-volume FILE
    std::string folder;   // --rescue-summary DIR
    bool cleanPass;       // --pass clean
    bool cleanMode;       // --mode clean
    std::string screen, serial, report, keys, reportsAt;
};
// Reads the record, opens the outputs and sets report's tee, shows the heading; false, with
// nothing scanned, when the record names no mounted volume or an output cannot be opened (then
// *exitCode, and the result is written when it can be).
bool RescueVolumeBegin(const RescueOptions& options, Report* report, RescueVolumeRun* run, int* exitCode);
// Writes the volume's result and closes the outputs; the exit code.
int RescueVolumeEnd(const RescueOptions& options, Report* report, RescueVolumeRun* run, bool repairRefused);
int RescueSummary(const RescueOptions& options);
