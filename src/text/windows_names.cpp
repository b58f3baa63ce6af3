// Names as Windows has them: see windows_names.h.
#include "text/windows_names.h"

#include "text/unicode.h"

bool SameName(const std::string& a, const std::string& b)
{
    // NTFS upper-cases each UTF-16 unit; past the BMP nothing changes case, so code points of
    // the UTF-8 names compare the same way.
    size_t atA = 0, atB = 0;
    while (atA < a.size() && atB < b.size()) {
        uint32_t codeA = 0, codeB = 0;
        const size_t lengthA = Utf8Sequence(a.data(), a.size(), atA, &codeA);
        const size_t lengthB = Utf8Sequence(b.data(), b.size(), atB, &codeB);
        if (lengthA == 0 || lengthB == 0)
            return a == b;
        if (codeA != codeB &&
            (codeA > 0xFFFF || codeB > 0xFFFF ||
             UpcaseUnit(static_cast<uint16_t>(codeA)) != UpcaseUnit(static_cast<uint16_t>(codeB))))
            return false;
        atA += lengthA;
        atB += lengthB;
    }
    return atA == a.size() && atB == b.size();
}

namespace {

// Whether the UTF-16 text starts with the ASCII prefix.
bool StartsWith(const uint16_t* text, const char* prefix)
{
    for (; *prefix != '\0'; ++text, ++prefix)
        if (*text != static_cast<unsigned char>(*prefix))
            return false;
    return true;
}

}  // namespace

bool ToVerbatimPath(const char* path, uint16_t* out, size_t capacity, size_t* units)
{
    const bool verbatim = path[0] == '\\' && path[1] == '\\' && path[2] == '?' && path[3] == '\\';
    const bool unc = !verbatim && path[0] == '\\' && path[1] == '\\';
    // \\server\share keeps one of its two backslashes after the UNC.
    const char* prefix = verbatim ? "" : unc ? "\\\\?\\UNC" : "\\\\?\\";
    size_t length = 0;
    while (prefix[length] != '\0')
        ++length;
    if (capacity < length || !Wtf8ToUtf16(unc ? path + 1 : path, out + length, capacity - length, units))
        return false;
    for (size_t i = 0; i < length; ++i)
        out[i] = static_cast<uint16_t>(prefix[i]);
    *units += length;
    return true;
}

const uint16_t* WithoutVerbatimPrefix(uint16_t* path)
{
    if (StartsWith(path, "\\\\?\\UNC\\")) {
        path[6] = '\\';
        return path + 6;
    }
    return StartsWith(path, "\\\\?\\") ? path + 4 : path;
}
