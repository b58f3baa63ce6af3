// The drive-root run: every entry is checked to end inside the buffer before it is handed out,
// so a run that the platform cut short or left unterminated never leads past the buffer.
#include "ui/drive_list.h"

#include <cstring>

bool NextDriveEntry(const char* buffer, size_t size, size_t* offset, const char** entry)
{
    const size_t at = *offset;
    if (at >= size || buffer[at] == '\0')
        return false;
    const void* end = std::memchr(buffer + at, '\0', size - at);
    if (end == nullptr)
        return false;
    *entry = buffer + at;
    *offset = static_cast<size_t>(static_cast<const char*>(end) - buffer) + 1;
    return true;
}
