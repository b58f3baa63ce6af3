// What the console scanner says: a line (or a JSON object) per infected file and per change the
// offline repair makes, "skipped:" lines on standard error, the progress line, the summary, and
// the exit code all of it adds up to.
//
// Who writes what: one thread at a time. With several walks (--jobs) each takes qfscan's report
// lock before it calls anything here, and the main thread reports alone before the walks start
// and after they are joined; so the fields below have one writer at a time and need no lock of
// their own. stop is the one field another thread reads (the walks, as their stop request). The
// lock order is written once, at WalkFrontier (scan/tree_walk.h). A progress line may stand on
// standard error; every other line first wipes it, so the two never mix.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fs/file_system.h"
#include "scan/file_outcome.h"
#include "scan/scan_text.h"
#include "text/escape.h"  // JsonString and PlainText, which the report's users write with too

constexpr int kExitClean = 0;     // nothing infected, and everything was scanned
constexpr int kExitInfected = 1;  // infected files found, and every one was handled as asked
constexpr int kExitError = 2;     // a bad option or PATH, anything skipped, or a file not handled
constexpr int kExitRestart = 3;   // every infected file handled, and a restart finishes a delete
// --exit-codes installer: the codes installers and management tools read (Windows Installer's,
// which Intune and Configuration Manager take): done, done once Windows restarts, failed.
constexpr int kInstallerDone = 0;
constexpr int kInstallerRestart = 3010;  // ERROR_SUCCESS_REBOOT_REQUIRED
constexpr int kInstallerFailed = 1603;   // ERROR_INSTALL_FAILURE

// The rescue's outputs (its screen, serial line and report file), which qfscan writes itself:
// with a tee, every line of the report goes to line() instead of standard output and error, and
// the progress to progress() (at most ten times a second; the tee shows it as often as it must).
struct ReportTee {
    void* context;
    bool (*line)(void* context, const std::string& text);  // false: it could not all be written
    void (*progress)(void* context, const ScanCounts& soFar, const char* folder);
};

struct Report {
    bool json;       // JSON Lines instead of text
    bool quiet;      // only the infected lines, the summary and a last line with the verdict
    bool installerCodes;  // --exit-codes installer
    bool moving;     // --move: the summary counts moved files
    bool progress;   // standard error is a terminal: show the progress line
    FILE* out;
    FILE* err;
    ScanCounts counts;   // summed over every PATH (each walk's added once), with each ReportSkipped
    bool wormFound;      // the cleanup or the offline repair found something of the worm
    bool failed;         // an error that is none of the above (a repair that could not be made)
    uint64_t lastProgressMs;
    bool progressShown;  // a progress line stands on err
    bool stopped;        // a signal or a broken report ended the scan early
    bool broken;         // a write failed: nothing more may be changed, since it would go unrecorded
    int32_t changesDone;    // changes of the offline repair made (dry: that could be made)
    int32_t changesFailed;  // and those refused or failed
    ReportTee* tee;         // the rescue's outputs; null: standard output and error
    std::atomic<int>* stop;  // set when the report breaks, so that the walk ends; may be null
    std::string host;     // this machine's name, for every JSON record
    std::string started;  // when the report was made, UTC, for the JSON summary
    uint64_t startedMs;
};

// A report to stdout and stderr (and to the --log file, see log_file.h) with nothing counted yet.
Report MakeReport(bool json, bool quiet, bool moving, bool progress);

// An infected file and what became of it (outcome, which the caller has counted); path is in the
// platform's text, target where a Moved file went.
void ReportInfected(Report* report, const std::string& path, const FileOutcome& outcome, const std::string& target);
// A place that could not be scanned, and why: ReportSkipped counts it, SaySkipped only says it
// (a skip that a walk's counts, or the caller's, hold already).
void ReportSkipped(Report* report, const std::string& path, const std::string& reason);
void SaySkipped(Report* report, const std::string& path, const std::string& reason);
// A folder that is not scanned, and rightly so (a kernel file system): on standard error, no skip.
void ReportPassedOver(Report* report, const std::string& path, const std::string& reason);
// An error that ends the run before anything was changed: "qfscan: text" on standard error.
void ReportError(Report* report, const std::string& text);
// A line of text for people (not in quiet or JSON mode), e.g. "scanning PATH".
void ReportNote(Report* report, const std::string& text);
// A change of the offline repair (or, dry, one it would make): where, what, whether it was (or
// could be) made, and if not, why.
void ReportChange(Report* report, const std::string& place, const std::string& change, bool done,
                  const std::string& error, bool dry);
// The cleanup verdict in the window's words; outcome as the cleanup pass gives it.
void ReportVerdict(Report* report, int outcome);
// A verdict in other words (the offline repair's); found: anything of the worm was found.
void ReportVerdictText(Report* report, bool found, bool refused, const std::string& text);
// At most ten times a second, and only to a terminal: folders and files so far, elapsed time,
// the folder being scanned.
void ReportProgress(Report* report, uint64_t nowMs, uint64_t startMs, const ScanCounts& soFar, const char* folder);
void ReportSummary(Report* report);
// The exit code, in the report's convention: by default 0 clean, 1 found and handled as asked,
// 2 an error or anything not handled, 3 handled once Windows restarts; with installer codes 0
// when nothing infected is left, 3010 when a restart finishes it, 1603 otherwise (an infected
// file only reported counts as left).
int ReportExitCode(const Report& report);
// The one line a quiet run ends with: the outcome in a word, the exit code and the counts.
std::string VerdictLine(const Report& report);
