// Hooks for the tests that race the walk or break a read on purpose. They exist only in the test
// builds (QF_TEST_SEAMS); the programs as they ship take no orders from their environment. Each
// is off unless the environment names it, and none changes what is decided, only when and on what.
//
//   QF_TEST_DISPOSE_PAUSE=FIFO  before each removal, once the file is taken as the tested one and
//                               just before its name is acted on, its path is written as a line to
//                               FIFO, and the walk waits until one byte can be read from FIFO.go;
//                               a restore from the quarantine pauses so before the file takes its
//                               name back
//   QF_TEST_ENTER_PAUSE=NAME    the same pause (path written, byte awaited) before each folder of
//                               that name is entered
//   QF_TEST_UNREADABLE=NAME     a file of that name reads as if its disk had failed
//   QF_TEST_FAIL_XATTR=NAME     setting that extended attribute fails (the offline repair)
//   QF_TEST_DISK=cold|warm      (read at each call) cold: no file's data is in memory, and each
//                               file's data begins where its inode number, counted down from the
//                               end of the disk, says: the disk's order, and another order than
//                               the listing's or the inode numbers'; warm: every file's data is
//                               in memory, so a scan keeps the listing's order
#pragma once

struct FsDirState;

#ifdef QF_TEST_SEAMS

// The pause before the removal of the file name in folder (given by its path, or as opened by the
// POSIX layer).
void SeamPauseBeforeRemoval(const char* folder, const char* name);
void SeamPauseBeforeRemoval(FsDirState* folder, const char* name);
// The pause before entering the folder name, at path.
void SeamPauseBeforeEntering(const char* name, const char* path);
bool SeamUnreadable(const char* name);
bool SeamFailXattr(const char* name);
enum class SeamDisk { AsItIs, Cold, Warm };
SeamDisk SeamDiskState();

#else

inline void SeamPauseBeforeRemoval(const char*, const char*) {}
inline void SeamPauseBeforeRemoval(FsDirState*, const char*) {}
inline void SeamPauseBeforeEntering(const char*, const char*) {}
inline bool SeamUnreadable(const char*) { return false; }
inline bool SeamFailXattr(const char*) { return false; }
enum class SeamDisk { AsItIs, Cold, Warm };
inline SeamDisk SeamDiskState() { return SeamDisk::AsItIs; }

#endif
