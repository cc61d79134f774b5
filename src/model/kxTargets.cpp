#include "model/kxTargets.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>
#include <map>
#include <utility>

namespace {

// Pasted lists bring no-break spaces and tabs along; blanks of any kind separate.
bool IsBlank(QChar c) {
    return c.unicode() <= 32 || c.isSpace();
}

QStringView Trimmed(QStringView s) {
    qsizetype b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.sliced(b, e - b);
}

qsizetype SkipBlanks(QStringView s, qsizetype p) {
    while (p < s.size() && IsBlank(s[p]))
        ++p;
    return p;
}

// An address or a prefix ends at a blank, the range dash or the block's slash.
qsizetype TokenEnd(QStringView s, qsizetype p) {
    while (p < s.size() && !IsBlank(s[p]) && s[p] != u'-' && s[p] != u'/')
        ++p;
    return p;
}

bool IsAsciiDigits(QStringView s) {
    return !s.isEmpty() &&
           std::all_of(s.begin(), s.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// The value of ASCII digits, saturated well above any octet or prefix.
quint32 DigitsValue(QStringView digits) {
    quint32 v = 0;
    for (QChar c : digits)
        v = std::min<quint32>(v * 10 + quint32(c.unicode() - u'0'), 100000);
    return v;
}

// The text at fault goes into a one-line message: a pasted line of garbage is cut short.
TkxTargetError Fault(TkxTargetFault fault, QStringView piece = {}) {
    constexpr qsizetype Longest = 60;
    if (piece.size() <= Longest)
        return TkxTargetError{0, fault, piece.toString()};
    qsizetype keep = Longest - 3;
    if (piece[keep - 1].isHighSurrogate())
        --keep;
    return TkxTargetError{0, fault, piece.first(keep).toString() + QStringLiteral("...")};
}

// Exactly four dot-separated runs of decimal digits, each of at most 255. "010" is ten: a
// leading zero is no octal form here.
std::optional<TkxTargetError> AddressOf(QStringView text, quint32& address) {
    bool over = false;
    quint32 value = 0;
    qsizetype start = 0;
    for (int part = 0; part < 4; ++part) {
        qsizetype end = start;
        while (end < text.size() && text[end] != u'.')
            ++end;
        // The last part runs to the end; a fifth part is no address.
        if ((part < 3) != (end < text.size()))
            return Fault(TkxTargetFault::NoAddress, text);
        const QStringView digits = text.sliced(start, end - start);
        if (!IsAsciiDigits(digits))
            return Fault(TkxTargetFault::NoAddress, text);
        const quint32 octet = DigitsValue(digits);
        if (octet > 255)
            over = true;
        else if (digits.size() > 3)
            return Fault(TkxTargetFault::NoAddress, text);
        value = (value << 8) | (octet & 0xFF);
        start = end + 1;
    }
    if (over)
        return Fault(TkxTargetFault::OctetOver255, text);
    address = value;
    return std::nullopt;
}

// "ADDRESS", "FIRST - LAST" or "ADDRESS/N" (blanks around '-' and '/' allowed), nothing after.
std::optional<TkxTargetError> RangeOf(QStringView text, quint32& first, quint32& last) {
    text = Trimmed(text);
    qsizetype end = TokenEnd(text, 0);
    if (auto bad = AddressOf(text.first(end), first))
        return bad;
    last = first;
    qsizetype p = SkipBlanks(text, end);
    if (p < text.size() && text[p] == u'-') {
        p = SkipBlanks(text, p + 1);
        end = TokenEnd(text, p);
        if (auto bad = AddressOf(text.sliced(p, end - p), last))
            return bad;
        if (last < first)
            return Fault(TkxTargetFault::EndsBeforeStart, Trimmed(text.first(end)));
        p = SkipBlanks(text, end);
    } else if (p < text.size() && text[p] == u'/') {
        p = SkipBlanks(text, p + 1);
        end = TokenEnd(text, p);
        const QStringView prefix = text.sliced(p, end - p);
        if (!IsAsciiDigits(prefix) || DigitsValue(prefix) > 32)
            return Fault(TkxTargetFault::BadPrefix, prefix);
        // The block the address lies in, whichever of its addresses was written.
        const quint32 bits = DigitsValue(prefix);
        const quint32 hostMask = bits == 0 ? 0xFFFFFFFFu : (quint32(1) << (32 - bits)) - 1;
        first &= ~hostMask;
        last = first | hostMask;
        p = SkipBlanks(text, end);
    }
    if (p < text.size())
        return Fault(TkxTargetFault::TextAfter, text.sliced(p));
    return std::nullopt;
}

std::optional<TkxTargetError> NamedRangeOf(QStringView text, TkxTarget& target) {
    const qsizetype eq = text.indexOf(u'=');
    if (eq >= 0) {
        target.Name = Trimmed(text.first(eq)).toString();
        text = text.sliced(eq + 1);
    }
    return RangeOf(text, target.First, target.Last);
}

TkxTargetsResult Failed(TkxTargetError error, int line) {
    error.Line = line;
    return TkxTargetsResult{{}, std::move(error)};
}

using TSpan = std::pair<quint32, quint32>;

// The addresses some exclusions take out, as disjoint spans that do not touch, so that
// taking them out of a range costs only the spans that meet it.
class TExcluded {
public:
    void Add(quint32 first, quint32 last) {
        quint64 f = first, l = last;
        auto it = Spans.upper_bound(first);
        if (it != Spans.begin() && quint64(std::prev(it)->second) + 1 >= f) {
            --it;
            f = it->first;
            l = std::max<quint64>(l, it->second);
            it = Spans.erase(it);
        }
        while (it != Spans.end() && quint64(it->first) <= l + 1) {
            l = std::max<quint64>(l, it->second);
            it = Spans.erase(it);
        }
        Spans.emplace_hint(it, quint32(f), quint32(l));
    }

    // What is left of [first, last], in address order.
    std::vector<TSpan> Left(quint32 first, quint32 last) const {
        std::vector<TSpan> left;
        quint64 from = first;
        auto it = Spans.upper_bound(first);
        if (it != Spans.begin() && std::prev(it)->second >= first)
            --it;
        for (; it != Spans.end() && it->first <= last; ++it) {
            if (from < it->first)
                left.emplace_back(quint32(from), it->first - 1);
            from = quint64(it->second) + 1;
            if (from > last)
                return left;
        }
        left.emplace_back(quint32(from), last);
        return left;
    }

private:
    std::map<quint32, quint32> Spans; // first -> last
};

} // namespace

QString TkxTarget::DisplayName() const {
    return Name.isEmpty() ? DottedAddress(First) : Name;
}

TIPRange TkxTarget::Range() const {
    TIPRange r;
    r.First = TIPAddress(DottedAddress(First));
    r.Last = TIPAddress(DottedAddress(Last));
    return r;
}

QString TkxTarget::RangeText() const {
    return Range().AsText();
}

// The caption the range dialog gives a range, whatever its width, so a range reads the same
// however it was added.
QString TkxTarget::Caption() const {
    return QStringLiteral("%1 (%2)").arg(DisplayName(), Range().ShortText());
}

QString TkxTargetError::Message() const {
    switch (Fault) {
    case TkxTargetFault::NotText:
        return QStringLiteral("not text (a control character or invalid UTF-8)");
    case TkxTargetFault::NoAddress:
        if (Piece.isEmpty())
            return QStringLiteral("an address is missing");
        return QStringLiteral("'%1' is no address like 192.0.2.1").arg(Piece);
    case TkxTargetFault::OctetOver255:
        return QStringLiteral("'%1' has an octet over 255").arg(Piece);
    case TkxTargetFault::BadPrefix:
        return QStringLiteral("'/%1' is no prefix from /0 to /32").arg(Piece);
    case TkxTargetFault::EndsBeforeStart:
        return QStringLiteral("'%1' ends before it starts").arg(Piece);
    case TkxTargetFault::ExclusionFirst:
        return QStringLiteral("an exclusion before any range");
    case TkxTargetFault::TextAfter:
        return QStringLiteral("text after the target: '%1'").arg(Piece);
    case TkxTargetFault::CanNotRead:
        return QStringLiteral("can not be read: %1").arg(Piece);
    }
    return QString();
}

std::optional<quint32> StrictAddress(QStringView text) {
    quint32 address = 0;
    if (AddressOf(Trimmed(text), address))
        return std::nullopt;
    return address;
}

QString DottedAddress(quint32 v) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(v >> 24)
        .arg((v >> 16) & 0xFF)
        .arg((v >> 8) & 0xFF)
        .arg(v & 0xFF);
}

TkxTargetsResult ParseTarget(QStringView text) {
    TkxTarget target;
    if (auto bad = NamedRangeOf(text, target))
        return Failed(std::move(*bad), 0);
    return TkxTargetsResult{{std::move(target)}, std::nullopt};
}

TkxTargetsResult ParseTargetList(QStringView text) {
    // The lines as read, checked in order so that the first wrong one is named.
    struct TEntry {
        bool Exclusion = false;
        TkxTarget Target;
    };
    std::vector<TEntry> entries;
    bool anyRange = false;
    int lineNo = 0;
    for (QStringView line : text.split(u'\n')) {
        ++lineNo;
        if (line.endsWith(u'\r'))
            line.chop(1);
        line = Trimmed(line);
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        TEntry entry;
        if (line.startsWith(u'!')) {
            if (!anyRange)
                return Failed(Fault(TkxTargetFault::ExclusionFirst), lineNo);
            entry.Exclusion = true;
            if (auto bad = RangeOf(line.sliced(1), entry.Target.First, entry.Target.Last))
                return Failed(std::move(*bad), lineNo);
        } else if (auto bad = NamedRangeOf(line, entry.Target)) {
            return Failed(std::move(*bad), lineNo);
        }
        anyRange |= !entry.Exclusion;
        entries.push_back(std::move(entry));
    }
    // An exclusion acts on the ranges above it: from the bottom up, each range loses what the
    // exclusions below it take out. One pass, however many ranges and exclusions there are.
    std::vector<std::vector<TSpan>> pieces(entries.size());
    TExcluded excluded;
    for (size_t i = entries.size(); i-- > 0;) {
        const TkxTarget& t = entries[i].Target;
        if (entries[i].Exclusion)
            excluded.Add(t.First, t.Last);
        else
            pieces[i] = excluded.Left(t.First, t.Last);
    }
    TkxTargetsResult result;
    for (size_t i = 0; i < entries.size(); ++i) {
        const QString& name = entries[i].Target.Name;
        const size_t count = pieces[i].size();
        for (size_t k = 0; k < count; ++k) {
            TkxTarget t;
            if (!name.isEmpty())
                t.Name = count == 1 ? name : QStringLiteral("%1 #%2").arg(name).arg(k + 1);
            t.First = pieces[i][k].first;
            t.Last = pieces[i][k].second;
            result.Targets.push_back(std::move(t));
        }
    }
    return result;
}

TkxTargetText TargetTextOf(const QByteArray& bytes) {
    TkxTargetText result;
    if (bytes.size() > MaxTargetListBytes) {
        result.Error = Fault(TkxTargetFault::CanNotRead,
                             QStringLiteral("larger than %1 MiB").arg(MaxTargetListBytes >> 20));
        return result;
    }
    QByteArrayView rest(bytes);
    if (rest.startsWith("\xEF\xBB\xBF"))
        rest = rest.sliced(3);
    result.Text.reserve(rest.size());
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    int lineNo = 0;
    while (!rest.isEmpty()) {
        ++lineNo;
        const qsizetype lf = rest.indexOf('\n');
        QByteArrayView line = lf >= 0 ? rest.first(lf) : rest;
        rest = lf >= 0 ? rest.sliced(lf + 1) : QByteArrayView();
        if (line.endsWith('\r'))
            line.chop(1);
        const bool control = std::any_of(line.begin(), line.end(), [](char c) {
            return (quint8(c) < 0x20 && c != '\t') || quint8(c) == 0x7F;
        });
        const QString decoded = decoder.decode(line);
        if (control || decoder.hasError()) {
            result.Text.clear();
            result.Error = Fault(TkxTargetFault::NotText);
            result.Error->Line = lineNo;
            return result;
        }
        result.Text += decoded;
        if (lf >= 0)
            result.Text += u'\n';
    }
    return result;
}

TkxTargetText ReadTargetText(QIODevice& device) {
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const qint64 n = device.read(buffer, sizeof buffer);
        if (n < 0) {
            TkxTargetText failed;
            failed.Error = Fault(TkxTargetFault::CanNotRead, device.errorString());
            return failed;
        }
        if (n == 0)
            break;
        bytes.append(buffer, n);
        // One byte over the limit is enough to refuse it: /dev/zero has no end.
        if (bytes.size() > MaxTargetListBytes)
            break;
    }
    return TargetTextOf(bytes);
}

