// Text units: the one UTF-8 decoder, the WTF-8 <-> UTF-16 conversion of the Win32 layer, and the
// case folds that Windows applies to names. Portable, with no platform calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The length of the UTF-8 sequence at text[at] (size bytes in all) and its code point, or 0 when
// the bytes there are not one. Overlong forms and code points past U+10FFFF are never one;
// surrogates (U+D800..U+DFFF) are one only when allowSurrogates, as WTF-8 writes them.
size_t Utf8Sequence(const char* text, size_t size, size_t at, uint32_t* codePoint, bool allowSurrogates = false);

// WTF-8 to UTF-16, with the NUL: false when text is no WTF-8 or out (capacity units) is too
// small. *units gets the length without the NUL.
bool Wtf8ToUtf16(const char* text, uint16_t* out, size_t capacity, size_t* units);
// count UTF-16 units to WTF-8 with the NUL: a unit that pairs with nothing is written as its own
// code point, so the conversion back gives the same units. False when out is too small.
bool Utf16ToWtf8(const uint16_t* text, size_t count, char* out, size_t capacity);

// text as a JSON string: a byte that is no UTF-8 (encoded surrogates and overlong forms
// included), and every control, as \u00XX (Latin-1), so that strict readers take it; with wtf8
// (Windows names) a lone surrogate as its own \uXXXX, since the name really holds that unit.
// The one JSON form of a name: qfscan's output and the quarantine's index both write it.
#ifdef _WIN32
std::string JsonString(const std::string& text, bool wtf8 = true);
#else
std::string JsonString(const std::string& text, bool wtf8 = false);
#endif

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
