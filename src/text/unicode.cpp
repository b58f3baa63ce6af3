// UTF-8, WTF-8 and UTF-16, and NTFS's upper-casing.
#include "text/unicode.h"

size_t Utf8Sequence(const char* text, size_t size, size_t at, uint32_t* codePoint, bool allowSurrogates)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }
    const size_t length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 && lead < 0xF0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (length == 0 || length > size - at)
        return 0;
    uint32_t c = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
        c = c << 6 | (byte(at + i) & 0x3F);
    }
    const bool overlong = (length == 3 && c < 0x800) || (length == 4 && c < 0x10000);
    const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    if (overlong || c > 0x10FFFF || (surrogate && !allowSurrogates))
        return 0;
    *codePoint = c;
    return length;
}

size_t EncodeUtf8(uint32_t codePoint, char* out)
{
    const size_t length = codePoint < 0x80 ? 1 : codePoint < 0x800 ? 2 : codePoint < 0x10000 ? 3 : 4;
    if (length == 1) {
        out[0] = static_cast<char>(codePoint);
        return 1;
    }
    static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    for (size_t i = length; i-- > 1; codePoint >>= 6)
        out[i] = static_cast<char>(0x80 | (codePoint & 0x3F));
    out[0] = static_cast<char>(kLead[length] | codePoint);
    return length;
}

size_t Utf16Sequence(const uint16_t* text, size_t count, size_t at, uint32_t* codePoint, bool allowLone)
{
    const uint32_t unit = text[at];
    if (unit >= 0xD800 && unit <= 0xDBFF && at + 1 < count && text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF) {
        *codePoint = 0x10000 + ((unit - 0xD800) << 10) + (text[at + 1] - 0xDC00);
        return 2;
    }
    if (unit >= 0xD800 && unit <= 0xDFFF && !allowLone)
        return 0;
    *codePoint = unit;
    return 1;
}

size_t EncodeUtf16(uint32_t codePoint, uint16_t* out)
{
    if (codePoint < 0x10000) {
        out[0] = static_cast<uint16_t>(codePoint);
        return 1;
    }
    codePoint -= 0x10000;
    out[0] = static_cast<uint16_t>(0xD800 | (codePoint >> 10));
    out[1] = static_cast<uint16_t>(0xDC00 | (codePoint & 0x3FF));
    return 2;
}

bool Wtf8ToUtf16(const char* text, uint16_t* out, size_t capacity, size_t* units)
{
    size_t size = 0;
    while (text[size] != '\0')
        ++size;
    size_t used = 0;
    for (size_t at = 0; at < size;) {
        uint32_t c = 0;
        const size_t length = Utf8Sequence(text, size, at, &c, true);
        if (length == 0)
            return false;
        // A WTF-8 text never spells a pair as two halves; the pair's own four bytes do.
        if (c >= 0xD800 && c <= 0xDBFF && at + length < size) {
            uint32_t next = 0;
            if (Utf8Sequence(text, size, at + length, &next, true) == 3 && next >= 0xDC00 && next <= 0xDFFF)
                return false;
        }
        at += length;
        uint16_t encoded[2];
        const size_t needed = EncodeUtf16(c, encoded);
        if (capacity - used < needed + 1)
            return false;
        for (size_t i = 0; i < needed; ++i)
            out[used++] = encoded[i];
    }
    if (capacity - used < 1)
        return false;
    out[used] = 0;
    *units = used;
    return true;
}

bool Utf16ToWtf8(const uint16_t* text, size_t count, char* out, size_t capacity)
{
    size_t used = 0;
    for (size_t at = 0; at < count;) {
        uint32_t c = 0;
        at += Utf16Sequence(text, count, at, &c, true);
        char encoded[4];
        const size_t length = EncodeUtf8(c, encoded);
        if (capacity - used < length + 1)
            return false;
        for (size_t i = 0; i < length; ++i)
            out[used++] = encoded[i];
    }
    if (capacity - used < 1)
        return false;
    out[used] = '\0';
    return true;
}

namespace {

// Code points first..last, every step-th of them, move by delta when upper-cased.
struct UpcaseRun {
    uint16_t first, last;
    int32_t delta;
    uint16_t step;
};

const UpcaseRun kUpcaseRuns[] = {
#include "text/upcase_table.inc"
};

}  // namespace

uint16_t UpcaseUnit(uint16_t unit)
{
    size_t low = 0, high = sizeof kUpcaseRuns / sizeof kUpcaseRuns[0];
    while (low < high) {
        const size_t middle = (low + high) / 2;
        const UpcaseRun& run = kUpcaseRuns[middle];
        if (unit > run.last) {
            low = middle + 1;
        } else if (unit < run.first) {
            high = middle;
        } else {
            return (unit - run.first) % run.step == 0 ? static_cast<uint16_t>(unit + run.delta) : unit;
        }
    }
    return unit;
}
