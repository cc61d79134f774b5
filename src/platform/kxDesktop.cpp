#include "platform/kxDesktop.h"

#include "lang/kxLanguages.h"
#include "model/kxErrors.h"
#include "model/kxProgram.h"
#include "platform/kxSmbPaths.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

QByteArray PackagedFile(const QString& name) {
    QFile file(QStringLiteral(":/packaging/") + name);
    if (!file.open(QIODevice::ReadOnly))
        throw EkxError(QStringLiteral("Can not read the packaged %1").arg(name));
    return file.readAll();
}

// True when the file was created or its contents changed.
bool WriteIfChanged(const QString& fileName, const QByteArray& bytes) {
    const QFileInfo target(fileName);
    // A link could lead out of the data directory; a FIFO or device is nothing to replace.
    if (target.isSymLink() || (target.exists() && !target.isFile()))
        throw EkxError(QStringLiteral("Can not write %1: Not a regular file").arg(fileName));
    if (!QDir().mkpath(target.absolutePath()))
        throw EkxError(QStringLiteral("Can not create the folder %1").arg(target.absolutePath()));
    {
        QFile current(fileName);
        if (current.open(QIODevice::ReadOnly) && current.size() == bytes.size() &&
            current.readAll() == bytes)
            return false;
    }
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw EkxError(QStringLiteral("Can not write %1: %2").arg(fileName, file.errorString()));
    return true;
}

// Runs a cache tool on one folder in the background; without the tool nothing happens.
void RefreshInBackground(const QString& tool, const QString& folder) {
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty() || !QCoreApplication::instance())
        return;
    StartProgram(program, {folder});
}

} // namespace

QString DesktopExecLine(const QString& program) {
    // Inside double quotes ", `, $ and \ take a backslash, and % is doubled as every % is a
    // field code; the value itself then doubles every backslash and escapes line breaks.
    QString quoted = QStringLiteral("\"");
    for (QChar c : program) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        quoted += c;
        if (c == u'%')
            quoted += u'%';
    }
    quoted += QStringLiteral("\" %f");
    QString value;
    for (QChar c : quoted) {
        if (c == u'\\')
            value += QStringLiteral("\\\\");
        else if (c == u'\n')
            value += QStringLiteral("\\n");
        else if (c == u'\r')
            value += QStringLiteral("\\r");
        else if (c == u'\t')
            value += QStringLiteral("\\t");
        else
            value += c;
    }
    return value;
}

void RegisterFileAssociation(const QString& dataHome, const QString& program) {
    // The type name in the language of this moment; at start-up no language is chosen yet.
    const QString typeName =
        QStringLiteral("%1 (%2)").arg(TextProjects(), QStringLiteral("Orvane"));

    // Replaced by hand: a regular expression's replacement would take a backslash and a digit
    // in the path for a back-reference.
    QStringList entryLines =
        QString::fromUtf8(PackagedFile(QLatin1String(DesktopEntryName))).split(u'\n');
    for (QString& line : entryLines)
        if (line.startsWith(QLatin1String("Exec=")))
            line = QStringLiteral("Exec=") + DesktopExecLine(program);
    const QString entry = entryLines.join(u'\n');

    QString package = QString::fromUtf8(PackagedFile(QLatin1String(MimePackageName)));
    const QLatin1String open("<comment>"), close("</comment>");
    const qsizetype from = package.indexOf(open);
    const qsizetype to = package.indexOf(close, from);
    if (from < 0 || to < 0)
        throw EkxError(QStringLiteral("The packaged %1 has no comment").arg(MimePackageName));
    package.replace(from + open.size(), to - from - open.size(), typeName.toHtmlEscaped());

    const QDir home(dataHome);
    const QString applications = home.filePath(QStringLiteral("applications"));
    const QString mime = home.filePath(QStringLiteral("mime"));
    const bool entryChanged =
        WriteIfChanged(applications + u'/' + QLatin1String(DesktopEntryName), entry.toUtf8());
    const bool packageChanged = WriteIfChanged(
        mime + QStringLiteral("/packages/") + QLatin1String(MimePackageName), package.toUtf8());
    WriteIfChanged(home.filePath(QStringLiteral("icons/hicolor/scalable/apps/")) +
                       QLatin1String(AppIconName),
                   PackagedFile(QLatin1String(AppIconName)));

    if (packageChanged || !QFileInfo::exists(mime + QStringLiteral("/mime.cache")))
        RefreshInBackground(QStringLiteral("update-mime-database"), mime);
    if (entryChanged || !QFileInfo::exists(applications + QStringLiteral("/mimeinfo.cache")))
        RefreshInBackground(QStringLiteral("update-desktop-database"), applications);
}

void RegisterFileAssociation() {
    const QString dataHome = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dataHome.isEmpty())
        throw EkxError(QStringLiteral("Can not register the project file type: no data folder"));
    RegisterFileAssociation(dataHome, QCoreApplication::applicationFilePath());
}

QUrl ShellOpenUrl(const QString& target) {
    if (target.startsWith(QStringLiteral("\\\\")))
        return OpenableAddressUrl(target);
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    if (scheme.match(target).hasMatch())
        return QUrl(target, QUrl::TolerantMode);
    return QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath());
}

void ShellOpen(const QString& target) {
    const QUrl url = ShellOpenUrl(target);
    if (url.isValid())
        QDesktopServices::openUrl(url);
}

void OpenNodeAddress(const QString& address) {
    QString reason;
    const QUrl url = OpenableAddressUrl(address, &reason);
    if (!url.isValid())
        throw EkxError(reason);
    QDesktopServices::openUrl(url);
}
