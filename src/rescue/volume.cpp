// Case-blind lookups on a mounted Windows volume that never leave it.
#include "rescue/volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cwctype>

namespace {

// The code points of UTF-8 text; false for bytes that are no UTF-8.
bool DecodeUtf8(const std::string& text, std::u32string* out)
{
    out->clear();
    for (size_t at = 0; at < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[at]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        if (length == 0 || at + length > text.size())
            return false;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t i = 1; i < length; ++i) {
            const unsigned char next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80)
                return false;
            c = c << 6 | (next & 0x3F);
        }
        out->push_back(c);
        at += length;
    }
    return true;
}

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
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    std::u32string wideA, wideB;
    if (!DecodeUtf8(a, &wideA) || !DecodeUtf8(b, &wideB) || wideA.size() != wideB.size() || utf8 == nullptr)
        return a == b;
    for (size_t i = 0; i < wideA.size(); ++i)
        if (towupper_l(static_cast<wint_t>(wideA[i]), utf8) != towupper_l(static_cast<wint_t>(wideB[i]), utf8))
            return false;
    return true;
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
    const char drive = windowsPath.size() >= 3 ? static_cast<char>(std::towupper(static_cast<unsigned char>(windowsPath[0]))) : 0;
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
