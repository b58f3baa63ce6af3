// The JSON string form and the plain output's escaping.
#include "text/escape.h"

#include <cstdint>
#include <cstdio>

#include "text/unicode.h"

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

// Characters that change how a line reads without showing: bidi controls, zero-width and other
// invisible format characters, line and paragraph separators.
bool Invisible(uint32_t c)
{
    return c == 0x00AD || c == 0x061C || c == 0x180E || (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) ||
           (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF;
}

}  // namespace

std::string PlainText(const std::string& text)
{
    // Names are UTF-8 on both platforms (WTF-8 on Windows: a lone surrogate shows as its bytes).
    std::string out;
    for (size_t at = 0; at < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        uint32_t point = c;
        size_t sequence = c < 0x80 ? 1 : Utf8Sequence(text.data(), text.size(), at, &point);
        // U+0080..U+009F, the C1 controls, come as C2 80..C2 9F.
        if (sequence == 2 && c == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0)
            sequence = 0;
        char escaped[8];
        if (c < 0x20 || c == 0x7F || sequence == 0) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
            ++at;
            continue;
        }
        if (sequence > 1 && Invisible(point)) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(point));
            out += escaped;
            at += sequence;
            continue;
        }
        out.append(text, at, sequence);
        at += sequence;
    }
    return out;
}
