// Files that Windows 10 and 11 compress in place (CompactOS, through the Windows Overlay Filter):
// the file is an NTFS reparse point of tag 0x80000017 whose data names the algorithm, its unnamed
// stream keeps the file's size but holds nothing, and its named stream WofCompressedData holds
// the data in chunks of the algorithm's size (4, 8 or 16 KiB for XPRESS, 32 KiB for LZX), each
// compressed on its own:
//
//   [table: where chunks 1 to N-1 start, 32-bit little-endian (64-bit for a file of 4 GiB or
//    more), counted from the end of the table] [chunk 0] [chunk 1] ... [chunk N-1]
//
// A chunk that compression did not make smaller is stored as it is (its stored size is its size).
// The chunks are decompressed by wimlib, whose XPRESS and LZX are those of this format; this file
// only finds them. Nothing here allocates through the C++ run time, so the rescue's ntfs-3g
// plugin (wof_plugin_posix.cpp) can carry it without libstdc++.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t kWofReparseTag = 0x80000017;
constexpr size_t kWofLargestChunk = 32768;

enum class WofAlgorithm : uint32_t { Xpress4K = 0, Lzx = 1, Xpress8K = 2, Xpress16K = 3 };

struct WofFormat {
    WofAlgorithm algorithm;
    uint32_t chunkSize;
};

// Reads a reparse point as ntfs-3g gives it (tag, data length, reserved, data): WOF version 1,
// provider 2 (a compressed file), file-provider version 1 and a known algorithm. False for any
// other reparse point, a different version, or data cut short.
bool WofParseReparse(const void* reparse, size_t size, WofFormat* format);

// Where the parts of a compressed file's stream lie.
struct WofLayout {
    WofFormat format;
    uint64_t fileSize;    // the unnamed stream's size: the data's
    uint64_t streamSize;  // WofCompressedData's
    uint64_t chunks;
    uint32_t entrySize;   // 4 or 8
    uint64_t tableSize;   // (chunks - 1) * entrySize
};

// Lays out a file of fileSize whose stream has streamSize bytes; false when its table does not fit.
bool WofPlan(const WofFormat& format, uint64_t fileSize, uint64_t streamSize, WofLayout* layout);

// Reads count bytes of the stream at offset into buffer; false unless all were read.
using WofStreamRead = bool (*)(void* context, uint64_t offset, void* buffer, size_t count);

struct wimlib_decompressor;

// A decompressor for one format with its buffers, made once and used for many reads; not
// shared between threads.
struct WofDecoder {
    WofFormat format;
    wimlib_decompressor* decompressor;
    uint8_t* stored;  // one chunk as it is stored
    uint8_t* plain;   // one chunk decompressed, for a read that wants part of it
    uint8_t* table;   // the table entries of a run of chunks
};

bool WofOpenDecoder(const WofFormat& format, WofDecoder* decoder);
void WofCloseDecoder(WofDecoder* decoder);

// Reads up to count bytes of the file's data at offset into out, through read on its stream, and
// sets *got (fewer only at the end of the file). False, with nothing to trust in out, when the
// stream cannot be read or is damaged: a chunk outside the stream or larger than its data, or
// one that does not decompress to exactly its size.
bool WofRead(WofDecoder* decoder, const WofLayout& layout, WofStreamRead read, void* context, uint64_t offset,
             void* out, size_t count, size_t* got);
