// What the admins of many PCs need from the scanner: a log file that many machines may append to
// at once, and the host and times of a run for its JSON summary.
#pragma once

#include <string>

// Opens path for appending (created when missing); false, with the reason in *error, when it
// cannot be.
bool LogOpen(const std::string& path, std::string* error);
// Appends text to the log, when one is open, a whole line per write, so that lines of other
// writers never land inside one of ours. text ends with a line feed or is taken as one line.
void LogText(const std::string& text);

// This machine's name, as the platform reports it.
std::string HostName();
// The time now in UTC, as ISO 8601 ("2026-12-07T10:59:33Z").
std::string UtcTimestamp();
