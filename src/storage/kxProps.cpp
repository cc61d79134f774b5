#include "storage/kxProps.h"

#include "model/kxErrors.h"

namespace {

constexpr qsizetype LineLength = 64;
const QString ValueIndent = QStringLiteral("    ");
const QString ClassName = QStringLiteral("TkxProps");

bool IsLoneSurrogate(const QString& s, qsizetype i) {
    const QChar c = s[i];
    if (c.isHighSurrogate())
        return i + 1 >= s.size() || !s[i + 1].isLowSurrogate();
    if (c.isLowSurrogate())
        return i == 0 || !s[i - 1].isHighSurrogate();
    return false;
}

bool IsQuotable(const QString& s, qsizetype i) {
    const char16_t c = s[i].unicode();
    return c >= 32 && c != u'\'' && !IsLoneSurrogate(s, i);
}

// The pieces of a string value as component streaming writes them.
void AppendStringValue(QString& out, const QString& s) {
    const qsizetype length = s.size();
    if (length == 0) {
        out += QStringLiteral("''");
        return;
    }
    auto newLine = [&out] {
        out += QStringLiteral("\r\n");
        out += ValueIndent;
    };
    if (length > LineLength)
        newLine();
    qsizetype i = 0;
    qsizetype lineStart = 0;
    while (i < length) {
        bool lineBreak = false;
        if (IsQuotable(s, i)) {
            const qsizetype runStart = i;
            do {
                ++i;
            } while (i < length && IsQuotable(s, i) && i - lineStart < LineLength);
            if (i - lineStart >= LineLength) {
                lineBreak = true;
                // A cut between the halves of a pair would leave each line with a lone
                // surrogate, which UTF-8 cannot carry.
                if (i < length && s[i].isLowSurrogate() && s[i - 1].isHighSurrogate()) {
                    if (i - 1 > runStart)
                        --i;
                    else
                        ++i;
                }
            }
            out += u'\'';
            out += QStringView(s).mid(runStart, i - runStart);
            out += u'\'';
        } else {
            out += u'#';
            out += QString::number(s[i].unicode());
            ++i;
            if (i - lineStart >= LineLength)
                lineBreak = true;
        }
        if (lineBreak && i < length) {
            out += QStringLiteral(" +");
            newLine();
            lineStart = i;
        }
    }
}

int HexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return -1;
}

[[noreturn]] void ParseError(const QString& what) {
    throw EkxError(QStringLiteral("Props: invalid component text (%1)").arg(what));
}

class TComponentTextParser {
public:
    explicit TComponentTextParser(const QString& text) : S(text) {}

    QString Parse() {
        if (Identifier().compare(QStringLiteral("object"), Qt::CaseInsensitive) != 0)
            ParseError(QStringLiteral("object expected"));
        QString className = Identifier();
        SkipBlanks();
        if (Peek() == u':') {
            ++P;
            className = Identifier();
        }
        if (className.compare(ClassName, Qt::CaseInsensitive) != 0)
            ParseError(QStringLiteral("class %1 expected").arg(ClassName));
        QString value;
        for (;;) {
            const QString name = Identifier();
            if (name.compare(QStringLiteral("end"), Qt::CaseInsensitive) == 0)
                break;
            if (name.compare(QStringLiteral("Text"), Qt::CaseInsensitive) != 0)
                ParseError(QStringLiteral("unknown property %1").arg(name));
            SkipBlanks();
            if (Peek() != u'=')
                ParseError(QStringLiteral("= expected"));
            ++P;
            value = StringValue();
        }
        SkipBlanks();
        if (P < S.size())
            ParseError(QStringLiteral("text after end"));
        return value;
    }

private:
    QChar Peek() const { return P < S.size() ? S[P] : QChar(); }

    void SkipBlanks() {
        while (P < S.size()) {
            const char16_t c = S[P].unicode();
            if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n')
                break;
            ++P;
        }
    }

