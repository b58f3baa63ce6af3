// The byte-level rules of the start-up cleanup (no platform calls).
#include "cleanup/cleanup_rules.h"

#include <cstring>

#include "text/unicode.h"
#include "text/windows_names.h"

namespace {

const char kCleanVerdict[] = "STATUS: idle\nNo Zaverin found in memory.";
const char kFoundVerdict[] = "STATUS: idle\nZaverin found in memory, and has been disabled.\nPlease proceed with scan.";
const char kFoundRefusedVerdict[] =
    "STATUS: idle\nZaverin found, but it could not be disabled: access was refused.\nRun Quenfold as an administrator.";
const char kRefusedVerdict[] =
    "STATUS: idle\nNo Zaverin found in memory, but the start-up settings could not be repaired.\nRun Quenfold as an "
    "administrator.";

// Under the Windows directory, in deletion order; the fourth file goes to the drive's root.
const char* const kDroppedUnderWindows[] = {"Services.exe", "system32.exe", "system32\\rund1132.exe"};
const char kDroppedAtRoot[] = "msvbvm60.dll";

void FoldToUpper(char* text)
{
    for (; *text != '\0'; ++text)
        *text = AsciiUpper(*text);
}

bool IsDriveLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

// "C:\..." or "\\server\...", judged from the first length characters of text.
bool IsAbsolutePath(const char* text, size_t length)
{
    if (length >= 3 && IsDriveLetter(text[0]) && text[1] == ':' && IsSeparator(text[2]))
        return true;
    return length >= 2 && IsSeparator(text[0]) && IsSeparator(text[1]);
}

// Writes count bytes of text and a NUL into path when they fit capacity.
bool CopyBounded(const char* text, size_t count, char* path, size_t capacity)
{
    if (count == 0 || count >= capacity)
        return false;
    std::memcpy(path, text, count);
    path[count] = '\0';
    return true;
}

}  // namespace

uint32_t MatchModuleSuffix(char* moduleName, char* path)
{
    FoldToUpper(moduleName);
    FoldToUpper(path);
    const size_t n = std::strlen(moduleName);
    const size_t t = std::strlen(path);
    size_t i = 0;
    uint32_t m = 0;
    // path[t] is the NUL, which differs from every character of a non-empty name, so a run never
    // reads past the end of path; and m < n keeps it inside moduleName.
    while (i < t) {
        m = 0;
        if (path[i] != moduleName[0]) {
            ++i;
            continue;
        }
        m = 1;
        ++i;
        while (m < n && path[i] == moduleName[m]) {
            ++m;
            ++i;
        }
    }
    return m;
}

size_t BoundedTextLength(const char* data, size_t size)
{
    if (size == 0)
        return 0;
    const void* nul = std::memchr(data, '\0', size);
    return nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - data) : size;
}

bool DeriveProgramPath(const char* data, size_t size, char* path, size_t capacity)
{
    if (capacity > 0)
        path[0] = '\0';
    const size_t length = BoundedTextLength(data, size);
    if (length == 0)
        return false;
    if (data[0] == '"') {
        const char* start = data + 1;
        const void* close = std::memchr(start, '"', length - 1);
        const size_t count = close != nullptr ? static_cast<size_t>(static_cast<const char*>(close) - start) : length - 1;
        return CopyBounded(start, count, path, capacity);
    }
    const void* space = std::memchr(data, ' ', length);
    const size_t count = space != nullptr ? static_cast<size_t>(static_cast<const char*>(space) - data) : length;
    return CopyBounded(data, count, path, capacity);
}

bool DroppedFilePath(const char* windowsDirectory, size_t index, char* path, size_t capacity)
{
    if (capacity > 0)
        path[0] = '\0';
    size_t length = std::strlen(windowsDirectory);
    if (length == 0 || index >= kDroppedFileCount)
        return false;
    const char* suffix;
    if (index == kDroppedFileCount - 1) {
        // The root of a drive-letter path; any other form (a share, a bare "C:") names no root
        // that can be taken from the text alone.
        if (length < 3 || !IsDriveLetter(windowsDirectory[0]) || windowsDirectory[1] != ':' || windowsDirectory[2] != '\\')
            return false;
        length = 3;
        suffix = kDroppedAtRoot;
    } else {
        if (windowsDirectory[length - 1] == '\\')
            --length;
        if (length == 0)
            return false;
        suffix = kDroppedUnderWindows[index];
    }
    const size_t suffixLength = std::strlen(suffix);
    const size_t separator = index == kDroppedFileCount - 1 ? 0 : 1;
    if (length + separator + suffixLength >= capacity)
        return false;
    std::memcpy(path, windowsDirectory, length);
    if (separator != 0)
        path[length] = '\\';
    std::memcpy(path + length + separator, suffix, suffixLength + 1);
    return true;
}

const char* CleanupVerdict(int outcome)
{
    if (outcome & kCleanupRefused)
        return outcome & kCleanupFound ? kFoundRefusedVerdict : kRefusedVerdict;
    return outcome != 0 ? kFoundVerdict : kCleanVerdict;
}

