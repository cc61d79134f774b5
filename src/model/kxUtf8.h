#pragma once

#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

// The code point at s[i]: a surrogate pair combined (i then stands on its second half), anything
// else as it is, a lone surrogate included: each caller decides what that becomes.
inline char32_t CodePointAt(const char16_t* s, qsizetype n, qsizetype& i) {
    const char32_t c = s[i];
    if ((c & 0xFC00) == 0xD800 && i + 1 < n && (s[i + 1] & 0xFC00) == 0xDC00) {
        ++i;
        return 0x10000 + ((c - 0xD800) << 10) + (char32_t(s[i]) - 0xDC00);
    }
    return c;
}

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

// UTF-8 to text, for names and the other texts of records. QString::fromUtf8 takes a leading
// U+FEFF for a byte order mark and drops it, but a name may begin with that character.
inline QString Utf8Text(QByteArrayView bytes) {
    qsizetype marks = 0;
    while (bytes.size() - marks * 3 >= 3 && bytes.sliced(marks * 3, 3) == "\xEF\xBB\xBF")
        ++marks;
    if (marks == 0)
        return QString::fromUtf8(bytes);
    return QString(marks, QChar(0xFEFF)) + QString::fromUtf8(bytes.sliced(marks * 3));
}
