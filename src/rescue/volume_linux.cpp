// Case-blind lookups on a mounted Windows volume that never leave it.
#include "rescue/volume_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <deque>

#include "text/unicode.h"
#include "text/windows_names.h"

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

// Windows follows at most this many reparse points in one path.
constexpr int kMostLinks = 63;

// The reparse points that the NTFS drivers show as symbolic links: a junction, and a symbolic
// link of NTFS (flag 1: its target is relative to the link's folder).
constexpr uint32_t kTagJunction = 0xA0000003;
constexpr uint32_t kTagSymlink = 0xA000000C;
constexpr uint32_t kSymlinkRelative = 1;

uint32_t Bytes(const std::string& data, size_t at, size_t count)
{
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value |= uint32_t{static_cast<unsigned char>(data[at + i])} << (8 * i);
    return value;
}

void AppendParts(const std::string& text, const char* separators, std::vector<std::string>* parts)
{
    for (size_t at = 0; at <= text.size();) {
        const size_t end = text.find_first_of(separators, at);
        parts->push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
}

// The Windows target of the reparse point at path as ntfs-3g gives it (system.ntfs_reparse_data);
// false when the driver gives none. *relative: the target is relative to the link's folder.
bool ReparseTarget(const std::string& path, std::string* target, bool* relative, std::string* why)
{
    std::string data(16384, '\0');
    const ssize_t got = lgetxattr(path.c_str(), kNtfsReparseAttribute, data.data(), data.size());
    if (got < 8)
        return false;
    data.resize(static_cast<size_t>(got));
    const uint32_t tag = Bytes(data, 0, 4);
    const size_t names = tag == kTagSymlink ? 20 : 16;  // where the name buffer starts
    bool link = (tag == kTagJunction || tag == kTagSymlink) && data.size() >= names;
    std::vector<uint16_t> units;
    if (link) {
        const size_t start = names + Bytes(data, 8, 2), length = Bytes(data, 10, 2);
        link = start + length <= data.size();
        for (size_t at = start; link && at + 1 < start + length; at += 2)
            units.push_back(static_cast<uint16_t>(Bytes(data, at, 2)));
    }
    std::string utf8(units.size() * 3 + 1, '\0');
    if (!link || !Utf16ToWtf8(units.data(), units.size(), utf8.data(), utf8.size())) {
        char tagText[16];
        std::snprintf(tagText, sizeof tagText, "%08X", tag);
        *why = "goes through a reparse point that is no link Windows follows here (tag 0x" + std::string(tagText) + ")";
        target->clear();
        return true;
    }
    *target = utf8.c_str();
    *relative = tag == kTagSymlink && (Bytes(data, 16, 4) & kSymlinkRelative) != 0;
    return true;
}

// Where the link at path, in the folder whose names from the root are folder, leads: the names
// of its target from the volume's root. A target on another drive or volume, or one that would
// climb above the root, is refused. A junction's own target ("\??\C:\Profiles") is read where
// the driver gives it, since ntfs-3g shows every absolute target as a path below its mount point
// whatever its drive.
Lookup LinkTarget(const Volume& volume, const std::string& path, const std::vector<std::string>& folder,
                  std::vector<std::string>* target, std::string* why)
{
    std::string text;
    bool relative = false;
    std::vector<std::string> parts;
    if (ReparseTarget(path, &text, &relative, why)) {
        if (text.empty())
            return Lookup::Refused;
        if (relative) {
            parts = folder;
            AppendParts(text, "\\", &parts);
        } else {
            const std::string bare = text.rfind("\\??\\", 0) == 0 ? text.substr(4) : text;
            const bool drive = bare.size() >= 2 && bare[1] == ':' && (bare.size() == 2 || bare[2] == '\\');
            if (!drive || AsciiUpper(bare[0]) != volume.drive) {
                *why = "goes through a link to " + bare + ", " + (drive ? "on another drive" : "off this volume");
                return Lookup::Refused;
            }
            AppendParts(bare.substr(2), "\\", &parts);
        }
    } else {
        std::string link(4096, '\0');
        const ssize_t got = readlink(path.c_str(), link.data(), link.size());
        link.resize(got > 0 ? static_cast<size_t>(got) : 0);
        if (link.empty() || (link[0] == '/' && link != volume.root && link.rfind(volume.root + "/", 0) != 0)) {
            *why = "goes through a link to " + link + ", off this volume";
            return Lookup::Refused;
        }
        if (link[0] == '/')
            link = link.substr(volume.root.size());
        else
            parts = folder;
        AppendParts(link, "/", &parts);
    }
    target->clear();
    for (const std::string& part : parts) {
        if (part.empty() || part == ".")
            continue;
        if (part.find(':') != std::string::npos || (part == ".." && target->empty())) {
            *why = "goes through a link that leads out of the volume";
            return Lookup::Refused;
        }
        if (part == "..")
            target->pop_back();
        else
            target->push_back(part);
    }
    return Lookup::Found;
}

std::string Joined(const std::string& root, const std::vector<std::string>& names)
{
    std::string path = root;
    for (const std::string& name : names)
        path += "/" + name;
    return path;
}

}  // namespace

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
    // A link on the way is followed (into the volume only) by starting again from the root with
    // its target's names, so nothing is ever resolved by the kernel through a link or "..".
    std::deque<std::string> todo(parts.begin(), parts.end());
    std::vector<std::string> done;  // the names walked, as the volume spells them
    int folder = open(volume.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Lookup result = folder >= 0 ? Lookup::Found : Lookup::Missing;
    for (int links = 0; result == Lookup::Found && !todo.empty();) {
        const std::string name = todo.front();
        todo.pop_front();
        std::string actual;
        struct stat info;
        if (!FindEntry(folder, name, &actual) || fstatat(folder, actual.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            *why = "not found";
            result = Lookup::Missing;
            break;
        }
        if (S_ISLNK(info.st_mode)) {
            std::vector<std::string> target;
            const std::string link = Joined(volume.root, done) + "/" + actual;
            // A file is never taken through a link of its own: what is tested is what goes.
            if (wantFile && todo.empty()) {
                *why = "goes through a link";
                result = Lookup::Refused;
            } else if (++links > kMostLinks) {
                *why = "goes through too many links";
                result = Lookup::Refused;
            } else {
                result = LinkTarget(volume, link, done, &target, why);
            }
            if (result != Lookup::Found) {
                done.push_back(actual);
                break;
            }
            close(folder);
            folder = open(volume.root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            done.clear();
            todo.insert(todo.begin(), target.begin(), target.end());
            if (folder < 0)
                result = Lookup::Missing;
            continue;
        }
        done.push_back(actual);
        if (!todo.empty()) {
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
    *path = Joined(volume.root, done);
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

std::vector<std::string> SubFolders(const std::string& folder, bool withLinks)
{
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* item = readdir(dir)) {
        struct stat info;
        const std::string name = item->d_name;
        if (name != "." && name != ".." && fstatat(dirfd(dir), item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            (S_ISDIR(info.st_mode) || (withLinks && S_ISLNK(info.st_mode))))
            names.push_back(name);
    }
    closedir(dir);
    return names;
}
