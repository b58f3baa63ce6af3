// One file's outcome: the test of an open file and its disposal by the run's policy, in one
// record that every front end reports and counts alike (the walk and the console's file PATHs,
// the start-up cleanup, the offline repair).
//
//   FsFile file;                              // opened by the caller, as it finds the file
//   const FileOutcome outcome = TestAndDispose(&file, request, policy, &gate);
//   FsClose(&file);                           // a disposal has closed it already; a file left is open
//   CountOutcome(&counts, outcome);
#pragma once

#include <cstddef>
#include <cstdint>

#include "detect/examine.h"
#include "fs/file_system.h"
#include "scan/scan_text.h"

// What a run does with the infected files it finds.
enum class Disposal { Leave, Delete, Move };

// The run's policy, decided once. A dry run changes nothing and reports what action would change
// (the offline repair: "would change: ..."); its infected files are only reported.
struct DisposalPolicy {
    Disposal action;
    const char* moveFolder;  // Move: the quarantine folder (absolute); else null
    bool atRestart;          // Delete: a file in use is deleted when Windows next starts
    bool dryRun;
};

// Whether the policy changes anything: something is asked, and it is no dry run.
inline bool PolicyChanges(const DisposalPolicy& policy)
{
    return policy.action != Disposal::Leave && !policy.dryRun;
}

// What became of one infected file.
enum class Handling { Reported, Deleted, Moved, NotDeleted, NotMoved, DeleteAtRestart };

// How the file is looked at before it goes.
enum class Examination {
    Listed,   // classified by its name and headers; tested when it is a 32-bit Windows program
    Program,  // tested whatever its type: a program a Run value names
    Known,    // not tested: its name marks it as the worm's, or an earlier test found it infected
};

struct FileRequest {
    Examination examination;
    const char* name;  // Listed: its name, whose extension the classification reads
    const char* path;  // its whole path, as the quarantine records where it was
    const char* why;   // what the quarantine records it as; null: the marker and its form
    char* target;      // where a moved file went; may be null when nothing is moved
    size_t capacity;
};

// Asked once the file is known infected and is about to go (it is still open, unchanged): false
// leaves it where it is, as a stop that came first does. The walks on one frontier take their
// disposal lock here, so that each change is reported before another walk makes one.
struct DisposalGate {
    bool (*mayGo)(void* context);
    void* context;
};

struct FileOutcome {
    FileCheck check;    // what the test found; Known: Infected, type kNotExecutable
    Handling handling;  // of an Infected file
    int error;          // NotDeleted, NotMoved: why (FsLastError()); 0 when stopped
    bool stopped;       // NotDeleted, NotMoved: the gate said no, so nothing was tried
    uint64_t size;      // an infected file's size and SHA-256 (hex) as it was found, before
    char sha256[65];    // anything was done with it; "" when they could not be read
};

// Tests the open file as request says and, when it is infected, disposes of it by policy
// through the same handle when the policy changes anything: deleted (or set for deletion at the
// next restart), or moved into the quarantine. A disposal closes file; a file left (clean,
// unreadable, or infected and left) stays open for the caller, who closes it. The gate is asked
// only before a disposal; a null gate lets every file go.
FileOutcome TestAndDispose(FsFile* file, const FileRequest& request, const DisposalPolicy& policy,
                           const DisposalGate* gate = nullptr);

// Whether the infected file is gone: deleted, moved, or set for deletion at the next restart.
bool OutcomeGone(const FileOutcome& outcome);

// Adds what the outcome counts: a skip for an unreadable file; for an infected one, infected and
// its handling (deleted counts deletions at the next restart too, as the window's summary does).
void CountOutcome(ScanCounts* counts, const FileOutcome& outcome);
