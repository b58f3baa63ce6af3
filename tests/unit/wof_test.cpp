// Windows's compressed files (CompactOS): streams laid out as Windows lays them, their chunks made by
// wimlib's compressors, read back whole and in pieces; a damaged stream is an error, never data.
#include <gtest/gtest.h>
#include <wimlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "rescue/wof.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Reparse(uint32_t tag, uint32_t provider, uint32_t algorithm)
{
    const uint32_t fields[] = {tag, 16, 1, provider, 1, algorithm};  // the length and reserved share a field
    Bytes out(sizeof fields);
    std::memcpy(out.data(), fields, sizeof fields);
    return out;
}

// A file's data as the stream Windows writes: the table, then each chunk compressed, or stored when
// compression does not make it smaller.
Bytes Compress(const Bytes& data, const WofFormat& format)
{
    wimlib_compressor* compressor = nullptr;
    const auto type = format.algorithm == WofAlgorithm::Lzx ? WIMLIB_COMPRESSION_TYPE_LZX : WIMLIB_COMPRESSION_TYPE_XPRESS;
    EXPECT_EQ(wimlib_create_compressor(type, format.chunkSize, 0, &compressor), 0);
    Bytes table, chunks, piece(format.chunkSize);
    for (size_t at = 0; at < data.size(); at += format.chunkSize) {
        const size_t size = std::min<size_t>(format.chunkSize, data.size() - at);
        if (at > 0)
            table.insert(table.end(), {uint8_t(chunks.size()), uint8_t(chunks.size() >> 8), uint8_t(chunks.size() >> 16), 0});
        const size_t packed = wimlib_compress(data.data() + at, size, piece.data(), size - 1, compressor);
        chunks.insert(chunks.end(), packed ? piece.begin() : data.begin() + at, packed ? piece.begin() + packed : data.begin() + at + size);
    }
    wimlib_free_compressor(compressor);
    table.insert(table.end(), chunks.begin(), chunks.end());
    return table;
}

bool FromBytes(void* context, uint64_t offset, void* buffer, size_t count)
{
    const Bytes& stream = *static_cast<const Bytes*>(context);
    if (offset > stream.size() || count > stream.size() - offset)
        return false;
    std::memcpy(buffer, stream.data() + offset, count);
    return true;
}

// Reads count bytes at offset of data kept as stream; the text of what failed, else "".
std::string ReadBack(const WofFormat& format, const Bytes& data, const Bytes& stream, uint64_t offset, size_t count)
{
    WofLayout layout;
    WofDecoder decoder;
    if (!WofPlan(format, data.size(), stream.size(), &layout) || !WofOpenDecoder(format, &decoder))
        return "no layout or decoder";
    Bytes out(count + 1, 0xCD);
    size_t got = 0;
    const bool read = WofRead(&decoder, layout, FromBytes, const_cast<Bytes*>(&stream), offset, out.data(), count, &got);
    WofCloseDecoder(&decoder);
    const size_t want = offset < data.size() ? std::min<size_t>(count, data.size() - offset) : 0;
    if (!read)
        return "read failed";
    if (got != want || !std::equal(out.begin(), out.begin() + got, data.begin() + std::min<size_t>(offset, data.size())))
        return "wrong bytes";
    return out[count] == 0xCD ? "" : "wrote past the end";
}

TEST(Wof, ReparseDataNamesTheAlgorithm)
{
    WofFormat format;
    const std::pair<uint32_t, uint32_t> known[] = {{0, 4096}, {1, 32768}, {2, 8192}, {3, 16384}};
    for (const auto& [algorithm, chunk] : known) {
        ASSERT_TRUE(WofParseReparse(Reparse(kWofReparseTag, 2, algorithm).data(), 24, &format)) << algorithm;
        EXPECT_EQ(format.chunkSize, chunk);
    }
    EXPECT_FALSE(WofParseReparse(Reparse(0x80000013, 2, 0).data(), 24, &format)) << "deduplicated";
    EXPECT_FALSE(WofParseReparse(Reparse(kWofReparseTag, 1, 0).data(), 24, &format)) << "backed by a WIM file";
    EXPECT_FALSE(WofParseReparse(Reparse(kWofReparseTag, 2, 4).data(), 24, &format)) << "no such algorithm";
    EXPECT_FALSE(WofParseReparse(Reparse(kWofReparseTag, 2, 0).data(), 23, &format)) << "cut short";
}

