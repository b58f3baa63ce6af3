// The walk both native floors share: breadth-first over opendir/readdir, symbolic links never
// followed, each regular file handed to a visitor as an open descriptor.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

// Set by --random: each file opened tells the kernel its reads are random (no read-ahead), as
// qfscan's do; the floor of the bytes a cold scan may make the disk read.
inline bool randomAdvice = false;

struct WalkCounts {
    long files = 0;
    long folders = 0;  // below the root
};

// Lists one folder: folder(path) for each subfolder, file(fd) for each regular file open for
// reading; links are never followed. Both floors, one thread or many, list this way.
template <typename Folder, typename File>
void ListFolder(const std::string& dir, Folder folder, File file)
{
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr)
        return;
    const int dirFd = dirfd(stream);
    while (const dirent* entry = readdir(stream)) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        unsigned type = entry->d_type;
        if (type == DT_UNKNOWN) {  // some file systems leave the type to stat
            struct stat st;
            if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
        }
        if (type == DT_DIR) {
            folder(dir + "/" + name);
        } else if (type == DT_REG) {
            const int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd < 0)
                continue;
            if (randomAdvice)
                posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
            file(fd);
            close(fd);
        }
    }
    closedir(stream);
}

// visit(fd) is called with every regular file open for reading.
template <typename Visit>
WalkCounts WalkTree(const std::string& root, Visit visit)
{
    WalkCounts counts;
    std::deque<std::string> queue{root};
    while (!queue.empty()) {
        const std::string dir = std::move(queue.front());
        queue.pop_front();
        ListFolder(
            dir,
            [&](std::string path) {
                ++counts.folders;
                queue.push_back(std::move(path));
            },
            [&](int fd) {
                ++counts.files;
                visit(fd);
            });
    }
    return counts;
}

// The kernel's count of bytes this process read through read-like calls.
inline long long ReadChars()
{
    long long value = -1;
    if (FILE* io = std::fopen("/proc/self/io", "r")) {
        char line[128];
        while (std::fgets(line, sizeof line, io))
            if (std::sscanf(line, "rchar: %lld", &value) == 1)
                break;
        std::fclose(io);
    }
    return value;
}

inline long PeakRssKb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Cold-cache runs: drop the page cache of every file in the tree (directories stay cached).
inline void DropTreeCache(const std::string& root)
{
    WalkTree(root, [](int fd) { posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED); });
}

inline double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Takes a leading --random (see randomAdvice) off the arguments.
inline void RandomOption(int* argc, char*** argv)
{
    if (*argc > 1 && std::strcmp((*argv)[1], "--random") == 0) {
        randomAdvice = true;
        (*argv)[1] = (*argv)[0];
        --*argc;
        ++*argv;
    }
}

// The one argument, [--random] ROOT; a usage line and exit code 2 without it. Cold runs drop the
// tree's cache outside the timed part (qf_measure --drop).
inline std::string RootArgument(int argc, char** argv)
{
    RandomOption(&argc, &argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s [--random] ROOT\n", argv[0]);
        std::exit(2);
    }
    return argv[1];
}
