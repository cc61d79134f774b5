#include "platform/kxSmbPaths.h"

#include "smbhelper/kxSmbProtocol.h"

#include <QList>
#include <QStringConverter>

#include <algorithm>

bool UncToSmbTarget(const QString& unc, TkxSmbTarget& target) {
    if (!unc.startsWith(QLatin1String("\\\\")))
        return false;
    QStringView rest = QStringView(unc).mid(2);
    if (rest.endsWith(u'\\'))
        rest.chop(1);
    if (rest.isEmpty())
        return false;
    std::string url = "smb://";
    bool first = true;
    for (const QStringView part : rest.split(u'\\')) {
        // Empty or dot components would let the server's path differ from the record's.
        if (part.isEmpty() || part == u"." || part == u"..")
            return false;
        if (part.contains(u'/') || part.contains(QChar(0)))
            return false;
        const QByteArray bytes = part.toUtf8();
        if (first) {
            target.Host.assign(bytes.constData(), static_cast<std::size_t>(bytes.size()));
            first = false;
        } else {
            url += '/';
        }
        url += kxsmb::PercentEncode(std::string_view(bytes.constData(), bytes.size()));
    }
    if (target.Host.empty() || url.size() > MaxUrlBytes)
        return false;
    target.Url = std::move(url);
    return true;
}

QString NameFromServer(std::string_view bytes) {
    // Most names are plain ASCII, which needs no decoder.
    if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return (c & 0x80) == 0; }))
        return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
    // Invalid and truncated sequences become U+FFFD; a leading byte order mark is part of
    // the name.
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless |
                                                       QStringConverter::Flag::ConvertInitialBom);
    return decoder(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

bool IsUsableEntryName(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > MaxNameBytes)
        return false;
    return bytes.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}
