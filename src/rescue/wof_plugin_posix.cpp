// The ntfs-3g plugin for reparse tag 0x80000017: files that Windows compressed in place
// (CompactOS) are shown as the plain files they are to Windows, read-only, so the scan reads and
// tests them. ntfs-3g loads it as ntfs-plugin-80000017.so from its plugin folder
// (/usr/lib/x86_64-linux-gnu/ntfs-3g) when it first meets the tag, and calls init.
//
// Without it ntfs-3g shows such a file as a link to "unsupported reparse tag 0x80000017": its
// data cannot be read. Writing is refused: the plugin gives no write and no truncate, so ntfs-3g
// answers them "not supported", and the compressed data stays as Windows wrote it.
//
// It runs inside ntfs-3g, which brings libntfs-3g and the C library and nothing else: wimlib's
// decompressors are linked in from its static library, and nothing needs libstdc++.
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/plugin.h>
}

#include <errno.h>
#include <pthread.h>
#include <sys/stat.h>

#include <cstdlib>

#include "rescue/wof.h"

namespace {

// The name of the stream that holds the chunks, in NTFS's UTF-16.
ntfschar kStreamName[] = {'W', 'o', 'f', 'C', 'o', 'm', 'p', 'r', 'e', 's', 's', 'e', 'd', 'D', 'a', 't', 'a'};
constexpr int kAlgorithms = 4;

// One decoder per algorithm, made at its first use and kept until the plugin is unloaded;
// lock is held while one is used (ntfs-3g may serve reads on several threads).
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
WofDecoder decoders[kAlgorithms];

// The compressed file ni: its format and its two streams. The unnamed one gives the size only.
struct CompressedFile {
    ntfs_attr* stream;
    WofLayout layout;
};

int OpenCompressed(ntfs_inode* ni, const REPARSE_POINT* reparse, CompressedFile* file)
{
    WofFormat format;
    if (!WofParseReparse(reparse, sizeof(REPARSE_POINT) + reparse->reparse_data_length, &format))
        return -EOPNOTSUPP;
    ntfs_attr* unnamed = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
    if (unnamed == nullptr)
        return -EIO;
    const s64 fileSize = unnamed->data_size;
    ntfs_attr_close(unnamed);
    file->stream = ntfs_attr_open(ni, AT_DATA, kStreamName, sizeof kStreamName / sizeof kStreamName[0]);
    if (file->stream == nullptr)
        return -EIO;
    if (fileSize < 0 || !WofPlan(format, fileSize, file->stream->data_size, &file->layout)) {
        ntfs_attr_close(file->stream);
        return -EIO;
    }
    return 0;
}

bool ReadStream(void* context, uint64_t offset, void* buffer, size_t count)
{
    return ntfs_attr_pread(static_cast<ntfs_attr*>(context), static_cast<s64>(offset), static_cast<s64>(count), buffer) ==
           static_cast<s64>(count);
}

int GetAttributes(ntfs_inode* ni, const REPARSE_POINT* reparse, struct stat* info)
{
    CompressedFile file;
    if (const int error = OpenCompressed(ni, reparse, &file))
        return error;
    info->st_mode = S_IFREG | 0555;
    info->st_size = static_cast<off_t>(file.layout.fileSize);
    info->st_blocks = (file.stream->allocated_size + 511) >> 9;
    ntfs_attr_close(file.stream);
    return 0;
}

int Open(ntfs_inode* ni, const REPARSE_POINT* reparse, struct fuse_file_info*)
{
    CompressedFile file;
    if (const int error = OpenCompressed(ni, reparse, &file))
        return error;
    ntfs_attr_close(file.stream);
    return 0;
}

int Read(ntfs_inode* ni, const REPARSE_POINT* reparse, char* buffer, size_t size, off_t offset, struct fuse_file_info*)
{
    if (offset < 0)
        return -EINVAL;
    CompressedFile file;
    if (const int error = OpenCompressed(ni, reparse, &file))
        return error;
    const WofFormat& format = file.layout.format;
    WofDecoder& decoder = decoders[static_cast<int>(format.algorithm)];
    size_t got = 0;
    pthread_mutex_lock(&lock);
    const bool read = (decoder.decompressor != nullptr || WofOpenDecoder(format, &decoder)) &&
                      WofRead(&decoder, file.layout, ReadStream, file.stream, static_cast<uint64_t>(offset), buffer,
                              size, &got);
    pthread_mutex_unlock(&lock);
    ntfs_attr_close(file.stream);
    return read ? static_cast<int>(got) : -EIO;
}

const plugin_operations_t kOperations = {
    GetAttributes, Open, nullptr, Read,
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

__attribute__((destructor)) void FreeDecoders()
{
    for (WofDecoder& decoder : decoders) {
        if (decoder.decompressor != nullptr)
            WofCloseDecoder(&decoder);
    }
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const plugin_operations_t* init(le32 tag)
{
    if (tag != kWofReparseTag) {
        errno = EINVAL;
        return nullptr;
    }
    return &kOperations;
}

// wimlib's decompressors take their memory through these, which wimlib's util.c defines beside its
// XML parser's allocator: given here, the static link takes the decompressors alone, not libxml2.
extern "C" {
void* wimlib_malloc(size_t size)
{
    return std::malloc(size);
}

void wimlib_free_memory(void* block)
{
    std::free(block);
}

void* wimlib_aligned_malloc(size_t size, size_t alignment)
{
    void* block = nullptr;
    return posix_memalign(&block, alignment < sizeof(void*) ? sizeof(void*) : alignment, size) == 0 ? block : nullptr;
}

void wimlib_aligned_free(void* block)
{
    std::free(block);
}
}
