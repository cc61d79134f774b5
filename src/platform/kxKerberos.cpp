#include "platform/kxKerberos.h"

#include "model/kxProgram.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>
#include <unistd.h>

namespace {

// A cache file this large is no cache; the principal and the ticket-granting ticket sit at its
// start anyway.
constexpr qint64 MaxRead = 1024 * 1024;
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
    void Skip(qsizetype n) {
        if (!Good || Data.size() - Pos < n)
            Good = false;
        else
            Pos += n;
    }
    bool AtEnd() const { return Pos >= Data.size(); }
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

TkxTicketCache ReadCacheFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return ParseCCache(f.read(MaxRead));
}

struct Principal {
    QByteArray Realm;
    QList<QByteArray> Parts;
};

Principal ReadPrincipal(BigEndian& r) {
    Principal p;
    r.Number(4); // name type
    const quint32 components = r.Number(4);
    p.Realm = r.Counted();
    if (!r.Good || components > MaxComponents) {
        r.Good = false;
        return p;
    }
    for (quint32 i = 0; i < components && r.Good; ++i)
        p.Parts += r.Counted();
    return p;
}

// Counted fields after a 16-bit type each: addresses, authorisation data.
void SkipTypedList(BigEndian& r) {
    const quint32 count = r.Number(4);
    for (quint32 i = 0; i < count && r.Good; ++i) {
        r.Number(2);
        r.Counted();
    }
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

// klist's output and exit status; false when it is not installed or does not end in time.
bool RunKlist(const QStringList& args, QByteArray* out, int* status) {
    const QString klist = QStandardPaths::findExecutable(QStringLiteral("klist"));
    if (klist.isEmpty())
        return false;
    const TkxProgramRun run = RunProgram(klist, args, 1000);
    if (!run.Finished)
        return false;
    *out = run.Output;
    *status = run.NormalExit ? run.ExitCode : -1;
    return true;
}

// A cache kept by a service: klist names its principal, and "klist -s" says whether it holds a
// ticket that is still valid. One that does not, but names a principal, has expired.
void AskKlist(TkxTicketCache& cache) {
    QByteArray out;
    int status = 0;
    if (!RunKlist({}, &out, &status))
        return;
    for (const QByteArray& line : out.split('\n')) {
        static const QByteArray Label = "Default principal:";
        if (line.startsWith(Label))
            cache.Principal = QString::fromUtf8(line.mid(Label.size())).trimmed();
    }
    if (cache.Principal.isEmpty() || !RunKlist({QStringLiteral("-s")}, &out, &status))
        return;
    cache.HasTicket = true;
    cache.Expires = status == 0 ? 0 : 1;
}

} // namespace

TkxTicketCache ParseCCache(const QByteArray& bytes) {
    TkxTicketCache cache;
    BigEndian r(bytes);
    const quint32 version = r.Number(2);
    if (version != 0x0503 && version != 0x0504)
        return cache;
    if (version == 0x0504)
        r.Skip(qsizetype(r.Number(2))); // header tags
    const Principal owner = ReadPrincipal(r);
    if (!r.Good || owner.Parts.isEmpty() || owner.Realm.isEmpty() ||
        std::any_of(owner.Parts.begin(), owner.Parts.end(),
                    [](const QByteArray& part) { return part.isEmpty(); }))
        return cache;
    QStringList parts;
    for (const QByteArray& part : owner.Parts)
        parts += QString::fromUtf8(part);
    cache.Principal = parts.join(u'/') + u'@' + QString::fromUtf8(owner.Realm);

    // The ticket-granting ticket's end decides; without one, the latest service ticket's.
    qint64 tgtEnd = 0, anyEnd = 0;
    while (!r.AtEnd() && r.Good) {
        ReadPrincipal(r); // client
        const Principal server = ReadPrincipal(r);
        r.Number(2); // key type
        if (version == 0x0503)
            r.Number(2); // written twice in this format
        r.Counted();     // key
        r.Number(4);     // auth time
        r.Number(4);     // start time
        const qint64 end = r.Number(4);
        r.Number(4); // renew till
        r.Number(1); // is session key
        r.Number(4); // flags
        SkipTypedList(r);
        SkipTypedList(r);
        r.Counted(); // ticket
        r.Counted(); // second ticket
        if (!r.Good)
            break;
        // Entries of this realm hold the cache's settings, not tickets.
        if (server.Realm == "X-CACHECONF:")
            continue;
        cache.HasTicket = true;
        anyEnd = std::max(anyEnd, end);
        if (!server.Parts.isEmpty() && server.Parts[0] == "krbtgt")
            tgtEnd = std::max(tgtEnd, end);
    }
    // A ticket without an end time is of no use; 1 keeps it expired.
    if (cache.HasTicket)
        cache.Expires = std::max<qint64>(1, tgtEnd ? tgtEnd : anyEnd);
    return cache;
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
        AskKlist(cache);
        return cache;
    }
    if (file.isEmpty() || !QFileInfo(file).isFile())
        return cache;
    cache = ReadCacheFile(file);
    cache.Present = true;
    return cache;
}
