// The log file and the run's host and times on POSIX systems.
#include "console/fleet.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

int logFd = -1;

}  // namespace

bool LogOpen(const std::string& path, std::string* error)
{
    // O_APPEND puts every write() at the end of the file, whoever else appends.
    logFd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (logFd < 0)
        *error = std::strerror(errno);
    return logFd >= 0;
}

void LogText(const std::string& text)
{
    if (logFd < 0)
        return;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at) + "\n";
        at = end == std::string::npos ? text.size() : end + 1;
        while (write(logFd, line.data(), line.size()) < 0 && errno == EINTR) {
        }
    }
}

std::string HostName()
{
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

std::string UtcTimestamp()
{
    const time_t now = time(nullptr);
    struct tm utc = {};
    char text[32] = {};
    gmtime_r(&now, &utc);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}
