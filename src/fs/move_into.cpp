// Moving a file into a folder without replacing anything there: the platform refuses a taken
// name in the same step as the move, so the next free number is found by trying.
#include <cstdio>
#include <cstring>

#include "fs/file_system.h"

bool FsMoveIntoFolder(const char* path, const char* folder, char* target, size_t capacity)
{
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c)
        if (*c == kFsSeparator || *c == '/')
            name = c + 1;
    const size_t length = std::strlen(folder);
    const char separator[2] = {length > 0 && folder[length - 1] == kFsSeparator ? '\0' : kFsSeparator, '\0'};
    for (int n = 0; n < 10000; ++n) {
        const int used = n == 0 ? std::snprintf(target, capacity, "%s%s%s", folder, separator, name)
                                : std::snprintf(target, capacity, "%s%s%s.%d", folder, separator, name, n);
        if (used < 0 || static_cast<size_t>(used) >= capacity)
            return false;
        if (FsMoveFile(path, target))
            return true;
        if (!FsTargetExists())
            return false;
    }
    return false;
}
