// The floor of the window's scan under Wine: walk a folder breadth-first with FindFirstFileA and
// FindNextFileA, classify every file with GetBinaryTypeA and test the 32-bit programs.
//   qf_wine_floor FOLDER        (a Unix path such as /tmp/tree is taken through drive Z:)
// Prints one line of key=value figures.
#include <windows.h>

#include <cstdio>
#include <deque>
#include <string>

#include "detect/infection.h"
#include "wine_path.h"

int main(int argc, char** argv)
{
    const std::string root = FolderArgument(argc, argv);

    long folders = 0, files = 0, programs = 0, infected = 0, linksSkipped = 0;
    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);

    std::deque<std::string> queue{root};
    while (!queue.empty()) {
        const std::string dir = std::move(queue.front());
        queue.pop_front();
        const std::string prefix = dir.back() == '\\' ? dir : dir + "\\";
        WIN32_FIND_DATAA found;
        const HANDLE search = FindFirstFileA((prefix + "*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do {
            const char* name = found.cFileName;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                continue;
            const std::string path = prefix + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                // A junction or link may lead back up the tree: never enter one.
                if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                    ++linksSkipped;
                    continue;
                }
                ++folders;
                queue.push_back(path);
                continue;
            }
            ++files;
            DWORD type = 0;
            if (GetBinaryTypeA(path.c_str(), &type) && type == SCS_32BIT_BINARY) {
                ++programs;
                if (IsInfectedExecutable(path.c_str()))
                    ++infected;
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }

    QueryPerformanceCounter(&stop);
    const double ms = 1000.0 * double(stop.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    std::printf("ms=%.1f folders=%ld files=%ld programs=%ld infected=%ld links_skipped=%ld\n", ms, folders,
                files, programs, infected, linksSkipped);
    return 0;
}
