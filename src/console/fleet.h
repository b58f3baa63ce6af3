// What the admins of many PCs need from the scanner: a log file that many machines may append to
// at once. (The host and times of a run come from quarantine/store.h, as the index's do.)
#pragma once

#include <string>

// Opens path for appending (created when missing), never through a link; false, with the reason
// in *error, when it cannot be, or when it is no regular file, or (run as root or as an
// administrator) a file that another user could point elsewhere: another owner, another name.
bool LogOpen(const std::string& path, std::string* error);
// Appends one record to the log, when one is open, in one write, so that lines of other writers
// never land inside it; text ends with a line feed or is taken as one line. After a line that
// an earlier run left torn, the first record starts a new line. False, with the reason in
// *error, when the record was not written whole; the log is closed then.
bool LogText(const std::string& text, std::string* error);
