#include "platform/kxKerberos.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

#include <unistd.h>

namespace {

// A cache file this large is no cache; the principal sits at its start anyway.
constexpr qint64 MaxRead = 64 * 1024;
constexpr quint32 MaxComponents = 32;

class BigEndian {
public:
    explicit BigEndian(const QByteArray& bytes) : Data(bytes) {}
    quint32 Number(int size) {
        if (!Good || Data.size() - Pos < size) {
            Good = false;
            return 0;
        }
        quint32 v = 0;
        for (int i = 0; i < size; ++i)
            v = (v << 8) | quint8(Data[Pos + i]);
        Pos += size;
        return v;
    }
    QByteArray Counted() {
        const quint32 n = Number(4);
        if (!Good || quint64(Data.size() - Pos) < n) {
            Good = false;
            return {};
        }
        const QByteArray s = Data.mid(Pos, qsizetype(n));
        Pos += qsizetype(n);
        return s;
    }
    bool Good = true;

private:
    const QByteArray& Data;
    qsizetype Pos = 0;
};

QString PrincipalOfFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return CCachePrincipal(f.read(MaxRead));
}

// DIR:path names a collection whose "primary" file names the current cache; DIR::path names
// one cache file of a collection.
QString DirCacheFile(const QString& residual) {
    if (residual.startsWith(u':'))
        return residual.mid(1);
    QFile primary(residual + QStringLiteral("/primary"));
    QString name = QStringLiteral("tkt");
    if (primary.open(QIODevice::ReadOnly))
        name = QString::fromLocal8Bit(primary.readLine(4096)).trimmed();
    if (name.isEmpty() || name.contains(u'/'))
        return {};
    return residual + u'/' + name;
}

QString PrincipalFromKlist() {
    const QString klist = QStandardPaths::findExecutable(QStringLiteral("klist"));
    if (klist.isEmpty())
        return {};
    QProcess p;
    p.start(klist, {});
    if (!p.waitForFinished(1000)) {
        p.kill();
        p.waitForFinished(1000);
        return {};
    }
    for (const QByteArray& line : p.readAllStandardOutput().split('\n')) {
        static const QByteArray Label = "Default principal:";
        if (line.startsWith(Label))
            return QString::fromUtf8(line.mid(Label.size())).trimmed();
    }
    return {};
}

} // namespace

QString CCachePrincipal(const QByteArray& bytes) {
    BigEndian r(bytes);
    const quint32 version = r.Number(2);
    if (version != 0x0503 && version != 0x0504)
        return {};
    if (version == 0x0504) {
        const quint32 headerSize = r.Number(2);
        for (quint32 i = 0; i < headerSize && r.Good; ++i)
            r.Number(1);
    }
    r.Number(4); // name type
    const quint32 components = r.Number(4);
    const QByteArray realm = r.Counted();
    if (!r.Good || components == 0 || components > MaxComponents || realm.isEmpty())
        return {};
    QStringList parts;
    for (quint32 i = 0; i < components; ++i) {
        const QByteArray part = r.Counted();
        if (!r.Good || part.isEmpty())
            return {};
        parts += QString::fromUtf8(part);
    }
    return parts.join(u'/') + u'@' + QString::fromUtf8(realm);
}

TkxTicketCache FindTicketCache() {
    TkxTicketCache cache;
    QString name = qEnvironmentVariable("KRB5CCNAME");
    if (name.isEmpty())
        name = QStringLiteral("FILE:/tmp/krb5cc_%1").arg(::getuid());
    const qsizetype colon = name.indexOf(u':');
    // A path alone is a file cache; so is a one-letter "type" (a drive letter elsewhere).
    const QString type = colon > 1 ? name.left(colon).toUpper() : QStringLiteral("FILE");
    const QString residual = colon > 1 ? name.mid(colon + 1) : name;
    QString file;
    if (type == u"FILE") {
        file = residual;
    } else if (type == u"DIR") {
        file = DirCacheFile(residual);
    } else if (type == u"MEMORY") {
        return cache;
    } else {
        cache.Present = true;
        cache.Principal = PrincipalFromKlist();
        return cache;
    }
    cache.Present = !file.isEmpty() && QFileInfo(file).isFile();
    if (cache.Present)
        cache.Principal = PrincipalOfFile(file);
    return cache;
}
