// What every record of a run names besides the files: the machine it ran on and when, the same
// in qfscan's log, its JSON output and the quarantine's index.
#pragma once

#include <string>

// This machine's name.
std::string HostName();
// The current time in UTC as ISO 8601 ("2026-12-07T10:59:33Z").
std::string UtcTimestamp();
