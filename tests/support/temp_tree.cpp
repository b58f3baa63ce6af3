// Scratch directory trees (POSIX and Win32).
#include "temp_tree.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char kSeparator = '\\';
#else
const char kSeparator = '/';
#endif

}  // namespace

TempTree::TempTree()
{
    static int made = 0;
    std::error_code error;
    // The process id keeps test programs that run at once apart.
    const fs::path root = fs::temp_directory_path(error) /
                          ("qf-test." + std::to_string(getpid()) + "." + std::to_string(++made));
    if (error || !fs::create_directories(root, error))
        throw std::runtime_error("no temporary directory");
    root_ = root.string();
}

TempTree::~TempTree()
{
#ifdef _WIN32
    // Read-only files stay behind; the throwaway prefix they lie in goes with them.
    std::error_code error;
    fs::remove_all(root_, error);
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
    std::error_code error;
    fs::create_directories(Path(relative), error);
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
    std::error_code error;
    return fs::exists(fs::symlink_status(Path(relative), error));
}
