#pragma once

// The one decimal parser of the program, for addresses, project files and the like: plain
// digits with an optional sign, nothing around them (no blanks, no hexadecimal forms).

#include <QByteArrayView>
#include <QStringView>

#include <limits>
#include <optional>

// The value of text[0..n), or nullopt when it is anything else or lies outside min..max
// (an overflow included). For the two views below.
template <class Char>
std::optional<qint64> ParseDecimalUnits(const Char* text, qsizetype n,
                                        qint64 min = std::numeric_limits<qint64>::min(),
                                        qint64 max = std::numeric_limits<qint64>::max()) {
    qsizetype i = 0;
    bool negative = false;
    if (i < n && (text[i] == Char('+') || text[i] == Char('-'))) {
        negative = text[i] == Char('-');
        ++i;
    }
    if (i == n)
        return std::nullopt;
    const quint64 limit =
        negative ? (min < 0 ? 0 - quint64(min) : 0) : (max > 0 ? quint64(max) : 0);
    quint64 magnitude = 0;
    for (; i < n; ++i) {
        if (text[i] < Char('0') || text[i] > Char('9'))
            return std::nullopt;
        const unsigned digit = unsigned(text[i] - Char('0'));
        if (digit > limit || magnitude > (limit - digit) / 10)
            return std::nullopt;
        magnitude = magnitude * 10 + digit;
    }
    const qint64 value = negative ? qint64(0 - magnitude) : qint64(magnitude);
    if (value < min || value > max)
        return std::nullopt;
    return value;
}

inline std::optional<qint64> ParseDecimal(QStringView text,
                                          qint64 min = std::numeric_limits<qint64>::min(),
                                          qint64 max = std::numeric_limits<qint64>::max()) {
    return ParseDecimalUnits(text.utf16(), text.size(), min, max);
}

inline std::optional<qint64> ParseDecimal(QByteArrayView text,
                                          qint64 min = std::numeric_limits<qint64>::min(),
                                          qint64 max = std::numeric_limits<qint64>::max()) {
    return ParseDecimalUnits(text.data(), text.size(), min, max);
}
