#pragma once

// Targets as users write them, on the command line or in a list: one address, FIRST - LAST or
// a CIDR block, each optionally named ("Office=10.1.2.0/24"). Addresses are read strictly
// (four decimal octets of at most 255): a typo must not quietly become another address,
// perhaps a public one. The lenient reading of TIPAddress stays for range texts in projects.
//
// A list holds one target a line. Blank lines and lines starting with '#' are skipped; a line
// starting with '!' is an exclusion that takes an address, range or block out of the ranges
// given before it. A range split into several pieces names them "NAME #1", "NAME #2", ... in
// address order; an unnamed range's pieces are named after their first addresses.

#include "model/kxIPs.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <optional>
#include <vector>

class QIODevice;

// One range to search: a plain value, so a list can be cut, reordered or sent elsewhere.
struct TkxTarget {
    QString Name; // empty: named after its first address
    quint32 First = 0;
    quint32 Last = 0; // never below First

    quint64 Count() const { return quint64(Last) - First + 1; }
    QString DisplayName() const;
    TIPRange Range() const;
    // "10.1.2.0 - 10.1.2.255": the address text a range node keeps.
    QString RangeText() const;
    // "Office (10.1.2.0-255)"; a range reaching beyond its first address's last octet shows
    // both ends ("Office (10.1.0.0 - 10.1.255.255)"), since the short form would hide its size.
    QString Caption() const;

    bool operator==(const TkxTarget&) const = default;
};

using TkxTargetList = std::vector<TkxTarget>;

// Ranges above this many addresses need the user's explicit consent.
inline constexpr quint64 LargeRangeSize = 65536;
// No list of targets is larger; a bigger input is a wrong file (or a device without end).
inline constexpr qint64 MaxTargetListBytes = 16 * 1024 * 1024;

enum class TkxTargetFault : quint8 {
    NotText,         // control characters or invalid UTF-8
    NoAddress,       // Piece is the text that should have been an address (may be empty)
    OctetOver255,    // Piece is the address
    BadPrefix,       // Piece is what follows the '/'
    EndsBeforeStart, // Piece is the range
    ExclusionFirst,  // a '!' line before any range
    TextAfter,       // Piece is the text after a complete target
    CanNotRead,      // Piece is the reason
};

struct TkxTargetError {
    int Line = 0; // 1-based; 0 when the text was no list (one target, a file as a whole)
    TkxTargetFault Fault = TkxTargetFault::NoAddress;
    QString Piece;

    // English, without the line: "'10.0.0.300' has an octet over 255".
    QString Message() const;
};

struct TkxTargetsResult {
    TkxTargetList Targets;
    std::optional<TkxTargetError> Error; // when set, Targets is empty

    bool Ok() const { return !Error.has_value(); }
};

// Four decimal octets of at most 255, blanks around allowed.
std::optional<quint32> StrictAddress(QStringView text);
QString DottedAddress(quint32 address);

// One target, "[NAME=]ADDRESS", "[NAME=]FIRST - LAST" or "[NAME=]ADDRESS/N".
TkxTargetsResult ParseTarget(QStringView text);
// A list, lines ended by LF or CR LF. The first wrong line is the error.
TkxTargetsResult ParseTargetList(QStringView text);

// The text of a list file: UTF-8 (a byte order mark is dropped), no control characters but
// tabs and line ends, at most MaxTargetListBytes. Otherwise the error (NotText with its line,
// CanNotRead).
struct TkxTargetText {
    QString Text;
    std::optional<TkxTargetError> Error;
};
TkxTargetText TargetTextOf(const QByteArray& bytes);
TkxTargetText ReadTargetText(QIODevice& device);
// Never a folder. A pipe or a device only with allowPipes: a window must not wait on one for
// ever, while a command line may read a list from a process substitution.
TkxTargetText ReadTargetFile(const QString& fileName, bool allowPipes);

// What a list gives: the sum of the ranges' sizes, duplicates counted twice as they are
// searched twice, and how many ranges share an address with another.
quint64 AddressCount(const TkxTargetList& targets);
int OverlappingCount(const TkxTargetList& targets);
// The first range above LargeRangeSize addresses, or nullptr.
const TkxTarget* FirstLargeTarget(const TkxTargetList& targets);
