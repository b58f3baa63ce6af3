// What the scan learns of one listed file: what kind of program it is, and for a 32-bit Windows
// program, whether it carries the marker.
#pragma once

#include "detect/infection.h"
#include "detect/pe_image.h"

struct FileCheck {
    pe::BinaryType type;  // kNotExecutable for no program, and for a file that could not be read
    FileVerdict verdict;  // NotTested unless type is kWin32Binary, or the file could not be read
    int error;            // the reason, when verdict is Unreadable
};

// Classifies the open file (name gives its extension) the way the platform's executable
// classification does, from its headers, and tests it when it is a 32-bit Windows program. Both
// questions share one read of the headers, and both builds answer alike.
FileCheck ExamineFile(const FsFile& file, const char* name);
