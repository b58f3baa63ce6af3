// The quarantine's needs of the platform: store_posix.cpp and store_win32.cpp each give them, and
// the build links the one for its platform. Paths are absolute, in the file-system layer's form.
//
// The quarantine folder is opened once, as a Store, and everything in it is reached through that
// open folder from then on, never by its path again: a folder above it renamed or swapped for a
// link during a run changes nothing. The folder must be the operator's: on Linux it and every
// folder above it belong to the runner or root, and nobody else may write them (a folder above
// writable by all only when it is root's and sticky, as /tmp is, so that nobody else may rename
// what is in it); on Windows it belongs to the runner or to the Administrators.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fs/file_system.h"
#include "quarantine/quarantine.h"

struct StoreState;  // opaque: the open folder, its index and its lock
using Store = StoreState*;

// The index is read whole at most up to this size: an index no run could have written is refused.
constexpr uint64_t kStoreIndexCap = uint64_t{1} << 30;

// Opens folder as a store; false with *why (naming the folder at fault) when it is none or not
// the operator's.
bool StoreOpen(const std::string& folder, Store* store, std::string* why);
void StoreClose(Store store);
const std::string& StorePath(Store store);
// Whether the store's folder holds no entry at all.
bool StoreEmpty(Store store);
// Opens the store's index, made empty when missing and create is set: a regular file with one
// name, the runner's, never reached through a link nor blocking on a FIFO. False with *why;
// *missing says that there is none.
bool StoreOpenIndex(Store store, bool create, bool* missing, std::string* why);
// The lock on the index that every run holds while it chooses a stored name and writes a line,
// so that runs at the same time lose and interleave nothing.
bool StoreLock(Store store);
void StoreUnlock(Store store);
// The index from byte from to its end; false with *why.
bool StoreReadIndex(Store store, uint64_t from, std::string* text, std::string* why);
// Appends line with its line feed in one write (under the lock), after a line feed of its own
// when the index ends in a line cut short, so that a record never joins a torn one; flushed to
// the disk before it returns.
bool StoreAppend(Store store, const std::string& line);
// Whether name is a file of the store: a regular file with one name, the runner's.
bool StoreHolds(Store store, const std::string& name);
// The names of everything in the store, in one listing.
bool StoreNames(Store store, std::vector<std::string>* names);
// Whether anything at all has name in the store.
bool StoreNameUsed(Store store, const std::string& name);
// Opens the stored file name for reading, under the same tests.
bool StoreOpenStored(Store store, const std::string& name, FsFile* file);
// Moves the file that *file holds open into the store as name (free: never replaced), so that
// at no moment is it in neither place: on one file system made unrunnable, renamed in under a
// temporary name, tested there, then given its name; across file systems (bind mounts included) copied,
// flushed, named, and only then taken from its folder. The stored file is never runnable under
// its name. *target gets its whole path; file is closed on return.
FsDisposal StoreTake(Store store, FsFile* file, const std::string& name, char* target, size_t capacity);
// The temporary name StoreTake gives name until it is done.
std::string StorePartName(const std::string& name);
// Gives the temporary part, which holds what it should, its name: what a killed take left.
bool StoreFinishPart(Store store, const std::string& name);
// The SHA-256 and size of what the open file holds (read from its start through the handle).
bool StoreDigest(const FsFile& file, uint8_t digest[32], uint64_t* size);
// What the open file is beyond its bytes: mode, owner, times, extended attributes on Linux;
// attributes, times and security descriptor on Windows.
bool StoreReadMetadata(const FsFile& file, FileMetadata* metadata);
// Moves the stored file name, which stored holds open, back to path (which must not exist: never
// replaced), with metadata applied. On Linux the way to path is walked from the root one folder
// at a time without following a link, and refused at a folder of anyone but root and the file's
// owner; a missing folder is not made again. One rename on one file system; otherwise a copy
// under a temporary name of path's folder, flushed, then renamed into place, and the stored file
// removed. False with *why when not done; the stored file stays then. Done with *why set: what
// could not be given back of its metadata.
bool StoreGiveBack(Store store, const FsFile& stored, const std::string& name, const std::string& path,
                   const FileMetadata& metadata, std::string* why);
