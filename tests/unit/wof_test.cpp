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

// The table (32-bit entries), then each chunk compressed, or stored when that is no smaller; a
// compressor that cannot be made fails the calling case.
Bytes Compress(const Bytes& data, const WofFormat& format, const char* file = __builtin_FILE(),
               int line = __builtin_LINE())
{
    wimlib_compressor* compressor = nullptr;
    const bool lzx = format.algorithm == WofAlgorithm::Lzx;
    if (wimlib_create_compressor(lzx ? WIMLIB_COMPRESSION_TYPE_LZX : WIMLIB_COMPRESSION_TYPE_XPRESS, format.chunkSize, 0,
                                 &compressor) != 0)
        ADD_FAILURE_AT(file, line) << "no wimlib compressor";
    Bytes table, chunks, piece(format.chunkSize);
    for (size_t at = 0; at < data.size(); at += format.chunkSize) {
        const size_t size = std::min<size_t>(format.chunkSize, data.size() - at), end = chunks.size();
        if (at > 0)
            table.insert(table.end(), {uint8_t(end), uint8_t(end >> 8), uint8_t(end >> 16), uint8_t(end >> 24)});
        const size_t packed = wimlib_compress(data.data() + at, size, piece.data(), size - 1, compressor);
        const uint8_t* from = packed ? piece.data() : data.data() + at;
        chunks.insert(chunks.end(), from, from + (packed ? packed : size));
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

// Reads count bytes at offset of a file of size kept as a stream: "" when it gives expected, and
// writes nothing past it; else what went wrong.
std::string ReadBack(const WofFormat& format, uint64_t size, WofStreamRead read, void* stream, uint64_t streamSize,
                     uint64_t offset, size_t count, const Bytes& expected)
{
    WofLayout layout;
    WofDecoder decoder;
    if (!WofPlan(format, size, streamSize, &layout) || !WofOpenDecoder(format, &decoder))
        return "no layout or decoder";
    Bytes out(count + 1, 0xCD);
    size_t got = 0;
    const bool done = WofRead(&decoder, layout, read, stream, offset, out.data(), count, &got);
    WofCloseDecoder(&decoder);
    if (!done)
        return "read failed";
    return Bytes(out.begin(), out.begin() + got) == expected && out[count] == 0xCD ? "" : "wrong bytes";
}

std::string ReadBack(const WofFormat& format, const Bytes& data, const Bytes& stream, size_t offset, size_t count)
{
    const Bytes expected(data.begin() + std::min(offset, data.size()), data.begin() + std::min(offset + count, data.size()));
    return ReadBack(format, data.size(), FromBytes, const_cast<Bytes*>(&stream), stream.size(), offset, count, expected);
}

TEST(Wof, ReparseDataNamesTheAlgorithm)
{
    auto chunk = [](uint32_t tag, uint32_t provider, uint32_t algorithm, size_t size = 24) {
        const uint32_t fields[] = {tag, 16, 1, provider, 1, algorithm};  // the length and reserved share a field
        WofFormat format{};
        return WofParseReparse(fields, size, &format) ? format.chunkSize : 0;
    };
    const uint32_t tag = kWofReparseTag;
    EXPECT_EQ(std::vector<uint32_t>({chunk(tag, 2, 0), chunk(tag, 2, 1), chunk(tag, 2, 2), chunk(tag, 2, 3)}),
              std::vector<uint32_t>({4096, 32768, 8192, 16384}));
    EXPECT_EQ(std::vector<uint32_t>({chunk(0x80000013, 2, 0), chunk(tag, 1, 0), chunk(tag, 2, 4), chunk(tag, 2, 0, 23)}),
              std::vector<uint32_t>(4, 0)) << "deduplicated, backed by a WIM file, no such algorithm, cut short";
}

TEST(Wof, EveryAlgorithmReadsBackWholeAndInPieces)
{
    Bytes data((5 << 20) - 1234);  // past a run of table entries of 4 KiB chunks, with a short last chunk
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = i % 7000 < 3000 ? uint8_t(i * 2654435761u >> 13) : uint8_t(i / 64);  // noise and runs
    for (const WofFormat& format : {WofFormat{WofAlgorithm::Xpress4K, 4096}, WofFormat{WofAlgorithm::Lzx, 32768},
                                    WofFormat{WofAlgorithm::Xpress8K, 8192}, WofFormat{WofAlgorithm::Xpress16K, 16384}}) {
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
    for (size_t i = 0; i < data.size(); ++i)  // the last chunk noise, stored as it is
        data[i] = uint8_t(i % 251 < 100 || i > 5 * 4096 ? i * 2654435761u >> 11 : i % 13);
    const Bytes good = Compress(data, format);
    const uint32_t second = good[0] | good[1] << 8;  // where chunk 1 starts
    auto entry = [&](int index, uint32_t value) { Bytes b = good; std::memcpy(&b[index * 4], &value, 4); return b; };
    const std::pair<const char*, Bytes> cases[] = {
        {"a chunk that ends before it starts", entry(1, second - 1)}, {"a chunk past the stream", entry(0, 0x7FFFFFFF)},
        {"a chunk of nothing", entry(1, second)}, {"a chunk larger than its data", entry(0, 4097)},
        {"the last chunk cut short", Bytes(good.begin(), good.end() - 1)},
    };
    for (const auto& [name, stream] : cases)
        EXPECT_EQ(ReadBack(format, data, stream, 0, data.size()), "read failed") << name;
    WofLayout layout;
    EXPECT_FALSE(WofPlan(format, data.size(), 19, &layout)) << "a table longer than the stream";
}

// A file of 4 GiB and more has 64-bit entries: its stream made up as it is read, of chunks of 'z'
// stored as they are.
constexpr uint64_t kLarge = (uint64_t{1} << 32) + 16384, kLargeTable = (kLarge / 16384 - 1) * 8;

bool FromLarge(void*, uint64_t offset, void* buffer, size_t count)
{
    for (size_t i = 0; i < count; ++i, ++offset)
        static_cast<uint8_t*>(buffer)[i] = offset < kLargeTable ? uint8_t((offset / 8 + 1) * 16384 >> offset % 8 * 8) : 'z';
    return true;
}

TEST(Wof, LargeFilesHaveWideEntries)
{
    EXPECT_EQ(ReadBack(WofFormat{WofAlgorithm::Xpress16K, 16384}, kLarge, FromLarge, nullptr, kLargeTable + kLarge,
                       kLarge - 20000, 20000, Bytes(20000, 'z')), "");
}

}  // namespace
