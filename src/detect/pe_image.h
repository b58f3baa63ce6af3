// Bounds-checked reading of PE headers and the Zaverin marker.
//
// Everything here works on bytes the caller has already read; nothing forms a pointer or an
// offset outside the bytes it was given, whatever the headers claim. Offsets are 64-bit so that
// sums such as PointerToRawData + SizeOfRawData cannot wrap on a 32-bit target.
//
// The infection decision asks for four small pieces (DOS header, NT headers, section table,
// marker window). DecideInfection() drives those steps over any byte source with
//   uint64_t Size();
//   bool Read(uint64_t offset, void* out, uint32_t count);   // all bytes or false
// so the file-backed test (which serves the first three from one read of the file's head) and
// the in-memory one (unit tests, fuzzing) share one path.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pe {

// Checked little-endian readers: false when [offset, offset + width) is not inside size.
bool ReadU16(const uint8_t* bytes, size_t size, uint64_t offset, uint16_t* value);
bool ReadU32(const uint8_t* bytes, size_t size, uint64_t offset, uint32_t* value);

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kNtFixedSize = 48;          // signature, file header, optional header to BaseOfCode
constexpr uint32_t kSectionEntrySize = 40;
constexpr uint32_t kMaxSections = 96;          // the loader refuses images with more
constexpr uint32_t kMarkerWindow = 3983;       // probe byte through the NUL after "P" at +3981

struct NtHeaderInfo {
    uint16_t machine;
    uint16_t numberOfSections;
    uint16_t sizeOfOptionalHeader;
    uint16_t characteristics;
    uint16_t optionalMagic;        // 0 when the optional header is too short to hold it
    uint32_t baseOfCode;
};

// DOS header (the file's first 64 bytes): the offset of the NT headers, or false when the bytes
// do not start with "MZ".
bool ParseDosHeader(const uint8_t* bytes, size_t size, uint32_t* ntOffset);

// NT headers from their first 48 bytes: false unless they start with "PE\0\0".
bool ParseNtHeaders(const uint8_t* bytes, size_t size, NtHeaderInfo* info);

// File offset of the section table that follows the NT headers.
inline uint64_t SectionTableOffset(uint32_t ntOffset, const NtHeaderInfo& info)
{
    return uint64_t{ntOffset} + 24 + info.sizeOfOptionalHeader;
}

// Searches a section table (count entries of 40 bytes) for the section that holds rva, taking
// VirtualAddress <= rva < VirtualAddress + SizeOfRawData. On success *probe is the first file
// offset past that section's raw data (PointerToRawData + SizeOfRawData).
bool FindProbePosition(const uint8_t* table, size_t size, uint32_t count, uint32_t rva,
                       uint64_t* probe);

// The marker decision over the bytes that start at the probe position. Bytes past the end of
// window (the end of the file) never match.
bool MatchesMarker(const uint8_t* window, size_t size);

// The whole decision over a byte source; true when the file carries the marker. A source that
// cannot be read where the headers point counts as not infected.
template <typename Source>
bool DecideInfection(Source& source)
{
    const uint64_t fileSize = source.Size();
    uint8_t dos[kDosHeaderSize];
    uint32_t ntOffset = 0;
    if (fileSize < sizeof dos || !source.Read(0, dos, sizeof dos) ||
        !ParseDosHeader(dos, sizeof dos, &ntOffset))
        return false;

    uint8_t nt[kNtFixedSize];
    NtHeaderInfo info{};
    if (uint64_t{ntOffset} + sizeof nt > fileSize || !source.Read(ntOffset, nt, sizeof nt) ||
        !ParseNtHeaders(nt, sizeof nt, &info))
        return false;
    if (info.numberOfSections == 0 || info.numberOfSections > kMaxSections)
        return false;

    uint8_t table[kMaxSections * kSectionEntrySize];
    const uint32_t tableSize = info.numberOfSections * kSectionEntrySize;
    const uint64_t tableOffset = SectionTableOffset(ntOffset, info);
    uint64_t probe = 0;
    if (tableOffset + tableSize > fileSize || !source.Read(tableOffset, table, tableSize) ||
        !FindProbePosition(table, tableSize, info.numberOfSections, info.baseOfCode, &probe))
        return false;

    if (probe >= fileSize)
        return false;
    uint8_t window[kMarkerWindow];
    const uint64_t left = fileSize - probe;
    const uint32_t count = left < sizeof window ? static_cast<uint32_t>(left) : kMarkerWindow;
    return source.Read(probe, window, count) && MatchesMarker(window, count);
}

// Byte source over memory, for callers that hold a whole image.
struct MemorySource {
    const uint8_t* bytes;
    size_t size;
    uint64_t Size() const { return size; }
    bool Read(uint64_t offset, void* out, uint32_t count);
};

bool IsInfectedImage(const uint8_t* bytes, size_t size);

// What the platform's executable classification answers for a file. The values are those of the
// SCS_* constants; kNotExecutable stands for a failed classification.
enum BinaryType : int {
    kNotExecutable = -1,
    kWin32Binary = 0,
    kDosBinary = 1,
    kWowBinary = 2,
    kPifBinary = 3,
    kPosixBinary = 4,
    kOs216Binary = 5,
    kWin64Binary = 6,
};

// Extension rule for files without a usable MZ header.
BinaryType ClassifyByExtension(const char* name);

// Classifies a file from its name and bytes read through source, the way Windows' own
// classification (GetBinaryType) does, for both builds alike: a PE32 program is kWin32Binary whatever its extension, a PE DLL is no
// executable, PE32+ is kWin64Binary, MZ without a newer header is DOS, NE is Windows 3.x or
// OS/2; files without an MZ header are DOS or PIF programs by their .com or .pif extension.
template <typename Source>
BinaryType ClassifyBinary(const char* name, Source& source)
{
    uint8_t dos[kDosHeaderSize];
    uint32_t ntOffset = 0;
    if (!source.Read(0, dos, sizeof dos) || !ParseDosHeader(dos, sizeof dos, &ntOffset))
        return ClassifyByExtension(name);

    // The newer header is read whole where the file holds it; only a file that ends inside it
    // needs its size, to read what there is.
    uint8_t nt[64] = {};  // enough for the NT fixed part and the NE header's target system
    uint32_t count = sizeof nt;
    if (!source.Read(ntOffset, nt, count)) {
        const uint64_t fileSize = source.Size();
        if (uint64_t{ntOffset} + 2 > fileSize)
            return kDosBinary;
        const uint64_t left = fileSize - ntOffset;
        count = left < sizeof nt ? static_cast<uint32_t>(left) : uint32_t{sizeof nt};
        if (!source.Read(ntOffset, nt, count))
            return kDosBinary;
    }

    NtHeaderInfo info{};
    if (count >= 26 && ParseNtHeaders(nt, count, &info)) {
        if (info.characteristics & 0x2000)  // IMAGE_FILE_DLL
            return kNotExecutable;
        if (info.optionalMagic == 0x20b)
            return kWin64Binary;
        if (info.optionalMagic == 0x10b)
            return kWin32Binary;
        return kDosBinary;
    }
    if (nt[0] == 'N' && nt[1] == 'E') {
        // ne_exetyp, the target system of a segmented executable: 1 is OS/2.
        if (count > 0x36 && nt[0x36] == 1)
            return kOs216Binary;
        return kWowBinary;
    }
    return kDosBinary;
}

}  // namespace pe
