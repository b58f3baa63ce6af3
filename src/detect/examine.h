// What the scan learns of one file: what kind of program it is, and for a 32-bit Windows
// program, whether it carries the marker, and in which form.
#pragma once

#include "detect/pe_image.h"
#include "fs/file_system.h"

// What the test found in one file.
enum class FileVerdict {
    NotTested,   // no 32-bit Windows program: nothing to test
    Clean,
    Infected,
    Unreadable,  // the file could not be opened or read; the reason is in the check's error
};

struct FileCheck {
    pe::BinaryType type;  // kNotExecutable for no program, and for a file that could not be read
    FileVerdict verdict;  // NotTested unless type is kWin32Binary, or the file could not be read
    int error;            // the reason, when verdict is Unreadable
    int form;             // Infected: the marker's form (the first byte of its window); else -1
};

// Classifies the open file (name gives its extension) the way the platform's executable
// classification does, from its headers, and tests it when it is a 32-bit Windows program. Both
// questions share one read of the headers, and both builds answer alike. With name null the file
// is not classified (type stays kNotExecutable) and is tested whatever it is. Only the headers
// and the marker window are read; nothing is kept between calls, and two threads may call it at
// once.
FileCheck ExamineFile(const FsFile& file, const char* name);
