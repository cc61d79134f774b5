#include "storage/kxRecoveryFile.h"

#include "model/kxErrors.h"

#include <QByteArray>
#include <QIODevice>
#include <QUrl>

#include <algorithm>
#include <climits>

namespace {

constexpr char Magic[] = "Orvane recovery file";
constexpr char Format[] = "1";
// Wide enough for any length, so the number can be filled in once the project is written.
constexpr int LengthDigits = 20;
constexpr qint64 MaxHeaderLine = 64 * 1024;

// Names may hold anything a file name may, line breaks included: they travel percent-encoded.
QByteArray Encoded(const QString& text) {
    return QUrl::toPercentEncoding(text);
}

QString Decoded(const QByteArray& line) {
    return QUrl::fromPercentEncoding(line);
}

void Put(QIODevice& device, const QByteArray& line) {
    const QByteArray bytes = line + "\r\n";
    if (device.write(bytes) != bytes.size())
        throw EkxError(QStringLiteral("Can not write recovery file: %1").arg(device.errorString()));
}

[[noreturn]] void Damaged() {
    throw EkxError(QStringLiteral("The recovery file is damaged"));
}

QByteArray Line(QIODevice& device) {
    QByteArray line = device.readLine(MaxHeaderLine);
    if (!line.endsWith("\r\n"))
        Damaged();
    line.chop(2);
    return line;
}

qint64 Number(const QByteArray& line) {
    bool ok = false;
    const qint64 value = line.toLongLong(&ok);
    if (!ok || value < 0)
        Damaged();
    return value;
}

} // namespace

void WriteRecoveryFile(QIODevice& device, const TkxRecoveryInfo& info,
                       const std::function<void(QIODevice&)>& writeProject) {
    Put(device, Magic);
    Put(device, Format);
    Put(device, info.Version.toUtf8());
    Put(device, info.Written.toUTC().toString(Qt::ISODateWithMs).toLatin1());
    Put(device, Encoded(info.ProjectFileName));
    Put(device, Encoded(info.ProjectName));
    Put(device, QByteArray::number(info.NewProjectCount));
    Put(device, QByteArray::number(info.Nodes));
    const qint64 lengthAt = device.pos();
    Put(device, QByteArray(LengthDigits, '0'));
    const qint64 start = device.pos();
    writeProject(device);
    const qint64 end = device.pos();
    if (!device.seek(lengthAt))
        throw EkxError(QStringLiteral("Can not write recovery file: %1").arg(device.errorString()));
    Put(device, QByteArray::number(end - start).rightJustified(LengthDigits, '0'));
    if (!device.seek(end))
        throw EkxError(QStringLiteral("Can not write recovery file: %1").arg(device.errorString()));
}

TkxRecoveryInfo ReadRecoveryHeader(QIODevice& device, const QString& currentVersion) {
    if (device.readLine(MaxHeaderLine) != QByteArray(Magic) + "\r\n")
        throw EkxError(QStringLiteral("Not a recovery file"));
    TkxRecoveryInfo info;
    const QByteArray format = Line(device);
    info.Version = QString::fromUtf8(Line(device));
    if (format != Format || info.Version != currentVersion)
        throw EkxError(
            QStringLiteral("The recovery file was written by Orvane %1, not by this version")
                .arg(format == Format ? info.Version : QStringLiteral("of another format")));
    info.Written = QDateTime::fromString(QString::fromLatin1(Line(device)), Qt::ISODateWithMs);
    if (!info.Written.isValid())
        Damaged();
    info.ProjectFileName = Decoded(Line(device));
    info.ProjectName = Decoded(Line(device));
    info.NewProjectCount = int(std::min<qint64>(Number(Line(device)), INT_MAX));
    info.Nodes = int(std::min<qint64>(Number(Line(device)), INT_MAX));
    const qint64 length = Number(Line(device));
    if (device.size() - device.pos() != length)
        Damaged();
    return info;
}
