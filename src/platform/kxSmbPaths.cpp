#include "platform/kxSmbPaths.h"

#include "smbhelper/kxSmbProtocol.h"

#include <QList>
#include <QStringConverter>

#include <algorithm>

namespace {

// The components of \\host[\share[\dir...]], host first; empty when the text is no such path.
QList<QStringView> UncParts(const QString& unc) {
    if (!unc.startsWith(QLatin1String("\\\\")))
        return {};
    QStringView rest = QStringView(unc).mid(2);
    if (rest.endsWith(u'\\'))
        rest.chop(1);
    if (rest.isEmpty())
        return {};
    QList<QStringView> parts = rest.split(u'\\');
    for (const QStringView part : parts) {
        // Empty or dot components would let the server's path differ from the record's.
        if (part.isEmpty() || part == u"." || part == u".." || part.contains(u'/') ||
            part.contains(QChar(0)))
            return {};
    }
    if (!IsValidHostPart(parts.front()))
        return {};
    return parts;
}

} // namespace

bool IsValidHostPart(QStringView host) {
    if (host.isEmpty() || host.size() > 253)
        return false;
    for (const QStringView label : host.split(u'.')) {
        if (label.isEmpty() || label.size() > 63)
            return false;
        for (const QChar c : label) {
            if (!(c.isLetterOrNumber() || c == u'-' || c == u'_') || c.isSurrogate())
                return false;
        }
    }
    return true;
}

bool UncToSmbTarget(const QString& unc, TkxSmbTarget& target) {
    const QList<QStringView> parts = UncParts(unc);
    if (parts.isEmpty())
        return false;
    std::string url = "smb://";
    bool first = true;
    for (const QStringView part : parts) {
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

QUrl OpenableAddressUrl(const QString& address, QString* reason) {
    auto refuse = [&](const QString& why) {
        if (reason)
            *reason = why;
        return QUrl();
    };
    if (!address.startsWith(QLatin1String("\\\\")))
        return refuse(
            QStringLiteral("Not opened: %1 is no network path like \\\\host\\share").arg(address));
    TkxSmbTarget target;
    if (!UncToSmbTarget(address, target)) {
        const QStringView host = QStringView(address).mid(2).split(u'\\').front();
        return refuse(IsValidHostPart(host)
                          ? QStringLiteral("Not opened: %1 is no usable network path").arg(address)
                          : QStringLiteral("Not opened: the host of %1 is no host name or address")
                                .arg(address));
    }
    const QList<QStringView> parts = UncParts(address);
    QUrl url;
    url.setScheme(QStringLiteral("smb"));
    url.setHost(parts.front().toString(), QUrl::StrictMode);
    QString path;
    for (qsizetype i = 1; i < parts.size(); ++i)
        path += u'/' + parts[i].toString();
    url.setPath(path.isEmpty() ? QStringLiteral("/") : path, QUrl::DecodedMode);
    if (!url.isValid() || url.host().isEmpty())
        return refuse(
            QStringLiteral("Not opened: the host of %1 is no host name or address").arg(address));
    if (reason)
        reason->clear();
    return url;
}

bool IsWireHostName(const QString& name) {
    if (name.isEmpty() || name.size() > 253 || name.startsWith(u'.') || name.endsWith(u'.') ||
        name.contains(QStringLiteral("..")))
        return false;
    bool letter = false;
    for (const QChar c : name) {
        const bool alpha =
            (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'-' || c == u'_';
        if (!alpha && !(c >= u'0' && c <= u'9') && c != u'.')
            return false;
        letter = letter || alpha;
    }
    return letter; // digits and dots alone would be an address
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
