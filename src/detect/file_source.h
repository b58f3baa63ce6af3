// A byte source over an open file, for the header readers of pe_image.h.
//
// It reads the file's first 4 KB once and serves the headers from there, so the classification
// and the infection test share one read, and a program file costs two reads in all (headers,
// marker window). It tells a read that failed from one past the end, so that a file that cannot
// be read is never taken for a clean one.
#pragma once

#include <cstdint>

#include "fs/file_system.h"

constexpr uint32_t kFileHead = 4096;  // bytes read first

struct FileSource {
    explicit FileSource(const FsFile& opened) : file(opened) {}

    uint64_t Size();
    // All count bytes at offset, or false (past the end, or a failed read).
    bool Read(uint64_t offset, void* out, uint32_t count);
    // True, with *error set, when a read or the size query failed.
    bool Failed(int* error) const;

    const FsFile& file;
    uint8_t head[kFileHead];
    uint32_t headLength = 0;
    bool headLoaded = false;
    uint64_t size = 0;
    bool sizeKnown = false;
    int error = 0;
};
