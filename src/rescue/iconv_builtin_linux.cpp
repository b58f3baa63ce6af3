// iconv for the static Linux build. libhivex converts key and value names between UTF-8, Latin-1
// and UTF-16LE through iconv; a statically linked glibc loads every conversion but UTF-8 and
// UTF-16 from gconv modules on the rescue system, which an empty root lacks, so Latin-1 names
// (most key names) could not be read there. These three conversions need no files; linked into
// the program, they stand in for the C library's iconv.
#include <errno.h>
#include <iconv.h>
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "text/unicode.h"

namespace {

enum Encoding { kUtf8, kLatin1, kUtf16Le };

struct Converter {
    Encoding from;
    Encoding to;
};

bool Lookup(const char* name, Encoding* encoding)
{
    if (strcasecmp(name, "UTF-8") == 0 || strcasecmp(name, "UTF8") == 0)
        *encoding = kUtf8;
    else if (strcasecmp(name, "LATIN1") == 0 || strcasecmp(name, "ISO-8859-1") == 0)
        *encoding = kLatin1;
    else if (strcasecmp(name, "UTF-16LE") == 0)
        *encoding = kUtf16Le;
    else
        return false;
    return true;
}

// Reads one code point from in (left bytes): its length, 0 when incomplete (EINVAL), -1 when
// invalid (EILSEQ).
int Decode(Encoding from, const unsigned char* in, size_t left, uint32_t* code)
{
    if (from == kLatin1) {
        *code = in[0];
        return 1;
    }
    if (from == kUtf16Le) {
        uint16_t units[2];
        const size_t count = left < 4 ? left / 2 : 2;
        for (size_t i = 0; i < count; ++i)
            units[i] = static_cast<uint16_t>(in[2 * i] | in[2 * i + 1] << 8);
        if (count == 0 || (count == 1 && units[0] >= 0xD800 && units[0] <= 0xDBFF))
            return 0;  // a unit, or the pair a high surrogate starts, cut short
        const size_t length = Utf16Sequence(units, count, 0, code, false);
        return length == 0 ? -1 : static_cast<int>(2 * length);
    }
    const size_t length = Utf8Sequence(reinterpret_cast<const char*>(in), left, 0, code);
    if (length != 0)
        return static_cast<int>(length);
    // No sequence: incomplete when the lead's sequence runs past the bytes there are and every
    // byte so far continues it; anything else is invalid.
    const unsigned char lead = in[0];
    const size_t wanted = lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    if (wanted <= left)
        return -1;
    for (size_t i = 1; i < left; ++i)
        if ((in[i] & 0xC0) != 0x80)
            return -1;
    return 0;
}

// Writes code in to's form into out: its length, 0 when room is short (E2BIG), -1 when to cannot
// hold it (EILSEQ).
int Encode(Encoding to, uint32_t code, unsigned char* out, size_t room)
{
    if (to == kLatin1) {
        if (code > 0xFF)
            return -1;
        if (room < 1)
            return 0;
        out[0] = static_cast<unsigned char>(code);
        return 1;
    }
    if (to == kUtf16Le) {
        uint16_t units[2];
        const size_t count = EncodeUtf16(code, units);
        if (room < 2 * count)
            return 0;
        for (size_t i = 0; i < count; ++i) {
            out[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
            out[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
        }
        return static_cast<int>(2 * count);
    }
    char bytes[4];
    const size_t length = EncodeUtf8(code, bytes);
    if (room < length)
        return 0;
    std::memcpy(out, bytes, length);
    return static_cast<int>(length);
}

}  // namespace

extern "C" iconv_t iconv_open(const char* tocode, const char* fromcode)
{
    Encoding from, to;
    if (!Lookup(fromcode, &from) || !Lookup(tocode, &to)) {
        errno = EINVAL;
        return reinterpret_cast<iconv_t>(-1);
    }
    auto* converter = static_cast<Converter*>(std::malloc(sizeof(Converter)));
    if (converter == nullptr) {
        errno = ENOMEM;
        return reinterpret_cast<iconv_t>(-1);
    }
    *converter = Converter{from, to};
    return converter;
}

extern "C" size_t iconv(iconv_t handle, char** inbuf, size_t* inleft, char** outbuf, size_t* outleft)
{
    const auto* converter = static_cast<const Converter*>(handle);
    if (inbuf == nullptr || *inbuf == nullptr)
        return 0;  // no shift state to reset or write
    while (*inleft > 0) {
        uint32_t code = 0;
        const int read = Decode(converter->from, reinterpret_cast<unsigned char*>(*inbuf), *inleft, &code);
        if (read <= 0) {
            errno = read == 0 ? EINVAL : EILSEQ;
            return static_cast<size_t>(-1);
        }
        const int written = Encode(converter->to, code, reinterpret_cast<unsigned char*>(*outbuf), *outleft);
        if (written <= 0) {
            errno = written == 0 ? E2BIG : EILSEQ;
            return static_cast<size_t>(-1);
        }
        *inbuf += read;
        *inleft -= read;
        *outbuf += written;
        *outleft -= written;
    }
    return 0;
}

extern "C" int iconv_close(iconv_t handle)
{
    std::free(handle);
    return 0;
}
