// The quarantine: where qfscan --move puts what it takes, so that it can be given back.
//
// A quarantine folder holds the files taken, each under a name no desktop runs
// (q-<first 16 hex digits of its SHA-256>-<n>.quarantined, no execute permission), and an index,
// index.jsonl: one JSON object per line, only ever appended, each line written whole and flushed
// to the disk before the file it describes leaves its place. A line is one of
//   file      a file taken: path (where it was), stored, size, sha256, moved, host, why, and the
//             metadata to give it back (mode, uid, gid, atime_ns, mtime_ns; attributes,
//             security_descriptor, created, accessed, written on Windows; xattrs)
//   restored  the file stored was given back to path at time
//   not_moved the file stored was to hold could not be moved, and stayed where it was
//   change    a change of the offline repair (place, change, done)
// Strings are escaped as qfscan's JSON output escapes them, and read back to the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fs/file_system.h"

constexpr char kQuarantineIndex[] = "index.jsonl";

// What a file was, beyond its bytes: what it takes to give it back as it was. The platform's
// part (store.h) reads and applies it; fields the platform has no use for stay unset.
struct FileMetadata {
    bool hasMode = false;  // POSIX
    uint32_t mode = 0, uid = 0, gid = 0;
    int64_t atimeNs = 0, mtimeNs = 0;
    bool hasAttributes = false;  // Windows
    uint32_t attributes = 0;
    std::string securityDescriptor;  // self-relative, as Windows gives it
    uint64_t created = 0, accessed = 0, written = 0;  // FILETIMEs
    std::vector<std::pair<std::string, std::string>> xattrs;  // name, value (Linux)
};

// One file of the quarantine, as its index tells it.
struct QuarantineRecord {
    std::string path;    // where it was, exactly
    std::string stored;  // its name in the folder
    uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
    std::string moved;   // UTC, ISO 8601
    std::string host;
    std::string why;
    FileMetadata metadata;
    std::string restored;  // when it was given back; empty while it is held
};

// The index's lines, one object each, and their reading.
std::string FormatFileLine(const QuarantineRecord& record);
std::string FormatRestoredLine(const std::string& stored, const std::string& path, const std::string& time);
std::string FormatNotMovedLine(const std::string& stored, const std::string& time);
std::string FormatChangeLine(const std::string& place, const std::string& change, bool done, const std::string& time);
// Reads one line written by the Format procedures; false for any other line.
bool ParseIndexLine(const std::string& line, std::string* type, QuarantineRecord* record);
// The index's text as records, a later file line for the same stored name replacing an earlier
// one, restored lines marking theirs and not_moved lines dropping theirs. A line that cannot be
// read, or whose record fails CheckRecord, is passed over and named in problems by its number.
struct IndexFold {
    std::vector<QuarantineRecord> records;
    std::vector<std::string> problems;  // "line N: why"
    size_t refused = 0;  // of those, lines read whole whose record CheckRecord refuses (not a torn one's rest)
    size_t tornLine = 0;  // a last line cut short, with no line feed (a run stopped while writing it)
};
IndexFold FoldIndex(const std::string& text);
// Whether a line's record may be acted on: its stored name one the store gives (StoredName, of
// its SHA-256 on a file line), its SHA-256 64 hex digits, its path absolute with no "." or ".."
// and no NUL. *why says why not.
bool CheckRecord(const std::string& type, const QuarantineRecord& record, std::string* why);
bool IsStoredName(const std::string& name);

// The stored name for a file of that SHA-256 and number.
std::string StoredName(const std::string& sha256, unsigned n);
std::string HexOf(const uint8_t* bytes, size_t count);

// Takes the infected file that *file holds into the quarantine folder (absolute): its record
// appended to the index first, then the file moved under its stored name through FsDispose.
// path is the file's whole path, why what it was found to be. *target gets the stored path.
// file is closed on return.
FsDisposal QuarantineFile(const char* folder, FsFile* file, const char* path, const char* why, char* target,
                          size_t capacity);
// Appends a change of the offline repair to the index of folder; false when it cannot be.
bool QuarantineNoteChange(const char* folder, const std::string& place, const std::string& change, bool done);

// A quarantine folder is opened once (store.h: it must be the operator's) and held until the
// process ends; every call that names it acts through what was opened. The index is read once,
// and then only what other runs appended since, so moving many files costs one read.

// Whether folder may be used as a quarantine: it holds an index, or nothing at all (then an
// empty index is made in it when create is set); else *why says why not.
bool QuarantineReady(const std::string& folder, bool create, std::string* why);
// Reads the index of folder, and finishes the moves a killed run left half done; false, with
// *why, when there is none or it cannot be read.
bool QuarantineRead(const std::string& folder, IndexFold* fold, std::string* why);
// Whether the stored file of record is still in folder.
bool QuarantineHolds(const std::string& folder, const QuarantineRecord& record);
// Gives the file of record back to its path, with its metadata (never set-user-id or
// set-group-id), never over a file, and only when its bytes are still those the index gives (the
// file hashed, held open, is the one that goes back); then marks it restored. *why says why not,
// or, when it is back, what of its metadata could not be given or that the index could not be
// marked.
bool QuarantineRestore(const std::string& folder, const QuarantineRecord& record, std::string* why);
