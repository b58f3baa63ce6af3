// Case-blind lookups on a mounted Windows volume that never leave it.
#include "rescue/volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fs/unicode.h"

namespace {

// The directory entry of folder fd whose name is the same to Windows as name.
bool FindEntry(int folder, const std::string& name, std::string* actual)
{
    struct stat info;
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        *actual = name;
        return true;
    }
    const int copy = dup(folder);
    DIR* dir = copy >= 0 ? fdopendir(copy) : nullptr;
    if (dir == nullptr) {
        if (copy >= 0)
            close(copy);
        return false;
    }
    rewinddir(dir);
    bool found = false;
    while (const dirent* item = readdir(dir)) {
        if (SameName(item->d_name, name)) {
            *actual = item->d_name;
            found = true;
            break;
        }
    }
    closedir(dir);
    return found;
}

}  // namespace

bool SameName(const std::string& a, const std::string& b)
{
    // NTFS upper-cases each UTF-16 unit; past the BMP nothing changes case, so code points of
    // the UTF-8 names compare the same way. Bytes that are no UTF-8 compare exactly.
    size_t atA = 0, atB = 0;
    while (atA < a.size() && atB < b.size()) {
        uint32_t codeA = 0, codeB = 0;
        const size_t lengthA = Utf8Sequence(a.data(), a.size(), atA, &codeA, true);
        const size_t lengthB = Utf8Sequence(b.data(), b.size(), atB, &codeB, true);
        if (lengthA == 0 || lengthB == 0)
            return a == b;
        if (codeA != codeB &&
            (codeA > 0xFFFF || codeB > 0xFFFF ||
             UpcaseUnit(static_cast<uint16_t>(codeA)) != UpcaseUnit(static_cast<uint16_t>(codeB))))
            return false;
        atA += lengthA;
        atB += lengthB;
    }
    return atA == a.size() && atB == b.size();
}

Lookup FindOnVolume(const Volume& volume, const std::string& relative, bool wantFile, std::string* path,
                    std::string* why)
{
    std::vector<std::string> parts;
    for (size_t at = 0; at <= relative.size();) {
        const size_t end = relative.find_first_of("\\/", at);
        const std::string part = relative.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (part == ".." || part.find(':') != std::string::npos) {
            *why = "leaves the volume";
            return Lookup::Refused;
        }
        if (!part.empty() && part != ".")
            parts.push_back(part);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    int folder = open(volume.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    *path = volume.root;
    Lookup result = folder >= 0 ? Lookup::Found : Lookup::Missing;
    for (size_t i = 0; i < parts.size() && result == Lookup::Found; ++i) {
        std::string actual;
        struct stat info;
        if (!FindEntry(folder, parts[i], &actual) || fstatat(folder, actual.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            *why = "not found";
            result = Lookup::Missing;
            break;
        }
        *path += "/" + actual;
        if (S_ISLNK(info.st_mode)) {
            *why = "goes through a link";
            result = Lookup::Refused;
        } else if (i + 1 < parts.size()) {
            const int next = openat(folder, actual.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            close(folder);
            folder = next;
            if (folder < 0) {
                *why = "not found";
                result = Lookup::Missing;
            }
        } else if (wantFile ? !S_ISREG(info.st_mode) : !S_ISDIR(info.st_mode)) {
            *why = wantFile ? "not a file" : "not a folder";
            result = Lookup::Missing;
        }
    }
    if (folder >= 0)
        close(folder);
    return result;
}

Lookup FindWindowsPath(const Volume& volume, const std::string& windowsPath, bool wantFile, std::string* path,
                       std::string* why)
{
    const char drive = windowsPath.size() >= 3 ? AsciiUpper(windowsPath[0]) : 0;
    if (drive != volume.drive || windowsPath[1] != ':' || (windowsPath[2] != '\\' && windowsPath[2] != '/')) {
        *why = "not on this volume";
        return Lookup::Refused;
    }
    return FindOnVolume(volume, windowsPath.substr(3), wantFile, path, why);
}

std::vector<std::string> SubFolders(const std::string& folder)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* item = readdir(dir)) {
        struct stat info;
        const std::string name = item->d_name;
        if (name != "." && name != ".." && fstatat(dirfd(dir), item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(info.st_mode))
            names.push_back(name);
    }
    closedir(dir);
    return names;
}
