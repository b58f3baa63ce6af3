// The dropped-file removal: deletes the files the worm leaves under fixed names in the Windows
// directory and at the root of its drive.
#include <windows.h>

#include "fs/file_system.h"
#include "cleanup/cleanup.h"
#include "cleanup/cleanup_rules.h"

int DeleteDroppedFiles()
{
    char windowsDirectory[kPathCapacity];
    const UINT length = GetWindowsDirectoryA(windowsDirectory, sizeof windowsDirectory);
    if (length == 0 || length >= sizeof windowsDirectory)
        return 0;
    int deleted = 0;
    for (size_t index = 0; index < kDroppedFileCount; ++index) {
        char path[kPathCapacity];
        // A target whose path does not fit, or a root that cannot be told, is left alone.
        if (!DroppedFilePath(windowsDirectory, index, path, sizeof path))
            continue;
        SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
        if (DeleteFileA(path))
            deleted |= kCleanupFound;
        else if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND)
            deleted |= kCleanupFound | kCleanupRefused;  // there, and it stays
    }
    return deleted;
}
