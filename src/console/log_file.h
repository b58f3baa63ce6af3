// What the admins of many PCs need from the scanner: a log file that many machines may append to
// at once. (The host and times of a run come from fs/host.h, as the index's do.)
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

// What one record in the system's log means. On Windows each is its own event ID of the source
// "Quenfold" (the message table src/res/qfscan_events.mc has the same numbers).
enum class SystemLogEvent : unsigned {
    ScanFinished = 1000,
    Found = 1001,          // an infected file left in place
    Removed = 1002,
    Quarantined = 1003,
    NotRemoved = 1004,
    RestartNeeded = 1005,  // in use: deleted when Windows next starts
    Restored = 1006,
    ChangeMade = 1007,     // a change of the cleanup or the offline repair
    ChangeRefused = 1008,
};

// Opens the system's log: Windows' Application log (--event-log), with the event source
// registered first where it is not (that needs an administrator once), or syslog(3) elsewhere
// (--syslog, facility LOG_USER). False, with the reason in *error, when it cannot be used.
bool SystemLogOpen(std::string* error);
// Writes one record to it when it is open: text as qfscan prints it, record as --json does.
// A record the system does not take is lost: the log of record is standard output.
void SystemLogWrite(SystemLogEvent event, const std::string& text, const std::string& record);
