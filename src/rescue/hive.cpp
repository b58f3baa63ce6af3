// Hive files through libhivex, with the checks and the commit protocol of hive.h.
#include "rescue/hive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fs/file_system.h"
#include "rescue/volume.h"

namespace {

constexpr size_t kBaseBlock = 4096;
// Above this size Windows keeps a value's data in a list of blocks; libhivex writes it back as
// one block, which Windows may not read. A key holding such a value is never rewritten.
constexpr size_t kLargestPlainValue = 16344;

uint32_t U32(const unsigned char* bytes, size_t at)
{
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

// Up to count bytes of the file at path from offset 0; the number read, -1 when it cannot be read.
ssize_t ReadStart(const std::string& path, unsigned char* out, size_t count, off_t* size)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat info {};
    const ssize_t got = fstat(fd, &info) == 0 ? pread(fd, out, count, 0) : -1;
    *size = info.st_size;
    close(fd);
    return got;
}

std::string Folder(const std::string& path)
{
    return path.substr(0, path.rfind('/'));
}

// Whether a transaction log next to the hive holds changes that are not in it yet: a log of
// the new form whose first entry is no older than the hive's last write.
bool LogHoldsChanges(const std::string& hivePath, uint32_t hiveSequence, std::string* logName)
{
    const std::string folder = Folder(hivePath), name = hivePath.substr(hivePath.rfind('/') + 1);
    for (const char* suffix : {".LOG", ".LOG1", ".LOG2"}) {
        std::string log, why;
        const Volume here{folder, 0};
        if (FindOnVolume(here, name + suffix, true, &log, &why) != Lookup::Found)
            continue;
        unsigned char start[0x1000 + 16];
        off_t size = 0;
        const ssize_t got = ReadStart(log, start, sizeof start, &size);
        if (got < 512 || std::memcmp(start, "regf", 4) != 0)
            continue;  // empty, or no log Windows would replay
        for (const size_t entry : {size_t{0x200}, size_t{0x1000}}) {
            if (static_cast<size_t>(got) >= entry + 16 && std::memcmp(start + entry, "HvLE", 4) == 0 &&
                U32(start, entry + 12) >= hiveSequence) {
                *logName = log.substr(log.rfind('/') + 1);
                return true;
            }
        }
    }
    return false;
}

hive_node_h FindKey(hive_h* handle, const std::string& keyPath)
{
    hive_node_h node = hivex_root(handle);
    for (size_t at = 0; node != 0 && at <= keyPath.size();) {
        const size_t end = keyPath.find('\\', at);
        const std::string part = keyPath.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!part.empty())
            node = hivex_node_get_child(handle, node, part.c_str());
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return node;
}

bool SyncFolder(const std::string& path)
{
    const int fd = open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    return synced;
}

bool Fail(std::string* why, const std::string& what)
{
    *why = what + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool OpenHive(const std::string& path, const std::string& label, bool writable, Hive* hive, std::string* why)
{
    *hive = Hive{path, label, nullptr, writable, false};
    unsigned char base[kBaseBlock];
    off_t size = 0;
    const ssize_t got = ReadStart(path, base, sizeof base, &size);
    if (got < 0)
        return Fail(why, "cannot be read");
    if (got < static_cast<ssize_t>(kBaseBlock) || std::memcmp(base, "regf", 4) != 0) {
        *why = "not a registry hive";
        return false;
    }
    if (static_cast<uint64_t>(size) < kBaseBlock + uint64_t{U32(base, 0x28)}) {
        *why = "cut short: the hive is smaller than its header says";
        return false;
    }
    std::string log;
    if (U32(base, 4) != U32(base, 8) || LogHoldsChanges(path, U32(base, 8), &log)) {
        *why = "its system did not close it cleanly (" +
               (log.empty() ? std::string("its sequence numbers differ") : "the log " + log + " holds changes") +
               "); start Windows and shut it down fully (no fast start-up), or replay its logs, first";
        return false;
    }
    hive->handle = hivex_open(path.c_str(), writable ? HIVEX_OPEN_WRITE : 0);
    if (hive->handle == nullptr)
        return Fail(why, "not a registry hive libhivex can read");
    return true;
}

void CloseHive(Hive* hive)
{
    if (hive->handle != nullptr)
        hivex_close(hive->handle);
    hive->handle = nullptr;
}

bool ReadValues(const Hive& hive, const std::string& keyPath, std::vector<HiveValue>* values)
{
    values->clear();
    const hive_node_h node = FindKey(hive.handle, keyPath);
    hive_value_h* handles = node != 0 ? hivex_node_values(hive.handle, node) : nullptr;
    if (handles == nullptr)
        return false;
    for (hive_value_h* value = handles; *value != 0; ++value) {
        char* name = hivex_value_key(hive.handle, *value);
        hive_type type = hive_t_REG_NONE;
        size_t length = 0;
        char* data = hivex_value_value(hive.handle, *value, &type, &length);
        if (name != nullptr && data != nullptr)
            values->push_back({name, static_cast<int>(type), std::string(data, length)});
        free(data);
        free(name);
    }
    free(handles);
    return true;
}

bool WriteValues(Hive* hive, const std::string& keyPath, const std::vector<HiveValue>& values, std::string* why)
{
    const hive_node_h node = FindKey(hive->handle, keyPath);
    std::vector<HiveValue> present;
    if (node == 0 || !ReadValues(*hive, keyPath, &present)) {
        *why = "the key is gone";
        return false;
    }
    const std::vector<HiveValue>* lists[] = {&present, &values};
    for (const std::vector<HiveValue>* list : lists)
        for (const HiveValue& value : *list)
            if (value.data.size() > kLargestPlainValue) {
                *why = "the key holds a value too large to rewrite safely";
                return false;
            }
    std::vector<hive_set_value> set;
    for (const HiveValue& value : values)
        set.push_back({const_cast<char*>(value.name.c_str()), static_cast<hive_type>(value.type), value.data.size(),
                       const_cast<char*>(value.data.data())});
    if (hivex_node_set_values(hive->handle, node, set.size(), set.data(), 0) != 0)
        return Fail(why, "libhivex refused the change");
    hive->changed = true;
    return true;
}

bool CommitHive(Hive* hive, std::string* why)
{
    // A copy first, under a name no earlier run took.
    std::string backup = hive->path + ".qfbak";
    for (int n = 1; !FsCopyToNewFile(hive->path.c_str(), backup.c_str()); ++n) {
        if (!FsTargetExists() || n > 1000)
            return Fail(why, "no backup could be made");
        backup = hive->path + ".qfbak." + std::to_string(n);
    }
    // The new hive goes to a file of its own, is flushed and read back, and only then replaces
    // the hive in one rename.
    const std::string fresh = hive->path + ".qfnew";
    struct stat info;
    unlink(fresh.c_str());  // what an interrupted run left
    if (stat(hive->path.c_str(), &info) != 0 || hivex_commit(hive->handle, fresh.c_str(), 0) != 0)
        return Fail(why, "the new hive could not be written");
    const int fd = open(fresh.c_str(), O_RDONLY | O_CLOEXEC);
    const bool flushed = fd >= 0 && fchmod(fd, info.st_mode & 07777) == 0 && fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    hive_h* check = flushed ? hivex_open(fresh.c_str(), 0) : nullptr;
    if (check == nullptr) {
        unlink(fresh.c_str());
        return Fail(why, "the new hive could not be written");
    }
    hivex_close(check);
    if (!SyncFolder(fresh) || rename(fresh.c_str(), hive->path.c_str()) != 0)
        return Fail(why, "the new hive could not take the old one's place");
    SyncFolder(hive->path);
    hive->changed = false;
    return true;
}

std::string ToRegistryText(const std::string& utf8)
{
    std::string data;
    auto put = [&data](uint32_t unit) {
        data.push_back(static_cast<char>(unit & 0xFF));
        data.push_back(static_cast<char>(unit >> 8));
    };
    for (size_t at = 0; at < utf8.size();) {
        const unsigned char lead = static_cast<unsigned char>(utf8[at]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        uint32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t i = 1; i < length && at + i < utf8.size(); ++i)
            c = c << 6 | (static_cast<unsigned char>(utf8[at + i]) & 0x3F);
        at += length;
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    put(0);
    return data;
}

bool FromRegistryText(const std::string& data, std::string* utf8)
{
    utf8->clear();
    if (data.size() % 2 != 0)
        return false;
    for (size_t at = 0; at + 1 < data.size(); at += 2) {
        uint32_t c = static_cast<unsigned char>(data[at]) | static_cast<unsigned char>(data[at + 1]) << 8;
        if (c == 0)
            break;
        if (c >= 0xD800 && c < 0xDC00 && at + 3 < data.size()) {
            const uint32_t low = static_cast<unsigned char>(data[at + 2]) | static_cast<unsigned char>(data[at + 3]) << 8;
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            at += 2;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        }
        const int length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        utf8->push_back(static_cast<char>(length == 1 ? c : kLead[length] | c >> (6 * (length - 1))));
        for (int i = length - 2; i >= 0; --i)
            utf8->push_back(static_cast<char>(0x80 | ((c >> (6 * i)) & 0x3F)));
    }
    return true;
}