ProgramPathForm ClassifyProgramPath(const char* path)
{
    if (IsAbsolutePath(path, std::strlen(path)))
        return ProgramPathForm::Absolute;
    return path[0] != '\0' && std::strpbrk(path, "\\/:") == nullptr ? ProgramPathForm::BareName
                                                                     : ProgramPathForm::Relative;
}

SearchStep ProgramSearchPlace(const char* name, const char* systemDirectory, const char* windowsDirectory,
                              const char* pathList, size_t index, char* out, size_t capacity)
{
    if (capacity > 0)
        out[0] = '\0';
    const char* folder = index == 0 ? systemDirectory : windowsDirectory;
    size_t length = 0;
    if (index < 2) {
        length = std::strlen(folder);
    } else {
        // The entry of pathList with number index - 2.
        folder = pathList;
        for (size_t skip = index - 2; skip > 0; --skip) {
            folder = std::strchr(folder, ';');
            if (folder == nullptr)
                return SearchStep::End;
            ++folder;
        }
        if (*folder == '\0' && (index > 2 || *pathList == '\0'))
            return SearchStep::End;
        length = std::strcspn(folder, ";");
        if (length >= 2 && folder[0] == '"' && folder[length - 1] == '"') {
            ++folder;
            length -= 2;
        }
    }
    while (length > 0 && IsSeparator(folder[length - 1]))
        --length;
    if (!IsAbsolutePath(folder, length))
        return SearchStep::Skip;
    const size_t nameLength = std::strlen(name);
    const bool hasExtension = std::strchr(name, '.') != nullptr;
    if (length + 1 + nameLength + (hasExtension ? 0 : 4) >= capacity)
        return SearchStep::Skip;
    std::memcpy(out, folder, length);
    out[length] = '\\';
    std::memcpy(out + length + 1, name, nameLength + 1);
    if (!hasExtension)
        std::memcpy(out + length + 1 + nameLength, ".exe", 5);
    return SearchStep::Built;
}

SearchStep ProgramPathCandidate(const char* data, size_t size, size_t index, char* out, size_t capacity)
{
    if (capacity > 0)
        out[0] = '\0';
    const size_t length = BoundedTextLength(data, size);
    if (length == 0 || (data[0] == '"' && index > 0))
        return SearchStep::End;
    if (data[0] == '"')
        return DeriveProgramPath(data, size, out, capacity) ? SearchStep::Built : SearchStep::Skip;
    // The candidate ends at space number index (from 0), or at the end after the last space.
    size_t count = 0, spaces = 0;
    while (count < length && (data[count] != ' ' || spaces++ < index))
        ++count;
    if (count == length && spaces < index)
        return SearchStep::End;
    // Past the first space, a character that no Windows name may hold ends the candidates: this
    // one and every longer one name no file (arguments such as "/c:x" or "a|b").
    const void* space = std::memchr(data, ' ', count);
    const size_t firstSpace = space != nullptr ? static_cast<size_t>(static_cast<const char*>(space) - data) : count;
    for (size_t at = firstSpace; at < count; ++at)
        if (std::strchr(":\"<>|*?", data[at]) != nullptr || static_cast<unsigned char>(data[at]) < 0x20)
            return SearchStep::End;
    size_t last = count;
    while (last > 0 && !IsSeparator(data[last - 1]) && data[last - 1] != '.')
        --last;
    const bool hasExtension = last > 0 && data[last - 1] == '.';
    if (count == 0 || count + (hasExtension ? 0 : 4) >= capacity)
        return SearchStep::Skip;
    std::memcpy(out, data, count);
    std::memcpy(out + count, hasExtension ? "" : ".exe", hasExtension ? 1 : 5);
    return SearchStep::Built;
}

namespace {

// text with every whole reference %from% (any letter case) written %to%.
std::string RenameReference(const std::string& text, const char* from, const char* to)
{
    if (*from == '\0' || *to == '\0')
        return text;
    const std::string reference = "%" + std::string(from) + "%";
    std::string out;
    for (size_t at = 0; at < text.size();) {
        if (text.size() - at >= reference.size() && AsciiEqualNoCase(text.data() + at, reference.data(), reference.size())) {
            out += "%" + std::string(to) + "%";
            at += reference.size();
        } else {
            out += text[at++];
        }
    }
    return out;
}

}  // namespace

std::string ViewReferences(const std::string& text, const ProgramView& view)
{
    return RenameReference(RenameReference(text, "ProgramFiles", view.programFiles), "CommonProgramFiles",
                           view.commonProgramFiles);
}

std::string ViewPath(const std::string& path, const std::string& windowsDirectory, const ProgramView& view)
{
    size_t length = windowsDirectory.size();
    while (length > 0 && IsSeparator(windowsDirectory[length - 1]))
        --length;
    const std::string system32 = windowsDirectory.substr(0, length) + "\\system32";
    if (*view.systemFolder == '\0' || length == 0 || path.size() < system32.size() ||
        !SameName(path.substr(0, system32.size()), system32) ||
        (path.size() > system32.size() && !IsSeparator(path[system32.size()])))
        return path;
    return windowsDirectory.substr(0, length) + "\\" + view.systemFolder + path.substr(system32.size());
}
