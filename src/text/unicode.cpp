// UTF-8, WTF-8 and UTF-16.
#include "text/unicode.h"

#include <cstdio>

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
        const size_t needed = c >= 0x10000 ? 2 : 1;
        if (capacity - used < needed + 1)
            return false;
        if (needed == 2) {
            c -= 0x10000;
            out[used++] = static_cast<uint16_t>(0xD800 | (c >> 10));
            out[used++] = static_cast<uint16_t>(0xDC00 | (c & 0x3FF));
        } else {
            out[used++] = static_cast<uint16_t>(c);
        }
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
    for (size_t at = 0; at < count; ++at) {
        uint32_t c = text[at];
        if (c >= 0xD800 && c <= 0xDBFF && at + 1 < count && text[at + 1] >= 0xDC00 && text[at + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++at] - 0xDC00);
        const size_t length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (capacity - used < length + 1)
            return false;
        if (length == 1) {
            out[used++] = static_cast<char>(c);
            continue;
        }
        static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        for (size_t i = length; i-- > 1;) {
            out[used + i] = static_cast<char>(0x80 | (c & 0x3F));
            c >>= 6;
        }
        out[used] = static_cast<char>(kLead[length] | c);
        used += length;
    }
    if (capacity - used < 1)
        return false;
    out[used] = '\0';
    return true;
}

std::string JsonString(const std::string& text, bool wtf8)
{
    std::string out = "\"";
    char escaped[8];
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        uint32_t point = c;
        const size_t sequence = c >= 0x80 ? Utf8Sequence(text.data(), text.size(), at, &point, wtf8) : 1;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (sequence == 3 && point >= 0xD800 && point <= 0xDFFF) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(point));
            out += escaped;
            at += sequence;
            continue;
        } else if (c >= 0x20 && c != 0x7F && sequence != 0) {
            out.append(text, at, sequence);
            at += sequence;
            continue;
        } else {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
        ++at;
    }
    return out + "\"";
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
