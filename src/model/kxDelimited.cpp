#include "model/kxDelimited.h"

namespace {
const QChar Quote = u'"';

bool IsBlankOrControl(QChar c) { return c.unicode() <= 32; }
} // namespace

QStringList SplitDelimited(const QString& text, QChar delimiter) {
    QStringList entries;
    const qsizetype n = text.size();
    qsizetype p = 0;
    auto skipBlanks = [&] {
        while (p < n && IsBlankOrControl(text[p]))
            ++p;
    };
    skipBlanks();
    while (p < n) {
        QString entry;
        if (text[p] == Quote) {
            ++p;
            while (p < n) {
                if (text[p] == Quote) {
                    if (p + 1 < n && text[p + 1] == Quote) {
                        entry += Quote;
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                entry += text[p++];
            }
        } else {
            const qsizetype start = p;
            while (p < n && !IsBlankOrControl(text[p]) && text[p] != delimiter)
                ++p;
            entry = text.mid(start, p - start);
        }
        entries.append(entry);
        skipBlanks();
        if (p < n && text[p] == delimiter) {
            if (p + 1 == n)
                entries.append(QString());
            ++p;
            skipBlanks();
        }
    }
    return entries;
}

QString JoinDelimited(const QStringList& entries, QChar delimiter) {
    if (entries.size() == 1 && entries.front().isEmpty())
        return QString(2, Quote);
    QString result;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QString& entry = entries[i];
        bool quote = false;
        for (QChar c : entry) {
            if (IsBlankOrControl(c) || c == Quote || c == delimiter) {
                quote = true;
                break;
            }
        }
        if (i > 0)
            result += delimiter;
        if (quote) {
            QString doubled = entry;
            doubled.replace(Quote, QStringLiteral("\"\""));
            result += Quote + doubled + Quote;
        } else {
            result += entry;
        }
    }
    return result;
}
