// The walk's test hooks.
#include "scan/test_seams.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

const TestSeams& GetTestSeams()
{
    static const TestSeams seams{std::getenv("QF_TEST_DISPOSE_PAUSE"), std::getenv("QF_TEST_UNREADABLE")};
    return seams;
}

void PauseBeforeDisposal(const char* path)
{
    const char* fifo = GetTestSeams().disposePause;
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
