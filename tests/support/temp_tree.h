// A scratch directory tree for the file-system tests, removed again at the end of the test.
#pragma once

#include <string>

#include "samples.h"

class TempTree {
public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    // The root, in the platform's path syntax, without a trailing separator.
    const std::string& Root() const { return root_; }
    // relative uses '/' between parts; the result is in the platform's syntax.
    std::string Path(const std::string& relative) const;
    void Dir(const std::string& relative) const;
    void File(const std::string& relative, const Bytes& bytes) const;
    void Text(const std::string& relative, const std::string& text) const;
    bool Exists(const std::string& relative) const;

private:
    std::string root_;
};
