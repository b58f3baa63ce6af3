// A Windows volume mounted on a Linux rescue system, seen the way Windows sees it: names are
// found whatever their letter case, and nothing is followed out of the volume.
//
// Every lookup walks the path one folder at a time from the volume's root, opening each folder
// without following links. A link or junction on the way is followed as Windows would, but only
// into the same volume: its target is read and walked again from the root, so neither a link
// nor a ".." ever leads outside the mount point.
#pragma once

#include <string>
#include <vector>

struct Volume {
    std::string root;  // the mount point, absolute, without a trailing slash
    char drive;        // the system's own drive letter for this volume ('C'), once known
};

enum class Lookup {
    Found,     // *path is the file or folder on the volume
    Missing,   // no such name (or a folder on the way is missing)
    Refused,   // the path would leave the volume: "..", a link out of it, a stream, another drive
};

// Finds relative (parts separated by '\' or '/') below the volume's root; the last part must
// be a regular file when wantFile (never one reached through a link of its own), a folder
// otherwise. *path gets the Linux path with each name as the volume spells it, links resolved;
// *why says what was refused or missing.
Lookup FindOnVolume(const Volume& volume, const std::string& relative, bool wantFile, std::string* path,
                    std::string* why);

// The same for a Windows path of the volume's system ("C:\WINDOWS\x.exe"): its drive must be
// the volume's.
Lookup FindWindowsPath(const Volume& volume, const std::string& windowsPath, bool wantFile, std::string* path,
                       std::string* why);

// The names of the folders directly in folder (a path on the volume, already found); links
// (which may lead to folders) only when withLinks.
std::vector<std::string> SubFolders(const std::string& folder, bool withLinks = false);
