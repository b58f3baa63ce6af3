// The log file and the run's host and times on POSIX systems.
#include "console/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

int logFd = -1;
std::string logPath;
bool logTorn;  // the log ended inside a line: this run's first record starts a new one

// Why a file of this kind is no log; null for a regular file.
const char* NotALog(mode_t mode)
{
    return S_ISREG(mode) ? nullptr : S_ISLNK(mode) ? "a link, which a log is never reached through"
           : S_ISDIR(mode)                         ? "a folder"
           : S_ISFIFO(mode)                        ? "a FIFO, not a regular file"
           : S_ISSOCK(mode)                        ? "a socket, not a regular file"
                                                   : "a device, not a regular file";
}

// Why root may not write this log: a file that another user owns or that has another name is
// theirs to point elsewhere.
const char* NotRootsLog(const struct stat& info)
{
    if (geteuid() != 0)
        return nullptr;
    return info.st_uid != 0       ? "owned by another user than root, who runs this scan"
           : info.st_nlink != 1   ? "a file with more than one name (a hard link)"
                                  : nullptr;
}

// Whether fd's file ends in a line feed (or is empty); true when it cannot be told.
bool EndsLine(int fd, off_t size)
{
    char last = '\n';
    return size == 0 || pread(fd, &last, 1, size - 1) != 1 || last == '\n';
}

}  // namespace

bool LogOpen(const std::string& path, std::string* error)
{
    // No device is opened, not even once: a kind that is no log is refused by its name first.
    struct stat info;
    const char* refused = fstatat(AT_FDCWD, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 ? NotALog(info.st_mode)
                                                                                             : nullptr;
    // Not following a link, and not waiting for a FIFO's reader, should one come in between.
    // O_APPEND puts every write() at the end of the file, whoever else appends; reading too
    // finds a torn last line.
    const int flags = O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    int fd = -1;
    if (refused == nullptr) {
        fd = open(path.c_str(), O_RDWR | flags, 0644);
        if (fd < 0 && errno == EACCES)
            fd = open(path.c_str(), O_WRONLY | flags, 0644);
        if (fd < 0)
            refused = errno == ELOOP ? NotALog(S_IFLNK) : errno == EISDIR ? NotALog(S_IFDIR) : nullptr;
    }
    if (fd >= 0 && fstat(fd, &info) != 0)
        refused = std::strerror(errno);
    else if (fd >= 0 && (refused = NotALog(info.st_mode)) == nullptr)
        refused = NotRootsLog(info);
    if (fd < 0 || refused != nullptr) {
        *error = refused != nullptr ? refused : std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    logTorn = !EndsLine(fd, info.st_size);
    logFd = fd;
    logPath = path;
    return true;
}

bool LogText(const std::string& text, std::string* error)
{
    if (logFd < 0)
        return true;
    std::string record = (logTorn ? "\n" : "") + text;
    if (record.empty() || record.back() != '\n')
        record += '\n';
    ssize_t written;
    while ((written = write(logFd, record.data(), record.size())) < 0 && errno == EINTR) {
    }
    if (written == static_cast<ssize_t>(record.size())) {
        logTorn = false;
        return true;
    }
    // Once broken, the log takes no more: the report says so once and stops every change.
    *error = logPath + ": the log could not be written: " +
             (written < 0 ? std::strerror(errno)
                          : "only " + std::to_string(written) + " of " + std::to_string(record.size()) + " bytes");
    close(logFd);
    logFd = -1;
    return false;
}

namespace {

bool systemLogOpen = false;

}  // namespace

bool SystemLogOpen(std::string*)
{
    openlog("qfscan", LOG_PID, LOG_USER);
    systemLogOpen = true;
    return true;
}

void SystemLogWrite(SystemLogEvent event, const std::string&, const std::string& record)
{
    if (!systemLogOpen)
        return;
    // A finding (or a change it made) is a warning, a failure an error, the summary a notice.
    const int level = event == SystemLogEvent::NotRemoved || event == SystemLogEvent::ChangeRefused ? LOG_ERR
                      : event == SystemLogEvent::ScanFinished                                        ? LOG_NOTICE
                                                                                                     : LOG_WARNING;
    syslog(level, "%s", record.c_str());
}
