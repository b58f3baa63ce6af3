// Scan texts and child paths.
#include "scan/scan_text.h"

#include <cstdio>
#include <cstring>

#include "scan/file_outcome.h"

bool AppendBounded(char* buffer, size_t capacity, const char* text)
{
    if (capacity == 0)
        return false;
    const size_t start = strnlen(buffer, capacity - 1);
    size_t used = start;
    size_t i = 0;
    for (; text[i] != '\0' && used + 1 < capacity; ++i)
        buffer[used++] = text[i];
    // A cut never splits a UTF-8 sequence, which would make the whole text unreadable as UTF-8:
    // the sequence's lead byte goes with the part that did not fit.
    auto continues = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
    if (continues(text[i])) {
        while (used > start && continues(buffer[used - 1]))
            --used;
        if (used > start)
            --used;
    }
    buffer[used] = '\0';
    return text[i] == '\0';
}

void FormatProgress(char* buffer, size_t capacity, const char* entry, const char* name)
{
    if (capacity == 0)
        return;
    buffer[0] = '\0';
    AppendBounded(buffer, capacity, "STATUS: Scanning\nDirectory: ");
    AppendBounded(buffer, capacity, entry);
    if (name != nullptr) {
        AppendBounded(buffer, capacity, "\nFile: ");
        AppendBounded(buffer, capacity, name);
    }
}

void FormatSummary(char* buffer, size_t capacity, const ScanCounts& counts, const SummaryExtras& extras)
{
    if (capacity == 0)
        return;
    const struct {
        const char* format;
        int32_t value;
        bool shown;
    } lines[] = {
        {"  Directories: %d\n", counts.directories, true},
        {"  Files: %d\n", counts.files, true},
        {"  Infected %d\n", counts.infected, true},
        {"  Deleted %d\n", counts.deleted, true},
        {"  Moved %d\n", counts.moved, extras.moving},
        {"  Deleted at restart %d\n", counts.atRestart, counts.atRestart > 0},
        {"  Skipped %d\n", counts.skipped, counts.skipped > 0 || extras.skippedAlways},
    };
    buffer[0] = '\0';
    AppendBounded(buffer, capacity, extras.stopped ? kStoppedStatus : "STATUS: Done\n");
    for (const auto& line : lines) {
        if (!line.shown)
            continue;
        char text[48];
        std::snprintf(text, sizeof text, line.format, static_cast<int>(line.value));
        AppendBounded(buffer, capacity, text);
    }
}

const char* HandlingText(Handling handling, bool detailFollows)
{
    static const char* const kText[] = {"", ", deleted", ", moved to ", ", not deleted: ", ", not moved: ",
                                        ", deleted at restart"};
    if (handling == Handling::Moved && !detailFollows)
        return ", moved";
    return kText[static_cast<int>(handling)];
}

const char* HandlingAction(Handling handling)
{
    static const char* const kAction[] = {"none", "deleted", "moved", "not_deleted", "not_moved", "delete_at_restart"};
    return kAction[static_cast<int>(handling)];
}

bool BuildChildPath(const char* directory, const char* name, char* out, size_t capacity, char separator)
{
    size_t dirLength = std::strlen(directory);
    if (dirLength > 0 && directory[dirLength - 1] == separator)
        --dirLength;
    const size_t nameLength = std::strlen(name);
    if (capacity == 0 || dirLength + 1 + nameLength + 1 > capacity) {
        if (capacity > 0)
            out[0] = '\0';
        return false;
    }
    std::memmove(out, directory, dirLength);
    out[dirLength] = separator;
    std::memcpy(out + dirLength + 1, name, nameLength + 1);
    return true;
}
