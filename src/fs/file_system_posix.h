// Steps of the file-system layer over POSIX that the platform's other POSIX code (the quarantine's
// store) shares, over open folder descriptors; they have no Windows twin.
#pragma once

// Gives the file fromFolder/from the name toFolder/to without replacing a file there. Where the
// file system cannot rename without replacing, to becomes a second name of the file (a link never
// replaces) and *linked is set: what becomes of from, which still names the file, is the caller's
// choice. False with errno: EEXIST when to is taken, EXDEV across file systems.
bool FsRenameNew(int fromFolder, const char* from, int toFolder, const char* to, bool* linked);

// Copies the open file in, from its start, to out; false with errno.
bool FsCopyBytes(int in, int out);
