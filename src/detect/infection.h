// The executable infection test: does one file on disk carry the Zaverin marker?
#pragma once

// What the test found in one file.
enum class FileVerdict {
    NotTested,   // no 32-bit Windows program: nothing to test
    Clean,
    Infected,
    Unreadable,  // the file could not be opened or read; the reason is in the caller's error
};

// Tests the file at path (relative names against the current directory). It is opened for
// reading with others allowed to read only, so a file that somebody holds open for writing cannot
// be tested and nobody can change it while it is tested. Only the headers and the marker window
// are read; nothing is kept between calls, and two threads may call it at once. *error gets
// FsLastError() when the answer is Unreadable.
FileVerdict TestExecutable(const char* path, int* error);

// 1 when the file carries the marker, 0 when it does not or cannot be examined.
int IsInfectedExecutable(const char* path);
