// Sample files for the tests.
#include "samples.h"

#include <cstdio>
#include <cstdlib>

std::string SamplePath(const char* name)
{
    const char* dir = std::getenv("QF_SAMPLES");
    std::string path = dir != nullptr ? dir : "samples";
#ifdef _WIN32
    // Unix paths handed over from the build reach Windows programs through drive Z:.
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path + "\\" + name;
#else
    return path + "/" + name;
#endif
}

Bytes ReadBytes(const std::string& path)
{
    Bytes bytes;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        uint8_t chunk[65536];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + got);
        std::fclose(file);
    }
    return bytes;
}

bool WriteBytes(const std::string& path, const Bytes& bytes)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

uint32_t GetU32(const Bytes& bytes, size_t offset)
{
    return uint32_t{bytes.at(offset)} | uint32_t{bytes.at(offset + 1)} << 8 |
           uint32_t{bytes.at(offset + 2)} << 16 | uint32_t{bytes.at(offset + 3)} << 24;
}

void PutU16(Bytes& bytes, size_t offset, uint16_t value)
{
    bytes.at(offset) = static_cast<uint8_t>(value);
    bytes.at(offset + 1) = static_cast<uint8_t>(value >> 8);
}

void PutU32(Bytes& bytes, size_t offset, uint32_t value)
{
    PutU16(bytes, offset, static_cast<uint16_t>(value));
    PutU16(bytes, offset + 2, static_cast<uint16_t>(value >> 16));
}

uint64_t CodeSectionEnd(const Bytes& image)
{
    const uint32_t nt = GetU32(image, 0x3C);
    const uint32_t sections = image.at(nt + 6) | image.at(nt + 7) << 8;
    const uint32_t optionalSize = image.at(nt + 20) | image.at(nt + 21) << 8;
    const uint32_t baseOfCode = GetU32(image, nt + 44);
    for (uint32_t i = 0; i < sections; ++i) {
        const size_t entry = nt + 24 + optionalSize + i * 40;
        if (GetU32(image, entry + 12) == baseOfCode)
            return uint64_t{GetU32(image, entry + 20)} + GetU32(image, entry + 16);
    }
    return 0;
}

Bytes Infected(const Bytes& image, MarkerForm form)
{
    Bytes copy = image;
    const uint64_t probe = CodeSectionEnd(copy);
    auto put = [&](uint64_t at, std::initializer_list<uint8_t> values) {
        for (uint8_t v : values)
            copy.at(probe + at++) = v;
    };
    if (form == MarkerForm::Form10) {
        put(0, {0x10});
        put(3969, {'*', 0});
        put(3973, {'@', 0});
        put(3981, {'P', 0});
    } else {
        put(0, {0x00});
        put(4, {0x83, 'u', 'B', 'E', 0});
    }
    return copy;
}
