// Bounds-checked PE header reading and the marker decision.
#include "detect/pe_image.h"

#include <cstring>

#include "text/unicode.h"

namespace pe {

namespace {

bool InRange(size_t size, uint64_t offset, uint64_t count)
{
    return offset <= size && count <= size - offset;
}

// A NUL-terminated text at offset equals text (which ends in its own NUL), the terminator
// included; bytes past size never match.
bool TextAt(const uint8_t* bytes, size_t size, uint64_t offset, const char* text, size_t lengthWithNul)
{
    return InRange(size, offset, lengthWithNul) && std::memcmp(bytes + offset, text, lengthWithNul) == 0;
}

}  // namespace

bool ReadU16(const uint8_t* bytes, size_t size, uint64_t offset, uint16_t* value)
{
    if (!InRange(size, offset, 2))
        return false;
    *value = static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
    return true;
}

bool ReadU32(const uint8_t* bytes, size_t size, uint64_t offset, uint32_t* value)
{
    if (!InRange(size, offset, 4))
        return false;
    *value = uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 |
             uint32_t{bytes[offset + 2]} << 16 | uint32_t{bytes[offset + 3]} << 24;
    return true;
}

bool ParseDosHeader(const uint8_t* bytes, size_t size, uint32_t* ntOffset)
{
    uint16_t magic = 0;
    return ReadU16(bytes, size, 0, &magic) && magic == 0x5A4D &&  // "MZ"
           ReadU32(bytes, size, 0x3C, ntOffset);                  // e_lfanew
}

bool ParseNtHeaders(const uint8_t* bytes, size_t size, NtHeaderInfo* info)
{
    uint32_t signature = 0;
    if (!ReadU32(bytes, size, 0, &signature) || signature != 0x00004550)  // "PE\0\0"
        return false;
    if (!ReadU16(bytes, size, 4, &info->machine) || !ReadU16(bytes, size, 6, &info->numberOfSections) ||
        !ReadU16(bytes, size, 20, &info->sizeOfOptionalHeader) ||
        !ReadU16(bytes, size, 22, &info->characteristics))
        return false;
    if (!ReadU16(bytes, size, 24, &info->optionalMagic))
        info->optionalMagic = 0;
    // BaseOfCode sits at the same place in the 32-bit and the 64-bit optional header.
    if (!ReadU32(bytes, size, 44, &info->baseOfCode))
        info->baseOfCode = 0;
    return true;
}

bool FindProbePosition(const uint8_t* table, size_t size, uint32_t count, uint32_t rva, uint64_t* probe)
{
    for (uint32_t i = 0; i < count && i < kMaxSections; ++i) {
        const uint64_t entry = uint64_t{i} * kSectionEntrySize;
        uint32_t virtualAddress = 0, sizeOfRawData = 0, pointerToRawData = 0;
        if (!ReadU32(table, size, entry + 12, &virtualAddress) ||
            !ReadU32(table, size, entry + 16, &sizeOfRawData) ||
            !ReadU32(table, size, entry + 20, &pointerToRawData))
            return false;
        if (rva >= virtualAddress && rva - virtualAddress < sizeOfRawData) {
            *probe = uint64_t{pointerToRawData} + sizeOfRawData;
            return true;
        }
    }
    return false;
}

bool MatchesMarker(const uint8_t* window, size_t size)
{
    if (size == 0)
        return false;
    switch (window[0]) {
    case 0x10:
        return TextAt(window, size, 3969, "*", 2) && TextAt(window, size, 3973, "@", 2) &&
               TextAt(window, size, 3981, "P", 2);
    case 0x00:
        return TextAt(window, size, 4, "\x83uBE", 5);
    default:
        return false;
    }
}

bool MemorySource::Read(uint64_t offset, void* out, uint32_t count)
{
    if (!InRange(size, offset, count))
        return false;
    std::memcpy(out, bytes + offset, count);
    return true;
}

bool IsInfectedImage(const uint8_t* bytes, size_t size)
{
    MemorySource source{bytes, size};
    return DecideInfection(source);
}

BinaryType ClassifyByExtension(const char* name)
{
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr || std::strpbrk(dot, "\\/") != nullptr)
        return kNotExecutable;
    auto is = [dot](const char* ext) { return std::strlen(dot) == 4 && AsciiEqualNoCase(dot, ext, 4); };
    if (is(".com"))
        return kDosBinary;
    if (is(".pif"))
        return kPifBinary;
    return kNotExecutable;
}

}  // namespace pe
