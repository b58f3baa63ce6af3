// Texts and paths of the drive scan: progress, summary and child paths, all bounded by the
// 260-byte buffers they are written into.
#pragma once

#include <cstddef>
#include <cstdint>

// The numbers a scan reports.
struct ScanCounts {
    int32_t directories;  // subdirectories queued below the root
    int32_t files;        // listed entries that are not directories
    int32_t infected;     // files the infection test reported
    int32_t deleted;      // infected files whose deletion succeeded (or, in use, is set for restart)
    int32_t skipped;      // folders and files that could not be scanned
    int32_t moved;        // infected files moved into the quarantine
    int32_t atRestart;    // infected files in use, to be deleted at the next restart (in deleted too)
    int32_t unhandled;    // infected files that could not be deleted or moved as asked
};

enum class Handling;  // what became of one infected file (scan/file_outcome.h)

// The words a report puts after "infected" (or after what the file was) for handling, up to the
// detail that follows: ", deleted", ", moved to " (", moved" when no place follows), ", not
// deleted: " and so on; "" for a file only reported.
const char* HandlingText(Handling handling, bool detailFollows = true);
// The same as one word for JSON: "none", "deleted", "moved", "not_deleted", ...
const char* HandlingAction(Handling handling);

// Appends text to the NUL-terminated contents of buffer, cutting it so that buffer (capacity
// bytes, NUL included) never overflows, and never inside a UTF-8 sequence. Returns false when
// text had to be cut.
bool AppendBounded(char* buffer, size_t capacity, const char* text);

// "STATUS: Scanning\nDirectory: <entry>", followed by "\nFile: <name>" when name is not null;
// cut to fit capacity.
void FormatProgress(char* buffer, size_t capacity, const char* entry, const char* name);

// The status line of a scan the user stopped; the window shows it alone.
constexpr char kStoppedStatus[] = "STATUS: Stopped\n";

// What the console's summary says beyond the window's.
struct SummaryExtras {
    bool stopped;        // kStoppedStatus in place of "STATUS: Done"
    bool moving;         // "  Moved N"
    bool skippedAlways;  // "  Skipped N" even when nothing was skipped
};

// "STATUS: Done\n  Directories: N\n  Files: N\n  Infected N\n  Deleted N\n", then "  Moved N\n"
// (extras.moving) and "  Deleted at restart N\n" (when not 0), and "  Skipped N\n" last when
// anything was skipped (or extras.skippedAlways), so that a scan that missed something never
// reads clean. Cut to fit capacity.
void FormatSummary(char* buffer, size_t capacity, const ScanCounts& counts, const SummaryExtras& extras = {});

// The path of child name below directory (as the platform reports the current directory: a
// trailing separator only at a root): directory without its trailing separator, the separator,
// name. False, with out left empty, when the path would not fit capacity.
bool BuildChildPath(const char* directory, const char* name, char* out, size_t capacity, char separator = '\\');
