// The folder a Win32 benchmark program is given: a Unix path is reached through drive Z:.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

// argv[1] as a Windows path; a usage line and exit code 2 without it.
inline std::string FolderArgument(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        std::exit(2);
    }
    std::string folder = argv[1][0] == '/' ? std::string("Z:") + argv[1] : argv[1];
    for (char& c : folder)
        c = c == '/' ? '\\' : c;
    while (folder.size() > 3 && folder.back() == '\\')
        folder.pop_back();
    return folder;
}
