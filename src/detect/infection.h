// The executable infection test: does one file on disk carry the Zaverin marker?
#pragma once

// 1 when the file at path (relative names against the current directory) carries the marker, 0
// when it does not or cannot be examined. The file is opened for reading with others allowed to
// read only, so a file that somebody holds open for writing answers 0 and nobody can change it
// while it is tested. Only the headers and the marker window are read; nothing is kept between
// calls, and two threads may call it at once.
int IsInfectedExecutable(const char* path);
