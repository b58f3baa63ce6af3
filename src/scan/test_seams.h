// Hooks for the tests that race the walk or break a read on purpose. Both are off unless the
// environment names them, and neither changes what the walk decides, only when and on what.
//
//   QF_TEST_DISPOSE_PAUSE=FIFO  before each disposal (and each restore from the quarantine, just
//                               before the file takes its name), the file's path is written as a
//                               line to FIFO, and the walk waits until one byte can be read from
//                               FIFO.go
//   QF_TEST_UNREADABLE=NAME     a file of that name reads as if its disk had failed
#pragma once

struct TestSeams {
    const char* disposePause;
    const char* unreadableName;
};

// Read once, from the environment.
const TestSeams& GetTestSeams();
// The pause before the disposal of path; returns at once when the seam is off.
void PauseBeforeDisposal(const char* path);
