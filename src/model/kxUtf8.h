#pragma once

// The one UTF-8 encoder of the program: the record fields, the project file and the XML export
// each decide which code point to write (a pair combined, a lone surrogate kept or replaced),
// then write it with this. Inline: it runs for every character of every name.

template <class Byte> inline void PutUtf8(char32_t c, Byte*& out) {
    if (c < 0x80) {
        *out++ = Byte(c);
    } else if (c < 0x800) {
        *out++ = Byte(0xC0 | (c >> 6));
        *out++ = Byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        // A lone surrogate value lands here too: its own three bytes.
        *out++ = Byte(0xE0 | (c >> 12));
        *out++ = Byte(0x80 | ((c >> 6) & 0x3F));
        *out++ = Byte(0x80 | (c & 0x3F));
    } else {
        *out++ = Byte(0xF0 | (c >> 18));
        *out++ = Byte(0x80 | ((c >> 12) & 0x3F));
        *out++ = Byte(0x80 | ((c >> 6) & 0x3F));
        *out++ = Byte(0x80 | (c & 0x3F));
    }
}
