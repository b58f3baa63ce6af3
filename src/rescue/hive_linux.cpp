// Hive files through libhivex, with the checks and the commit protocol of hive_linux.h.
#include "rescue/hive_linux.h"

#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <type_traits>

#include "fs/file_system.h"
#include "fs/test_seams.h"
#include "text/unicode.h"
#include "text/windows_names.h"
#include "rescue/volume_linux.h"

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
    posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);  // a header: no read-ahead into the rest
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

bool Fail(std::string* why, const std::string& what)
{
    *why = what + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool OpenHive(const std::string& path, const std::string& label, Hive* hive, std::string* why)
{
    *hive = Hive{path, label, nullptr, {}};
    unsigned char base[kBaseBlock];
    off_t size = 0;
    const ssize_t got = ReadStart(path, base, sizeof base, &size);
    if (got < 0)
        return Fail(why, "cannot be read");
    if (got < static_cast<ssize_t>(kBaseBlock) || std::memcmp(base, "regf", 4) != 0) {
        *why = "not a registry hive";
        return false;
    }
    if (size > kLargestHive) {
        *why = "larger (" + std::to_string(size >> 20) + " MiB) than any real hive; left alone";
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
    hive->handle = hivex_open(path.c_str(), 0);
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
        // A damaged hive holds any number as a type; it is read as the number it is.
        std::underlying_type_t<hive_type> type = 0;
        size_t length = 0;
        char* data = hivex_value_value(hive.handle, *value, reinterpret_cast<hive_type*>(&type), &length);
        if (name != nullptr && data != nullptr)
            values->push_back({name, static_cast<int>(type), std::string(data, length)});
        free(data);
        free(name);
    }
    free(handles);
    return true;
}

bool ReadSubkeys(const Hive& hive, const std::string& keyPath, std::vector<std::string>* names)
{
    names->clear();
    const hive_node_h node = FindKey(hive.handle, keyPath);
    hive_node_h* children = node != 0 ? hivex_node_children(hive.handle, node) : nullptr;
    if (children == nullptr)
        return false;
    for (hive_node_h* child = children; *child != 0; ++child) {
        char* name = hivex_node_name(hive.handle, *child);
        if (name != nullptr)
            names->push_back(name);
        free(name);
    }
    free(children);
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
    for (auto& queued : hive->pending) {
        if (queued.first == keyPath) {
            queued.second = values;
            return true;
        }
    }
    hive->pending.emplace_back(keyPath, values);
    return true;
}

namespace {

// The value of the attribute name of path; false when the file has none (or its file system
// knows no such name), or it cannot be read (then *failed).
bool ReadAttribute(const std::string& path, const char* name, std::string* value, bool* failed)
{
    for (;;) {
        const ssize_t size = lgetxattr(path.c_str(), name, nullptr, 0);
        if (size < 0) {
            *failed = errno != ENODATA && errno != ENOTSUP && errno != EOPNOTSUPP;
            return false;
        }
        value->resize(static_cast<size_t>(size));
        const ssize_t got = lgetxattr(path.c_str(), name, value->data(), value->size());
        if (got >= 0) {
            value->resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE) {
            *failed = true;
            return false;
        }
    }
}

bool SetAttribute(const std::string& path, const std::string& name, const std::string& value)
{
    // The tests make it fail as a driver that refuses a descriptor does.
    if (SeamFailXattr(name.c_str())) {
        errno = EPERM;
        return false;
    }
    return lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) == 0;
}

std::vector<std::string> ListedAttributes(const std::string& path)
{
    std::string names(65536, '\0');
    const ssize_t got = llistxattr(path.c_str(), names.data(), names.size());
    std::vector<std::string> listed;
    for (size_t at = 0; got > 0 && at < static_cast<size_t>(got); at += listed.back().size() + 1)
        listed.emplace_back(names.c_str() + at);
    return listed;
}

// A FAT volume keeps a file's DOS attributes (read-only, hidden, system, archive) in its directory
// entry, which the kernel's vfat shows through its own ioctl, not as an extended attribute. False,
// with *why, when from has them and to cannot take them; true where the volume is no FAT.
bool CopyFatAttributes(const std::string& from, const std::string& to, std::string* why)
{
    const int source = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    uint32_t attributes = 0;
    const bool fat = source >= 0 && ioctl(source, FAT_IOCTL_GET_ATTRIBUTES, &attributes) == 0;
    if (source >= 0)
        close(source);
    if (!fat)
        return true;
    const int target = open(to.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    const bool set = target >= 0 && ioctl(target, FAT_IOCTL_SET_ATTRIBUTES, &attributes) == 0;
    if (target >= 0)
        close(target);
    return set || Fail(why, "its FAT attributes cannot be copied");
}

bool FlushFile(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool flushed = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0)
        close(fd);
    return flushed;
}

// In the child: the queued changes made with libhivex and written to target, which is then read
// back. An abort of the library ends only the child.
void ChangeInChild(const Hive& hive, const std::string& target, int report)
{
    std::string message = "0";
    hive_h* handle = hivex_open(hive.path.c_str(), HIVEX_OPEN_WRITE);
    if (handle == nullptr)
        message = "1libhivex cannot read it: " + std::string(std::strerror(errno));
    for (size_t i = 0; handle != nullptr && message == "0" && i < hive.pending.size(); ++i) {
        const hive_node_h node = FindKey(handle, hive.pending[i].first);
        std::vector<hive_set_value> set;
        for (const HiveValue& value : hive.pending[i].second)
            set.push_back({const_cast<char*>(value.name.c_str()), static_cast<hive_type>(value.type), value.data.size(),
                           const_cast<char*>(value.data.data())});
        if (node == 0 || hivex_node_set_values(handle, node, set.size(), set.data(), 0) != 0)
            message = "1libhivex refused the change: " + std::string(std::strerror(errno));
    }
    if (message == "0" && hivex_commit(handle, target.c_str(), 0) != 0)
        message = "1the new hive could not be written: " + std::string(std::strerror(errno));
    if (message == "0") {
        hive_h* check = FlushFile(target) ? hivex_open(target.c_str(), 0) : nullptr;
        if (check == nullptr)
            message = "1the new hive could not be written: " + std::string(std::strerror(errno));
        else
            hivex_close(check);
    }
    if (write(report, message.data(), message.size()) < 0)
        _exit(3);
    _exit(0);
}

// Runs ChangeInChild; false, with *why, when it failed or the library took the child down.
bool ChangeApart(const Hive& hive, const std::string& target, std::string* why)
{
    int pipeEnds[2];
    // What the library says on its way down; in memory, since a rescue root may have no /tmp.
    const int memory = memfd_create("qfscan-hive-errors", MFD_CLOEXEC);
    FILE* errors = memory >= 0 ? fdopen(memory, "w+") : std::tmpfile();
    if (errors == nullptr && memory >= 0)
        close(memory);
    if (errors == nullptr || pipe(pipeEnds) != 0) {
        if (errors != nullptr)
            std::fclose(errors);
        return Fail(why, "no child process for libhivex");
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        dup2(fileno(errors), STDERR_FILENO);
        ChangeInChild(hive, target, pipeEnds[1]);
    }
    close(pipeEnds[1]);
    std::string message;
    char chunk[512];
    for (ssize_t got; child > 0 && (got = read(pipeEnds[0], chunk, sizeof chunk)) != 0;)
        if (got > 0)
            message.append(chunk, static_cast<size_t>(got));
        else if (errno != EINTR)
            break;
    close(pipeEnds[0]);
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::string said(512, '\0');
    said.resize(std::fread(said.data(), 1, said.size() - 1, (std::rewind(errors), errors)));
    std::fclose(errors);
    said = said.substr(0, said.find('\n'));
    if (child < 0)
        return Fail(why, "no child process for libhivex");
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && message == "0")
        return true;
    if (!message.empty() && message[0] == '1') {
        *why = message.substr(1);
    } else {
        *why = "damaged: libhivex gave up on it (" +
               (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status)) : std::string("no answer")) +
               (said.empty() ? "" : ": " + said) + "); it was not changed";
    }
    unlink(target.c_str());
    return false;
}

}  // namespace

