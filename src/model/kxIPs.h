#pragma once

#include <QString>
#include <QStringView>

#include <type_traits>
#include <utility>

// One IPv4 address as four octets; 0.0.0.0 doubles as "no address".
class TIPAddress {
public:
    enum TCompareResult : quint8 { crLess = 0, crEqual = 1, crGreater = 2 };

    quint8 B1 = 0;
    quint8 B2 = 0;
    quint8 B3 = 0;
    quint8 B4 = 0;

    TIPAddress() = default;
    explicit TIPAddress(QStringView text) { SetText(text); }
    static TIPAddress Create(QStringView text) { return TIPAddress(text); }

    // Lenient: a missing or non-numeric word is 0, a number keeps its low 8 bits. Never fails.
    void SetText(QStringView text);
    QString AsText() const;
    // As inet_addr would give it for AsText: first octet in the lowest-addressed byte.
    quint32 AsNetworkLong() const;
    bool IsEmpty() const { return (B1 | B2 | B3 | B4) == 0; }
    // Adds n with carry towards B1; throws EkxError when the sum does not fit (the octets
    // passed by then have wrapped) or when n is negative.
    void Advance(qint64 n);
    TCompareResult Compare(const TIPAddress& other) const;

    bool operator==(const TIPAddress&) const = default;
};

// Two addresses, first and last; nothing requires First <= Last.
class TIPRange {
public:
    TIPAddress First;
    TIPAddress Last;

    TIPRange() = default;
    explicit TIPRange(QStringView text) { SetText(text); }
    static TIPRange Create(QStringView text) { return TIPRange(text); }

    // "first - last"; a text without '-' leaves Last at 0.0.0.0.
    void SetText(QStringView text);
    QString AsText() const;    // 192.168.0.1 - 192.168.0.254
    QString ShortText() const; // 192.168.0.1-254
};

// Word k (1-based) of text, runs of separators counting as one gap; empty when missing.
QStringView WordOf(QStringView text, int k, QChar separator);

// Visits First, then advances by one while the address is below Last, so every address of
// the range is visited once and the walk never overflows. A visitor returning bool stops the
// walk by returning false.
template <class F> void VisitRange(const TIPRange& range, F&& visit) {
    TIPAddress current = range.First;
    for (;;) {
        if constexpr (std::is_same_v<std::invoke_result_t<F&, const TIPAddress&>, bool>) {
            if (!visit(std::as_const(current)))
                return;
        } else {
            visit(std::as_const(current));
        }
        if (current.Compare(range.Last) != TIPAddress::crLess)
            return;
        current.Advance(1);
    }
}
