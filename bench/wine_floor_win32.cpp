// The floor of the Windows scans under Wine, built from the same wide calls as the layer: walk a
// folder breadth-first with FindFirstFileExW and FindNextFileW on \\?\ paths, open every file
// with CreateFileW and read its first 4 KB, and test the 32-bit programs.
//   qf_wine_floor FOLDER        (a Unix path such as /tmp/tree is taken through drive Z:)
// Prints one line of key=value figures.
#include <windows.h>

#include <cstdio>
#include <deque>
#include <string>

#include "detect/pe_image.h"
#include "wine_path.h"

namespace {

struct HeadSource {
    HANDLE file;
    uint8_t head[4096];
    DWORD length;
    uint64_t Size()
    {
        LARGE_INTEGER size;
        return GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
    }
    bool Read(uint64_t offset, void* out, uint32_t count)
    {
        if (offset + count <= length) {
            memcpy(out, head + offset, count);
            return true;
        }
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        return ReadFile(file, out, count, &got, &at) && got == count;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    const std::string given = FolderArgument(argc, argv);
    const std::wstring root = L"\\\\?\\" + std::wstring(given.begin(), given.end());

    long folders = 0, files = 0, programs = 0, infected = 0, linksSkipped = 0;
    LARGE_INTEGER frequency, start, stop;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);

    std::deque<std::wstring> queue{root};
    static HeadSource source;
    while (!queue.empty()) {
        const std::wstring dir = std::move(queue.front());
        queue.pop_front();
        const std::wstring prefix = dir.back() == L'\\' ? dir : dir + L"\\";
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileExW((prefix + L"*").c_str(), FindExInfoStandard, &found,
                                               FindExSearchNameMatch, nullptr, 0);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do {
            const wchar_t* name = found.cFileName;
            if (name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0)))
                continue;
            const std::wstring path = prefix + name;
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
            source.file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            if (source.file == INVALID_HANDLE_VALUE)
                continue;
            if (!ReadFile(source.file, source.head, sizeof source.head, &source.length, nullptr))
                source.length = 0;
            const char ext[] = {'.', 'e', 'x', 'e', 0};
            if (pe::ClassifyBinary(ext, source) == pe::kWin32Binary) {
                ++programs;
                infected += pe::DecideInfection(source);
            }
            CloseHandle(source.file);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }

    QueryPerformanceCounter(&stop);
    const double ms = 1000.0 * double(stop.QuadPart - start.QuadPart) / double(frequency.QuadPart);
    std::printf("ms=%.1f folders=%ld files=%ld programs=%ld infected=%ld links_skipped=%ld\n", ms, folders,
                files, programs, infected, linksSkipped);
    return 0;
}