bool CopySecurity(const std::string& from, const std::string& to, std::string* why)
{
    struct stat info {};
    if (stat(from.c_str(), &info) != 0)
        return Fail(why, "its security cannot be read");
    struct stat now {};
    if (stat(to.c_str(), &now) != 0 ||
        ((now.st_uid != info.st_uid || now.st_gid != info.st_gid) && chown(to.c_str(), info.st_uid, info.st_gid) != 0) ||
        ((now.st_mode & 07777) != (info.st_mode & 07777) && chmod(to.c_str(), info.st_mode & 07777) != 0))
        return Fail(why, "its owner and mode cannot be copied");
    // The descriptor first, then whatever else the mount lists, then the DOS attributes, then times.
    // ntfs-3g lists none of the names of a file's security (text/windows_names.h), so each is asked for.
    std::vector<std::string> names(std::begin(kNtfsDescriptorAttributes), std::end(kNtfsDescriptorAttributes));
    for (const std::string& listed : ListedAttributes(from))
        if (std::find(names.begin(), names.end(), listed) == names.end())
            names.push_back(listed);
    bool dosSet = false;
    for (const char* dos : kNtfsDosAttributes)
        names.push_back(dos);
    names.push_back(kNtfsTimesAttribute);
    for (const std::string& name : names) {
        const bool dos = std::find(std::begin(kNtfsDosAttributes), std::end(kNtfsDosAttributes), name) !=
                         std::end(kNtfsDosAttributes);
        if (dos && dosSet)
            continue;
        std::string value;
        bool failed = false;
        if (!ReadAttribute(from, name.c_str(), &value, &failed)) {
            if (failed)
                return Fail(why, "its attribute " + name + " cannot be read");
            continue;
        }
        if (!SetAttribute(to, name, value))
            return Fail(why, "its attribute " + name + " cannot be copied");
        dosSet |= dos;
    }
    if (!CopyFatAttributes(from, to, why))
        return false;
    const timespec times[2] = {info.st_atim, info.st_mtim};
    if (utimensat(AT_FDCWD, to.c_str(), times, 0) != 0)
        return Fail(why, "its times cannot be copied");
    return true;
}