TEST(Wof, EveryAlgorithmReadsBackWholeAndInPieces)
{
    Bytes data(5 << 20);  // past a run of table entries: more than the decoder holds in 4 KiB chunks
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = i % 7000 < 3000 ? uint8_t(i * 2654435761u >> 13) : uint8_t(i / 64);  // noise and runs
    data.resize(data.size() - 1234);                                                   // a short last chunk
    const WofFormat formats[] = {{WofAlgorithm::Xpress4K, 4096}, {WofAlgorithm::Lzx, 32768},
                                 {WofAlgorithm::Xpress8K, 8192}, {WofAlgorithm::Xpress16K, 16384}};
    for (const WofFormat& format : formats) {
        const Bytes stream = Compress(data, format);
        SCOPED_TRACE(format.chunkSize);
        EXPECT_LT(stream.size(), data.size());
        EXPECT_EQ(ReadBack(format, data, stream, 0, data.size()), "");
        EXPECT_EQ(ReadBack(format, data, stream, 4095, 40000), "") << "across chunks, starting inside one";
        EXPECT_EQ(ReadBack(format, data, stream, data.size() - 10, 131072), "") << "past the end";
        EXPECT_EQ(ReadBack(format, data, stream, data.size(), 10), "") << "at the end";
    }
}

TEST(Wof, DamagedStreamsAreErrors)
{
    const WofFormat format{WofAlgorithm::Xpress4K, 4096};
    Bytes data(5 * 4096 + 100);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i % 251 < 100 ? i * 2654435761u >> 11 : i % 13);
    for (size_t i = data.size() - 100; i < data.size(); ++i)
        data[i] = uint8_t(i * 2654435761u >> 11);  // a last chunk stored as it is
    const Bytes good = Compress(data, format);
    uint32_t second = 0;  // where chunk 1 starts
    std::memcpy(&second, good.data(), 4);
    auto entry = [&](int index, uint32_t value) { Bytes b = good; std::memcpy(&b[index * 4], &value, 4); return b; };
    const struct { const char* name; Bytes stream; } cases[] = {
        {"a chunk that ends before it starts", entry(1, second - 1)},
        {"a chunk past the stream's end", entry(0, 0x7FFFFFFF)},
        {"a chunk of nothing", entry(1, second)},
        {"a chunk larger than its data", entry(0, 4097)},
        {"the last chunk cut short", Bytes(good.begin(), good.end() - 1)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReadBack(format, data, c.stream, 0, data.size()), "read failed") << c.name;
    WofLayout layout;
    EXPECT_FALSE(WofPlan(format, data.size(), 19, &layout)) << "a table longer than the stream";
}

// A file of 4 GiB and more has 64-bit entries: a stream made up on the fly, every chunk the same.
struct Repeated {
    Bytes chunk;
    uint64_t chunks;
};

bool FromRepeated(void* context, uint64_t offset, void* buffer, size_t count)
{
    const auto& r = *static_cast<const Repeated*>(context);
    auto* out = static_cast<uint8_t*>(buffer);
    for (size_t i = 0; i < count; ++i, ++offset) {
        const uint64_t table = (r.chunks - 1) * 8;
        out[i] = offset < table ? uint8_t((offset / 8 + 1) * r.chunk.size() >> (offset % 8 * 8))
                                : r.chunk[(offset - table) % r.chunk.size()];
    }
    return true;
}

TEST(Wof, LargeFilesHaveWideEntries)
{
    const WofFormat format{WofAlgorithm::Xpress16K, 16384};
    const Bytes plain(16384, 'z');
    const uint64_t size = (uint64_t{1} << 32) + 16384;
    Repeated stream{Compress(plain, format), size / 16384};
    WofLayout layout;
    ASSERT_TRUE(WofPlan(format, size, (stream.chunks - 1) * 8 + stream.chunks * stream.chunk.size(), &layout));
    EXPECT_EQ(layout.entrySize, 8u);
    WofDecoder decoder;
    ASSERT_TRUE(WofOpenDecoder(format, &decoder));
    Bytes out(20000);
    size_t got = 0;
    EXPECT_TRUE(WofRead(&decoder, layout, FromRepeated, &stream, size - 20000, out.data(), out.size(), &got));
    WofCloseDecoder(&decoder);
    EXPECT_EQ(got, out.size());
    EXPECT_EQ(out, Bytes(20000, 'z'));
}

}  // namespace
