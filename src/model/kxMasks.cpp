#include "model/kxMasks.h"

#include "model/kxDelimited.h"

#include <QStringEncoder>
#include <QVarLengthArray>

#include <algorithm>
#include <cstring>

namespace {

constexpr quint8 AsciiUpper(quint8 c) {
    return quint8(c - 'a') < 26 ? quint8(c - 32) : c;
}

[[noreturn]] void InvalidMask(const char* mask, qsizetype size, qsizetype position) {
    throw EMaskException(QStringLiteral("'%1' is an invalid mask at (%2)")
                             .arg(QString::fromUtf8(mask, size))
                             .arg(position + 1));
}

} // namespace

TMask::TMask(const char* mask, qsizetype size) : States(InlineStateBuffer), Sets(InlineSetBuffer) {
    const qsizetype brackets = size > 0 ? std::count(mask, mask + size, '[') : 0;
    if (size + 1 > InlineStates || brackets > InlineSets) {
        // Long masks: count first, so the heap holds exactly what the states need.
        const Counts counts = Compile<false>(mask, size);
        if (counts.States > InlineStates) {
            HeapStates = std::make_unique_for_overwrite<State[]>(size_t(counts.States));
            States = HeapStates.get();
        }
        if (counts.Sets > InlineSets) {
            HeapSets = std::make_unique_for_overwrite<CharSet[]>(size_t(counts.Sets));
            Sets = HeapSets.get();
        }
    }
    Compile<true>(mask, size);
}

// One pass over the mask. A set error is reported where it is met; too many stars only once
// the whole mask is known to be well-formed, so a bad set anywhere wins over the star count.
template <bool Fill> TMask::Counts TMask::Compile(const char* mask, qsizetype size) {
    const auto* m = reinterpret_cast<const quint8*>(mask);
    Counts counts;
    bool star = false;
    int cards = 0;
    qsizetype tooManyCardsAt = -1;
    qsizetype p = 0;

    auto write = [&](Form kind, quint8 literal, bool negate) {
        if (star && ++cards > MaxCards && tooManyCardsAt < 0)
            tooManyCardsAt = p;
        if constexpr (Fill) {
            State& s = States[counts.States];
            s.Kind = kind;
            s.Star = star;
            s.Negate = negate;
            s.Literal = literal;
            s.SetIndex = kind == Form::Set ? quint32(counts.Sets - 1) : 0;
        }
        ++counts.States;
        star = false;
    };

    for (; p < size; ++p) {
        switch (m[p]) {
        case '*':
            star = true;
            break;
        case '?':
            if (!star)
                write(Form::Any, 0, false);
            break;
        case '[': {
            ++p;
            bool negate = false;
            if (p < size && m[p] == '!') {
                negate = true;
                ++p;
            }
            CharSet scratch;
            CharSet& set = Fill ? Sets[counts.Sets] : scratch;
            std::memset(set.Bits, 0, sizeof(set.Bits));
            bool empty = true;
            auto add = [&](unsigned c) {
                set.Bits[c >> 6] |= quint64(1) << (c & 63);
                empty = false;
            };
            int last = -1;
            for (; p < size && m[p] != ']'; ++p) {
                if (m[p] != '-') {
                    last = AsciiUpper(m[p]);
                    add(unsigned(last));
                    continue;
                }
                if (last < 0)
                    InvalidMask(mask, size, p);
                // A dash right before ']' or the end has no upper bound and adds nothing:
                // ']' always closes the set.
                if (p + 1 == size || m[p + 1] == ']')
                    continue;
                ++p;
                for (unsigned c = unsigned(last), high = AsciiUpper(m[p]); c <= high; ++c)
                    add(c);
            }
            if (p == size || empty)
                InvalidMask(mask, size, p);
            ++counts.Sets;
            write(Form::Set, 0, negate);
            break;
        }
        default:
            write(Form::Literal, AsciiUpper(m[p]), false);
            break;
        }
    }
    write(Form::End, 0, false);
    if (tooManyCardsAt >= 0)
        InvalidMask(mask, size, tooManyCardsAt);
    return counts;
}

inline bool TMask::StateMatches(const State& s, quint8 c) const {
    switch (s.Kind) {
    case Form::Literal:
        return AsciiUpper(c) == s.Literal;
    case Form::Any:
        return true;
    case Form::Set:
        return Sets[s.SetIndex].Has(AsciiUpper(c)) != s.Negate;
    case Form::End:
        return false;
    }
    return false;
}

// Every state but the end consumes exactly one character, so when the rest fails it is
// enough to retry from the latest star one character further on: any placement that an
// earlier star could reach is also reachable by the later one. That keeps the match
// polynomial however many stars the mask has.
bool TMask::Matches(const char* name, qsizetype size) const {
    const auto* s = reinterpret_cast<const quint8*>(name);
    qsizetype p = 0;
    qsizetype si = 0;
    qsizetype starState = -1;
    qsizetype starPos = 0;
    for (;;) {
        const State& state = States[si];
        if (state.Star) {
            if (state.Kind == Form::End)
                return true;
            starState = si;
            starPos = p;
        }
        if (state.Kind == Form::End) {
            if (p == size)
                return true;
        } else if (p < size && StateMatches(state, s[p])) {
            ++p;
            ++si;
            continue;
        }
        if (starState < 0 || starPos >= size)
            return false;
        si = starState;
        p = starPos + 1;
    }
}

bool MatchesMask(const char* name, qsizetype nameSize, const char* mask, qsizetype maskSize) {
    const TMask compiled(mask, maskSize);
    return compiled.Matches(name, nameSize);
}

bool MatchesMask(const QByteArray& name, const QByteArray& mask) {
    return MatchesMask(name.constData(), name.size(), mask.constData(), mask.size());
}

QStringList SplitMasksText(const QString& text) {
    return SplitDelimited(text, u';');
}

namespace {

using ByteBuffer = QVarLengthArray<char, 256>;

// Upper-cased UTF-8 of text, with suffix appended when the text has no dot. ASCII, the usual
// case, is done in place; anything else takes the full Unicode upper-casing.
void PrepareForMatch(const QString& text, QLatin1String suffix, ByteBuffer& out) {
    const qsizetype n = text.size();
    const QChar* data = text.constData();
    out.resize(n + suffix.size());
    bool dot = false;
    qsizetype i = 0;
    for (; i < n; ++i) {
        const char16_t c = data[i].unicode();
        if (c >= 0x80)
            break;
        dot |= c == u'.';
        out[i] = char(AsciiUpper(quint8(c)));
    }
    if (i == n) {
        if (dot) {
            out.resize(n);
        } else {
            std::memcpy(out.data() + n, suffix.data(), size_t(suffix.size()));
        }
        return;
    }
    QString full = text;
    if (!text.contains(u'.'))
        full += suffix;
    full = std::move(full).toUpper();
    QStringEncoder encoder(QStringEncoder::Utf8);
    out.resize(encoder.requiredSpace(full.size()));
    char* end = encoder.appendToBuffer(out.data(), full);
    out.resize(end - out.data());
}

} // namespace

bool NameMatchesMasks(const QString& name, const QStringList& masks) {
    if (masks.isEmpty())
        return false;
    ByteBuffer nameBytes;
    PrepareForMatch(name, QLatin1String("."), nameBytes);
    ByteBuffer maskBytes;
    for (const QString& mask : masks) {
        PrepareForMatch(mask, QLatin1String(".*"), maskBytes);
        if (MatchesMask(nameBytes.constData(), nameBytes.size(), maskBytes.constData(),
                        maskBytes.size()))
            return true;
    }
    return false;
}