bool CommitHive(Hive* hive, bool dryRun, std::string* why)
{
    // The new hive goes to a file of its own (in a dry run, one outside the volume), is read back,
    // gets the old one's security, and only then is put in the hive's place (FsPutInPlace).
    std::string fresh = hive->path + ".qfnew";
    if (dryRun) {
        const char* tmp = std::getenv("TMPDIR");
        fresh = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qfscan-dry.XXXXXX";
        const int fd = mkstemp(fresh.data());
        if (fd < 0)
            return Fail(why, "no scratch file for the dry run");
        close(fd);
    } else {
        unlink(fresh.c_str());  // what an interrupted run left
    }
    if (!ChangeApart(*hive, fresh, why))
        return false;
    if (dryRun) {
        unlink(fresh.c_str());
        return true;
    }
    if (!CopySecurity(hive->path, fresh, why)) {
        unlink(fresh.c_str());
        *why = "not replaced, since the new hive could not get the old one's security: " + *why;
        return false;
    }
    // A copy of the old hive, under a name no earlier run took, as closed as the hive.
    std::string backup = hive->path + ".qfbak";
    for (int n = 1; !FsCopyToNewFile(hive->path.c_str(), backup.c_str()); ++n) {
        if (!FsTargetExists() || n > 1000) {
            Fail(why, "no backup could be made");
            unlink(fresh.c_str());
            return false;
        }
        backup = hive->path + ".qfbak." + std::to_string(n);
    }
    if (!CopySecurity(hive->path, backup, why) || !FlushFile(backup)) {
        *why = "no backup as closed as the hive could be made: " + *why;
        unlink(backup.c_str());
        unlink(fresh.c_str());
        return false;
    }
    if (!FsPutInPlace(fresh.c_str(), hive->path.c_str(), true)) {
        Fail(why, "the new hive could not take the old one's place");
        return false;
    }
    hive->pending.clear();
    return true;
}

bool ToRegistryText(const std::string& utf8, std::string* data)
{
    data->clear();
    for (size_t at = 0; at < utf8.size();) {
        uint32_t c = 0;
        const size_t length = Utf8Sequence(utf8.data(), utf8.size(), at, &c);
        if (length == 0)
            return false;
        at += length;
        uint16_t units[2];
        for (size_t i = 0, count = EncodeUtf16(c, units); i < count; ++i) {
            data->push_back(static_cast<char>(units[i] & 0xFF));
            data->push_back(static_cast<char>(units[i] >> 8));
        }
    }
    data->append(2, '\0');
    return true;
}

bool FromRegistryText(const std::string& data, std::string* utf8)
{
    utf8->clear();
    if (data.size() % 2 != 0)
        return false;
    std::vector<uint16_t> units(data.size() / 2);
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<uint16_t>(static_cast<unsigned char>(data[2 * i]) |
                                         static_cast<unsigned char>(data[2 * i + 1]) << 8);
    for (size_t at = 0; at < units.size() && units[at] != 0;) {
        uint32_t c = 0;
        const size_t length = Utf16Sequence(units.data(), units.size(), at, &c, false);
        if (length == 0)
            return false;
        at += length;
        char bytes[4];
        utf8->append(bytes, EncodeUtf8(c, bytes));
    }
    return true;
}
