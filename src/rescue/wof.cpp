// Compressed files of Windows (CompactOS): the reparse data, the chunk table, and reads through
// wimlib's decompressors.
#include "rescue/wof.h"

#include <wimlib.h>

#include <cstdlib>
#include <cstring>

namespace {

// Chunks whose table entries are read at once: a 128 KiB read of 4 KiB chunks takes 33.
constexpr uint64_t kChunkRun = 512;

uint64_t ReadLittle(const uint8_t* bytes, uint32_t size)
{
    uint64_t value = 0;
    for (uint32_t i = size; i-- > 0;)
        value = value << 8 | bytes[i];
    return value;
}

uint32_t ChunkSizeOf(uint32_t algorithm)
{
    switch (static_cast<WofAlgorithm>(algorithm)) {
    case WofAlgorithm::Xpress4K: return 4096;
    case WofAlgorithm::Lzx: return 32768;
    case WofAlgorithm::Xpress8K: return 8192;
    case WofAlgorithm::Xpress16K: return 16384;
    }
    return 0;
}

// Where chunk index starts in the stream, counted from the table's end, from the run of table
// entries that begins with entry first.
uint64_t ChunkStart(const WofDecoder& decoder, const WofLayout& layout, uint64_t first, uint64_t index)
{
    if (index == 0)
        return 0;
    return ReadLittle(decoder.table + (index - 1 - first) * layout.entrySize, layout.entrySize);
}

}  // namespace

bool WofParseReparse(const void* reparse, size_t size, WofFormat* format)
{
    // Tag, data length, reserved; WOF's version and provider; the file provider's version and
    // algorithm.
    const auto* bytes = static_cast<const uint8_t*>(reparse);
    if (size < 24 || ReadLittle(bytes, 4) != kWofReparseTag || ReadLittle(bytes + 4, 2) < 16 ||
        ReadLittle(bytes + 4, 2) > size - 8)
        return false;
    if (ReadLittle(bytes + 8, 4) != 1 || ReadLittle(bytes + 12, 4) != 2 || ReadLittle(bytes + 16, 4) != 1)
        return false;
    const uint32_t algorithm = static_cast<uint32_t>(ReadLittle(bytes + 20, 4));
    const uint32_t chunkSize = ChunkSizeOf(algorithm);
    if (chunkSize == 0)
        return false;
    *format = WofFormat{static_cast<WofAlgorithm>(algorithm), chunkSize};
    return true;
}

bool WofPlan(const WofFormat& format, uint64_t fileSize, uint64_t streamSize, WofLayout* layout)
{
    const uint64_t chunks = fileSize / format.chunkSize + (fileSize % format.chunkSize != 0);
    const uint32_t entrySize = fileSize > UINT32_MAX ? 8 : 4;
    const uint64_t tableSize = chunks == 0 ? 0 : (chunks - 1) * entrySize;
    if (tableSize > streamSize)
        return false;
    *layout = WofLayout{format, fileSize, streamSize, chunks, entrySize, tableSize};
    return true;
}

bool WofOpenDecoder(const WofFormat& format, WofDecoder* decoder)
{
    *decoder = WofDecoder{format, nullptr, nullptr, nullptr, nullptr};
    const auto type = format.algorithm == WofAlgorithm::Lzx ? WIMLIB_COMPRESSION_TYPE_LZX : WIMLIB_COMPRESSION_TYPE_XPRESS;
    decoder->stored = static_cast<uint8_t*>(std::malloc(format.chunkSize));
    decoder->plain = static_cast<uint8_t*>(std::malloc(format.chunkSize));
    decoder->table = static_cast<uint8_t*>(std::malloc((kChunkRun + 1) * 8));
    if (decoder->stored == nullptr || decoder->plain == nullptr || decoder->table == nullptr ||
        wimlib_create_decompressor(type, format.chunkSize, &decoder->decompressor) != 0) {
        WofCloseDecoder(decoder);
        return false;
    }
    return true;
}

void WofCloseDecoder(WofDecoder* decoder)
{
    if (decoder->decompressor != nullptr)
        wimlib_free_decompressor(decoder->decompressor);
    std::free(decoder->stored);
    std::free(decoder->plain);
    std::free(decoder->table);
    *decoder = WofDecoder{};
}

bool WofRead(WofDecoder* decoder, const WofLayout& layout, WofStreamRead read, void* context, uint64_t offset,
             void* out, size_t count, size_t* got)
{
    *got = 0;
    if (offset >= layout.fileSize || count == 0)
        return true;
    const uint64_t end = count < layout.fileSize - offset ? offset + count : layout.fileSize;
    const uint64_t chunkSize = layout.format.chunkSize;
    const uint64_t data = layout.streamSize - layout.tableSize;  // the chunks' bytes
    auto* to = static_cast<uint8_t*>(out);
    for (uint64_t at = offset; at < end;) {
        // The table entries of a run of chunks: where each starts, and where the last ends.
        const uint64_t first = at / chunkSize;
        uint64_t last = (end - 1) / chunkSize;
        if (last - first >= kChunkRun)
            last = first + kChunkRun - 1;
        const uint64_t firstEntry = first == 0 ? 0 : first - 1;
        const uint64_t lastEntry = last < layout.chunks - 1 ? last : layout.chunks - 2;  // none for one chunk
        if (layout.chunks > 1 && firstEntry <= lastEntry &&
            !read(context, firstEntry * layout.entrySize, decoder->table, (lastEntry - firstEntry + 1) * layout.entrySize))
            return false;
        for (uint64_t chunk = first; chunk <= last; ++chunk) {
            const uint64_t start = ChunkStart(*decoder, layout, firstEntry, chunk);
            const uint64_t stop = chunk == layout.chunks - 1 ? data : ChunkStart(*decoder, layout, firstEntry, chunk + 1);
            const uint64_t base = chunk * chunkSize;
            const uint64_t size = layout.fileSize - base < chunkSize ? layout.fileSize - base : chunkSize;
            if (start > stop || stop > data || stop - start == 0 || stop - start > size)
                return false;
            const uint64_t inside = at - base;
            const uint64_t take = size - inside < end - at ? size - inside : end - at;
            uint8_t* plain = inside == 0 && take == size ? to : decoder->plain;  // whole chunks go straight out
            const size_t stored = static_cast<size_t>(stop - start);
            if (stored == size) {
                if (!read(context, layout.tableSize + start, plain, stored))
                    return false;
            } else if (!read(context, layout.tableSize + start, decoder->stored, stored) ||
                       wimlib_decompress(decoder->stored, stored, plain, size, decoder->decompressor) != 0) {
                return false;
            }
            if (plain != to)
                std::memcpy(to, plain + inside, take);
            to += take;
            at += take;
        }
    }
    *got = static_cast<size_t>(end - offset);
    return true;
}
