// The offline repair: the window's start-up cleanup, done from a Linux rescue system on a Windows
// system volume mounted there. Nothing of that system runs, so there are no processes to end;
// the rest follows the window's rules on the volume's own files and hives:
// - the Run keys of SOFTWARE (and of its 32-bit view, Wow6432Node) and of every user's
//   NTUSER.DAT: a value whose program is infected goes, and so does the program;
// - Userinit is set back to that system's own <Windows folder>\system32\userinit.exe;
// - the worm's dropped files go.
// Paths in values are the system's own ("C:\WINDOWS\..."), with %SystemRoot% and the like
// expanded from the system's values; they are found on the volume with letter case ignored and
// never through a link, a ".." or onto another drive.
//
// It happens in two steps: every hive is opened and checked, and every change is planned, before
// anything is written. So a hive that may not be written, or a system that cannot be read,
// leaves everything as it was.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "scan/file_outcome.h"

struct RescueRequest {
    std::string root;       // the mount point
    DisposalPolicy policy;  // infected programs are deleted or moved; a dry run plans and reports, changes nothing
    std::string windows;    // the Windows folder below root to repair, where there are several; empty: found
};

// A change made, or in a dry run one that would be made.
struct RescueChange {
    std::string place;   // a hive and its key, or a file as its system names it
    std::string change;  // what was (or would be) changed, the same whether it worked or not
    bool done;
    std::string error;   // when not done: why
};

struct RescueResult {
    std::string system;  // what was found: the Windows folder, the hives
    std::vector<RescueChange> changes;
    std::vector<std::pair<std::string, std::string>> skipped;  // a place that could not be checked, and why
    int outcome;         // 1 when anything of the worm was found, as the window's verdict counts it
};

// The verdict on the system, where nothing runs: whether the worm was found, whether everything
// could be checked, and whether every change it needed was made (dry: none was to be made).
enum class OfflineOutcome { Clean, Unchecked, Disabled, Unchanged, Incomplete };
OfflineOutcome DecideOfflineOutcome(const RescueResult& result, bool dry);
// Whether anything of the worm was found: what the exit code counts.
bool OfflineFound(const RescueResult& result);
const char* OfflineVerdict(OfflineOutcome outcome);

// Repairs the system at request.root. False, with *error, when it is no Windows system volume or
// one of its hives cannot be read or may not be written; then nothing was changed.
bool RepairOfflineSystem(const RescueRequest& request, RescueResult* result, std::string* error);

// The folders directly below root that hold a Windows system (System32\config\SOFTWARE, letter
// case ignored): where the rescue decides that a volume holds Windows.
std::vector<std::string> WindowsFolders(const std::string& root);
// The values of MountedDevices in the SYSTEM hive of the Windows folder folder below root, as
// (name, raw data); false, with *why, when there is no such hive or it cannot be read.
bool ReadMountedDevices(const std::string& root, const std::string& folder,
                        std::vector<std::pair<std::string, std::string>>* values, std::string* why);
