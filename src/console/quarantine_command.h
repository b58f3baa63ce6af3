// qfscan --list and --restore: what a quarantine holds, and giving it back.
#pragma once

#include <atomic>
#include <string>
#include <vector>

// Prints what the quarantine folder holds, a line (or JSON object) per file; the exit code.
int ListQuarantine(const std::string& folder, bool json);
// Gives back the files of the quarantine folder whose original paths are named (all held ones
// when none is), stopping between two files on an interrupt; the exit code.
int RestoreQuarantine(const std::string& folder, const std::vector<std::string>& paths, bool json,
                      const std::atomic<int>* interrupt);
