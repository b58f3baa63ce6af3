// The executable infection test: does one file on disk carry the Zaverin marker?
#pragma once

#include <string>

#include "fs/file_system.h"

// What the test found in one file.
enum class FileVerdict {
    NotTested,   // no 32-bit Windows program: nothing to test
    Clean,
    Infected,
    Unreadable,  // the file could not be opened or read; the reason is in the caller's error
};

// Tests the file that file holds open. Only the headers and the marker window are read; nothing
// is kept between calls, and two threads may call it at once. *error gets FsLastError() when the
// answer is Unreadable.
FileVerdict TestOpenedExecutable(const FsFile& file, int* error);

// Opens the file at path (absolute) for the test, as FsOpenFile does, and tests it. On Infected
// the file stays open in *file for its disposal; otherwise it is closed.
FileVerdict TestExecutableAt(const char* path, FsFile* file, int* error);

// What the quarantine records as why a file was taken: the marker and its form (the first byte
// of the marker window), read again through file.
std::string InfectionWhy(const FsFile& file);

