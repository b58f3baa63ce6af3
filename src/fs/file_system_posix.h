// Steps of the file-system layer over POSIX that the platform's other POSIX code (the quarantine's
// store) shares, over open folder descriptors; they have no Windows twin.
#pragma once

#include <sys/stat.h>

#include <cstddef>

#include "fs/file_system.h"

// The descriptor of an open folder.
int FsDirDescriptor(FsDir dir);

// Takes the tested file's name away: renames name of folder to a private name of the same folder
// (.qfscan-HEX.removing, into taken), and keeps it there only when that is the file tested. False,
// the name as it was, when it names another file by now (FsChangedError()) or cannot be renamed.
bool FsTakeName(int folder, const char* name, const struct stat& tested, char* taken, size_t capacity);
// Gives the name taken back after a failed removal; keeps errno.
void FsGiveNameBack(int folder, const char* taken, const char* name);

// Gives the file fromFolder/from the name toFolder/to without replacing a file there. Where the
// file system cannot rename without replacing, to becomes a second name of the file (a link never
// replaces) and *linked is set: what becomes of from, which still names the file, is the caller's
// choice. False with errno: EEXIST when to is taken, EXDEV across file systems.
bool FsRenameNew(int fromFolder, const char* from, int toFolder, const char* to, bool* linked);

// FsPutInPlace for two names of the open folder folder.
bool FsPutInPlaceAt(int folder, const char* fresh, const char* target, bool replace);

// Copies the open file in, from its start, to out; false with errno.
bool FsCopyBytes(int in, int out);
