// Text units: the one UTF-8 and UTF-16 codec (the WTF-8 of Windows names included), and the case
// fold that NTFS applies to names. Portable, with no platform calls: the Win32 layer, the
// registry text of the offline repair, the rescue's iconv and the quarantine's index all convert
// through it.
#pragma once

#include <cstddef>
#include <cstdint>

// The length of the UTF-8 sequence at text[at] (size bytes in all) and its code point, or 0 when
// the bytes there are not one. Overlong forms and code points past U+10FFFF are never one;
// surrogates (U+D800..U+DFFF) are one only when allowSurrogates, as WTF-8 writes them.
size_t Utf8Sequence(const char* text, size_t size, size_t at, uint32_t* codePoint, bool allowSurrogates = false);
// The UTF-8 bytes of codePoint (up to U+10FFFF; a surrogate as WTF-8 writes it) into out, which
// has room for 4: their count.
size_t EncodeUtf8(uint32_t codePoint, char* out);

// The code point of the UTF-16 units at text[at] (count units in all), a surrogate pair taken
// whole: the units it takes, 1 or 2. A unit that pairs with nothing is its own code point when
// allowLone (as Windows names and WTF-8 keep it), and no code point (0) otherwise.
size_t Utf16Sequence(const uint16_t* text, size_t count, size_t at, uint32_t* codePoint, bool allowLone);
// The UTF-16 units of codePoint (up to U+10FFFF) into out, which has room for 2: their count.
size_t EncodeUtf16(uint32_t codePoint, uint16_t* out);

// WTF-8 to UTF-16, with the NUL: false when text is no WTF-8 or out (capacity units) is too
// small. *units gets the length without the NUL.
bool Wtf8ToUtf16(const char* text, uint16_t* out, size_t capacity, size_t* units);
// count UTF-16 units to WTF-8 with the NUL: a unit that pairs with nothing is written as its own
// code point, so the conversion back gives the same units. False when out is too small.
bool Utf16ToWtf8(const uint16_t* text, size_t count, char* out, size_t capacity);

// The unit as NTFS upper-cases it when it compares names: the simple upper-case mapping of the
// Basic Multilingual Plane, from the program's own table (no locale), so that a rescue system
// without locale files compares as Windows does. Surrogates and caseless units stay as they are.
uint16_t UpcaseUnit(uint16_t unit);

inline char AsciiUpper(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
}

// Equal the way Windows compares ASCII names: letter case of 'a'..'z' ignored, other bytes exact.
inline bool AsciiEqualNoCase(const char* a, const char* b, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i]))
            return false;
    return true;
}