    static bool IsIdentStart(QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'A' && u <= u'Z') || (u >= u'a' && u <= u'z') || u == u'_';
    }

    QString Identifier() {
        SkipBlanks();
        if (P >= S.size() || !IsIdentStart(S[P]))
            ParseError(QStringLiteral("identifier expected"));
        const qsizetype start = P;
        while (P < S.size() && (IsIdentStart(S[P]) || S[P].isDigit() || S[P] == u'.'))
            ++P;
        return S.mid(start, P - start);
    }

    // Pieces joined without blanks form one token; " +" continues the value on the next line.
    QString StringValue() {
        QString value;
        for (;;) {
            SkipBlanks();
            bool anyPiece = false;
            while (Peek() == u'\'' || Peek() == u'#') {
                anyPiece = true;
                if (Peek() == u'\'')
                    QuotedRun(value);
                else
                    CharacterCode(value);
            }
            if (!anyPiece)
                ParseError(QStringLiteral("string expected"));
            SkipBlanks();
            if (Peek() != u'+')
                return value;
            ++P;
        }
    }

    void QuotedRun(QString& value) {
        ++P;
        for (;;) {
            if (P >= S.size())
                ParseError(QStringLiteral("unterminated string"));
            const QChar c = S[P];
            if (c == u'\r' || c == u'\n')
                ParseError(QStringLiteral("unterminated string"));
            ++P;
            if (c != u'\'') {
                value += c;
                continue;
            }
            if (Peek() != u'\'')
                return;
            value += u'\'';
            ++P;
        }
    }

    void CharacterCode(QString& value) {
        ++P;
        int base = 10;
        if (Peek() == u'$') {
            base = 16;
            ++P;
        }
        char32_t code = 0;
        int digits = 0;
        for (; P < S.size(); ++P) {
            const int d = HexDigit(S[P]);
            if (d < 0 || d >= base)
                break;
            code = code * char32_t(base) + char32_t(d);
            if (code > 0x10FFFF)
                ParseError(QStringLiteral("character code out of range"));
            ++digits;
        }
        if (digits == 0)
            ParseError(QStringLiteral("character code expected"));
        if (code > 0xFFFF)
            value += QString::fromUcs4(&code, 1);
        else
            value += QChar(char16_t(code));
    }

    const QString& S;
    qsizetype P = 0;
};

} // namespace

const QVariant& TkxProps::At(int i) const {
    if (i < 0 || i >= Count())
        throw EkxError(QStringLiteral("Props: Index out of range"));
    return Values[size_t(i)];
}

QVariant TkxProps::Items(int i) const {
    return At(i);
}

void TkxProps::SetItems(int i, const QVariant& value) {
    At(i);
    Values[size_t(i)] = value;
}

QString TkxProps::GetText() const {
    QString text;
    for (const QVariant& v : Values) {
        text += v.toString();
        text += QStringLiteral("\r\n");
    }
    return text;
}

void TkxProps::SetText(const QString& text) {
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype start = i;
        while (i < n && text[i] != u'\r' && text[i] != u'\n')
            ++i;
        Values.emplace_back(text.mid(start, i - start));
        if (i < n && text[i] == u'\r')
            ++i;
        if (i < n && text[i] == u'\n')
            ++i;
    }
}

QString TkxProps::ComponentText() const {
    return PropsComponentText(GetText());
}

void TkxProps::ReadComponentText(const QString& componentText) {
    SetText(ParsePropsComponentText(componentText));
}

QString PropsComponentText(const QString& value) {
    QString out = QStringLiteral("object ") + ClassName + QStringLiteral("\r\n  Text = ");
    AppendStringValue(out, value);
    out += QStringLiteral("\r\nend\r\n");
    return out;
}

QString ParsePropsComponentText(const QString& componentText) {
    return TComponentTextParser(componentText).Parse();
}

QString ComplementHexEncode(const QByteArray& bytes) {
    static const char16_t Digits[] = u"0123456789ABCDEF";
    QString out(bytes.size() * 2, Qt::Uninitialized);
    QChar* p = out.data();
    for (const char b : bytes) {
        const unsigned v = 255u - quint8(b);
        *p++ = QChar(Digits[v & 15]);
        *p++ = QChar(Digits[v >> 4]);
    }
    return out;
}

QByteArray ComplementHexDecode(const QString& stored) {
    const qsizetype pairs = stored.size() / 2;
    QByteArray out(pairs, Qt::Uninitialized);
    for (qsizetype i = 0; i < pairs; ++i) {
        const int low = HexDigit(stored[2 * i]);
        const int high = HexDigit(stored[2 * i + 1]);
        if (low < 0 || high < 0)
            throw EkxError(QStringLiteral("'%1' is not a valid hexadecimal value")
                               .arg(QStringView(stored).mid(2 * i, 2)));
        out[i] = char(255 - (high * 16 + low));
    }
    return out;
}

QString EncodeSettingsText(const QString& text) {
    return ComplementHexEncode(text.toUtf8());
}

QString DecodeSettingsText(const QString& stored) {
    return QString::fromUtf8(ComplementHexDecode(stored));
}
