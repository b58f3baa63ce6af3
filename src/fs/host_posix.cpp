// This machine's name and the time, on POSIX systems.
#include "fs/host.h"

#include <unistd.h>

#include <ctime>

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
