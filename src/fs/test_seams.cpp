// The test builds' hooks (see test_seams.h).
#include "fs/test_seams.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "fs/file_system.h"

namespace {

struct Seams {
    const char* disposePause;
    const char* enterPause;
    const char* unreadableName;
    const char* failXattr;
};

// Read once, from the environment.
const Seams& GetSeams()
{
    static const Seams seams{std::getenv("QF_TEST_DISPOSE_PAUSE"), std::getenv("QF_TEST_ENTER_PAUSE"),
                             std::getenv("QF_TEST_UNREADABLE"), std::getenv("QF_TEST_FAIL_XATTR")};
    return seams;
}

void Pause(const char* path)
{
    const char* fifo = GetSeams().disposePause;
    if (fifo == nullptr)
        return;
    // One pause at a time, so that the test's handshake holds with many walks.
    static std::mutex one;
    std::lock_guard<std::mutex> hold(one);
    if (std::FILE* out = std::fopen(fifo, "w")) {
        std::fprintf(out, "%s\n", path);
        std::fclose(out);
    }
    if (std::FILE* go = std::fopen((std::string(fifo) + ".go").c_str(), "r")) {
        std::fgetc(go);
        std::fclose(go);
    }
}

bool Named(const char* wanted, const char* name)
{
    return wanted != nullptr && std::strcmp(wanted, name) == 0;
}

}  // namespace

void SeamPauseBeforeRemoval(const char* folder, const char* name)
{
    std::string path = folder;
    if (!path.empty() && path.back() != kFsSeparator)
        path += kFsSeparator;
    Pause((path + name).c_str());
}

void SeamPauseBeforeEntering(const char* name, const char* path)
{
    if (Named(GetSeams().enterPause, name))
        Pause(path);
}

bool SeamUnreadable(const char* name)
{
    return Named(GetSeams().unreadableName, name);
}

bool SeamFailXattr(const char* name)
{
    return Named(GetSeams().failXattr, name);
}

SeamDisk SeamDiskState()
{
    const char* disk = std::getenv("QF_TEST_DISK");
    if (disk == nullptr)
        return SeamDisk::AsItIs;
    if (std::strcmp(disk, "cold") == 0)
        return SeamDisk::Cold;
    return std::strcmp(disk, "warm") == 0 ? SeamDisk::Warm : SeamDisk::AsItIs;
}