TkxTargetText ReadTargetFile(const QString& fileName, bool allowPipes) {
    TkxTargetText failed;
    const QFileInfo info(fileName);
    if (info.exists() && !info.isFile() && (info.isDir() || !allowPipes)) {
        failed.Error = Fault(TkxTargetFault::CanNotRead, QStringLiteral("not a regular file"));
        return failed;
    }
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        failed.Error = Fault(TkxTargetFault::CanNotRead, file.errorString());
        return failed;
    }
    return ReadTargetText(file);
}

quint64 AddressCount(const TkxTargetList& targets) {
    quint64 sum = 0;
    for (const TkxTarget& t : targets)
        sum += t.Count();
    return sum;
}

int OverlappingCount(const TkxTargetList& targets) {
    std::vector<const TkxTarget*> byFirst;
    byFirst.reserve(targets.size());
    for (const TkxTarget& t : targets)
        byFirst.push_back(&t);
    std::stable_sort(byFirst.begin(), byFirst.end(),
                     [](const TkxTarget* a, const TkxTarget* b) { return a->First < b->First; });
    // Sweeping by first address: a range overlaps an earlier one exactly when it starts
    // before the furthest end so far, and then the range holding that end overlaps it too.
    std::vector<bool> overlapping(byFirst.size(), false);
    size_t reach = 0; // the range with the furthest end so far
    for (size_t i = 1; i < byFirst.size(); ++i) {
        if (byFirst[i]->First <= byFirst[reach]->Last) {
            overlapping[i] = true;
            overlapping[reach] = true;
        }
        if (byFirst[i]->Last > byFirst[reach]->Last)
            reach = i;
    }
    return int(std::count(overlapping.begin(), overlapping.end(), true));
}

const TkxTarget* FirstLargeTarget(const TkxTargetList& targets) {
    for (const TkxTarget& t : targets) {
        if (t.Count() > LargeRangeSize)
            return &t;
    }
    return nullptr;
}
