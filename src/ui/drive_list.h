// Reading the run of drive roots that start-up leaves in the text buffer: NUL-terminated strings
// back to back ("C:\", "D:\", ...), closed by an empty string.
#pragma once

#include <cstddef>

// Takes the entry at *offset of buffer (size bytes). Returns false at the closing empty string,
// at the end of the buffer, or at an entry whose NUL does not lie inside the buffer; otherwise
// points *entry at it, moves *offset past its NUL and returns true.
bool NextDriveEntry(const char* buffer, size_t size, size_t* offset, const char** entry);
