#include "model/kxIPs.h"

#include "model/kxDecimal.h"
#include "model/kxErrors.h"

#include <cstring>

namespace {

bool IsBlankOrControl(QChar c) {
    return c.unicode() <= 32;
}

QStringView TrimBlanks(QStringView s) {
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && IsBlankOrControl(s[b]))
        ++b;
    while (e > b && IsBlankOrControl(s[e - 1]))
        --e;
    return s.sliced(b, e - b);
}

// Hexadecimal forms and numbers that do not fit 64 bits count as "not an integer", which the
// address rule turns into 0.
quint8 OctetOf(QStringView word) {
    const qint64 value = ParseDecimal(TrimBlanks(word)).value_or(0);
    return quint8(quint64(value) & 0xFF);
}

} // namespace

QStringView WordOf(QStringView text, int k, QChar separator) {
    const qsizetype n = text.size();
    qsizetype p = 0;
    for (int word = 1;; ++word) {
        while (p < n && text[p] == separator)
            ++p;
        if (p == n)
            return {};
        const qsizetype start = p;
        while (p < n && text[p] != separator)
            ++p;
        if (word == k)
            return text.sliced(start, p - start);
    }
}

void TIPAddress::SetText(QStringView text) {
    B1 = OctetOf(WordOf(text, 1, u'.'));
    B2 = OctetOf(WordOf(text, 2, u'.'));
    B3 = OctetOf(WordOf(text, 3, u'.'));
    B4 = OctetOf(WordOf(text, 4, u'.'));
}

QString TIPAddress::AsText() const {
    return QStringLiteral("%1.%2.%3.%4").arg(B1).arg(B2).arg(B3).arg(B4);
}

quint32 TIPAddress::AsNetworkLong() const {
    const quint8 bytes[4] = {B1, B2, B3, B4};
    quint32 result;
    static_assert(sizeof(result) == sizeof(bytes));
    std::memcpy(&result, bytes, sizeof(result));
    return result;
}

void TIPAddress::Advance(qint64 n) {
    const QString before = AsText();
    auto tooMuch = [&] {
        return EkxError(QStringLiteral("<%1> is too much for IP <%2>").arg(n).arg(before));
    };
    if (n < 0)
        throw tooMuch();
    quint64 carry = quint64(n);
    for (quint8* octet : {&B4, &B3, &B2, &B1}) {
        carry += *octet;
        *octet = quint8(carry & 0xFF);
        carry >>= 8;
        if (carry == 0)
            return;
    }
    throw tooMuch();
}

TIPAddress::TCompareResult TIPAddress::Compare(const TIPAddress& other) const {
    const quint8 mine[4] = {B1, B2, B3, B4};
    const quint8 theirs[4] = {other.B1, other.B2, other.B3, other.B4};
    for (int i = 0; i < 4; ++i) {
        if (mine[i] != theirs[i])
            return mine[i] > theirs[i] ? crGreater : crLess;
    }
    return crEqual;
}

void TIPRange::SetText(QStringView text) {
    First.SetText(TrimBlanks(WordOf(text, 1, u'-')));
    Last.SetText(TrimBlanks(WordOf(text, 2, u'-')));
}

QString TIPRange::AsText() const {
    return QStringLiteral("%1 - %2").arg(First.AsText(), Last.AsText());
}

QString TIPRange::ShortText() const {
    return QStringLiteral("%1-%2").arg(First.AsText()).arg(Last.B4);
}
