// The dropped-file removal: deletes (or stores in the quarantine) the files the worm leaves under
// fixed names in the Windows directory and at the root of its drive.
#include <windows.h>

#include <string>
#include <vector>

#include "cleanup/cleanup_win32.h"
#include "cleanup/cleanup_rules.h"
#include "fs/file_system.h"
#include "scan/file_outcome.h"
#include "text/unicode.h"

int DisposeWormFile(FsFile* file, bool test, const char* path, const char* why, const char* moveFolder,
                    std::string* error)
{
    std::vector<char> target(kFsPathCapacity);
    const FileRequest request{test ? Examination::Program : Examination::Known, nullptr, path, why, target.data(),
                              target.size()};
    const DisposalPolicy policy{moveFolder != nullptr ? Disposal::Move : Disposal::Delete, moveFolder, false, false};
    const FileOutcome outcome = TestAndDispose(file, request, policy);
    FsClose(file);
    if (outcome.check.verdict != FileVerdict::Infected)
        return 0;
    if (OutcomeGone(outcome))
        return kCleanupFound;
    if (error != nullptr)
        *error = CleanupErrorText(outcome.error);
    return kCleanupFound | kCleanupRefused;
}

std::string DisposalText(const char* why, const char* moveFolder)
{
    return std::string(why) + (moveFolder != nullptr ? " moved into the quarantine" : " deleted");
}

std::string CleanupErrorText(int error)
{
    char text[256];
    FsErrorText(error, text, sizeof text);
    return text;
}

int RemoveDroppedFiles(const char* moveFolder, CleanupChanges* changes)
{
    wchar_t wide[kProgramPathCapacity];
    const UINT length = GetWindowsDirectoryW(wide, kProgramPathCapacity);
    char windowsDirectory[kProgramPathCapacity * 3];
    if (length == 0 || length >= kProgramPathCapacity ||
        !Utf16ToWtf8(reinterpret_cast<const uint16_t*>(wide), length, windowsDirectory, sizeof windowsDirectory))
        return 0;
    int deleted = 0;
    for (size_t index = 0; index < kDroppedFileCount; ++index) {
        char path[kFsPathCapacity];
        // A target whose path does not fit, or a root that cannot be told, is left alone.
        if (!DroppedFilePath(windowsDirectory, index, path, sizeof path))
            continue;
        // Not looked into: the name alone marks it. The layer lifts read-only, hidden and system,
        // and puts them back when the delete fails.
        FsFile file;
        if (!FsOpenFile(path, &file)) {
            const int error = FsLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                deleted |= kCleanupFound | kCleanupRefused;  // there, and it stays
                NoteCleanupChange(changes, path, DisposalText(kDroppedFileWhy, moveFolder), false, CleanupErrorText(error));
            }
            continue;
        }
        std::string error;
        const int found = DisposeWormFile(&file, false, path, kDroppedFileWhy, moveFolder, &error);
        deleted |= found;
        NoteCleanupChange(changes, path, DisposalText(kDroppedFileWhy, moveFolder), (found & kCleanupRefused) == 0, error);
    }
    return deleted;
}
