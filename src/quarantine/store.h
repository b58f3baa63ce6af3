// The quarantine's needs of the platform: store_posix.cpp and store_win32.cpp each give them, and
// the build links the one for its platform. Paths are absolute, in the file-system layer's form.
#pragma once

#include <cstdint>
#include <string>

#include "fs/file_system.h"
#include "quarantine/quarantine.h"

// The SHA-256 and size of what the open file holds (read from its start through the handle).
bool StoreDigest(const FsFile& file, uint8_t digest[32], uint64_t* size);
// What the open file is beyond its bytes: mode, owner, times, extended attributes on Linux;
// attributes, times and security descriptor on Windows.
bool StoreReadMetadata(const FsFile& file, FileMetadata* metadata);
// Appends line (with its line feed) to the file at path, created when missing, in one write,
// and flushes it to the disk before returning.
bool StoreAppend(const std::string& path, const std::string& line);
// Whether path, not followed at its end, names the very file that file holds open.
bool StoreSameFile(const FsFile& file, const std::string& path);
// Whether folder holds no entry at all.
bool StoreFolderEmpty(const std::string& folder);
// Reads the whole file at path.
bool StoreReadText(const std::string& path, std::string* text);
// Moves the file at stored to path (which must not exist: never replaced), with metadata
// applied: one rename on one volume; otherwise a copy under a temporary name of path's folder,
// flushed, then renamed into place, and stored removed. False with *why when not done; the
// stored file stays then.
bool StoreGiveBack(const std::string& stored, const std::string& path, const FileMetadata& metadata, std::string* why);
// This machine's name.
std::string HostName();
// The current time in UTC as ISO 8601 ("2026-12-07T10:59:33Z").
std::string UtcTimestamp();
