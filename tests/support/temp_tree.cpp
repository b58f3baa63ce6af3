// Scratch directory trees (POSIX and Win32).
#include "temp_tree.h"

#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
const char kSeparator = '\\';

void RemoveTree(const std::string& path)
{
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string child = path + "\\" + name;
            SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveTree(child);
            else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryA(child.c_str());
            else
                DeleteFileA(child.c_str());
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(path.c_str());
}
#else
const char kSeparator = '/';
#endif

}  // namespace

TempTree::TempTree()
{
#ifdef _WIN32
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    char unique[MAX_PATH];
    if (!GetTempFileNameA(base, "qft", 0, unique))
        throw std::runtime_error("no temporary name");
    DeleteFileA(unique);
    if (!CreateDirectoryA(unique, nullptr))
        throw std::runtime_error("no temporary directory");
    root_ = unique;
#else
    char pattern[] = "/tmp/qf-test.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("no temporary directory");
    root_ = pattern;
#endif
}

TempTree::~TempTree()
{
#ifdef _WIN32
    RemoveTree(root_);
#else
    // The tools take trees deeper than one path can name, and folders the tests closed.
    std::system(("chmod -R u+rwx " + root_ + " 2>/dev/null; rm -rf " + root_).c_str());
#endif
}

std::string TempTree::Path(const std::string& relative) const
{
    std::string path = root_ + kSeparator + relative;
    for (char& c : path)
        if (c == '/' || c == '\\')
            c = kSeparator;
    return path;
}

void TempTree::Dir(const std::string& relative) const
{
    // Every folder on the way is made first.
    const std::string path = Path(relative);
    for (size_t end = path.find(kSeparator, root_.size() + 1);; end = path.find(kSeparator, end + 1)) {
#ifdef _WIN32
        CreateDirectoryA(path.substr(0, end).c_str(), nullptr);
#else
        mkdir(path.substr(0, end).c_str(), 0755);
#endif
        if (end == std::string::npos)
            break;
    }
}

void TempTree::File(const std::string& relative, const Bytes& bytes) const
{
    if (!WriteBytes(Path(relative), bytes))
        throw std::runtime_error("cannot write " + relative);
}

void TempTree::Text(const std::string& relative, const std::string& text) const
{
    File(relative, Bytes(text.begin(), text.end()));
}

bool TempTree::Exists(const std::string& relative) const
{
#ifdef _WIN32
    return GetFileAttributesA(Path(relative).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat info;
    return lstat(Path(relative).c_str(), &info) == 0;
#endif
}
