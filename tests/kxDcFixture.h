#pragma once

// For tests that run beside the domain controller of scripts/dc-fixture (realm ORV.TEST, the DC
// dc.orv.test on 127.0.0.90): tickets from kinit, and the DC's log of the logons it saw.

#include <QByteArrayList>
#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QString>

namespace dc {

inline const QString Alice = QStringLiteral("alice@ORV.TEST");
inline const QString AlicePassword = QStringLiteral("alice-Pass-1");
inline const QString Bob = QStringLiteral("bob@ORV.TEST");
inline const QString BobPassword = QStringLiteral("bob-Pass-2");

// A ticket for principal in the file cache at path; lifetime as kinit takes it ("20s").
inline bool Kinit(const QString& path, const QString& principal, const QString& password,
                  const QString& lifetime = {}) {
    QFile::remove(path);
    QStringList args{QStringLiteral("-c"), QStringLiteral("FILE:") + path};
    if (!lifetime.isEmpty())
        args << QStringLiteral("-l") << lifetime;
    QProcess p;
    p.start(QStringLiteral("kinit"), args << principal);
    p.write((password + u'\n').toUtf8());
    p.closeWriteChannel();
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The DC's logon lines written since Mark().
class TAuditLog {
public:
    void Mark() { Start = Size(); }
    QByteArrayList Lines() const {
        QFile f(qEnvironmentVariable("ORVANE_DC_LOG"));
        if (!f.open(QIODevice::ReadOnly) || !f.seek(Start))
            return {};
        QByteArrayList out;
        for (const QByteArray& line : f.readAll().split('\n')) {
            if (line.contains("Auth: [") || line.contains("AuthZ: ["))
                out << line.trimmed();
        }
        return out;
    }
    int Count(const QByteArray& what) const {
        int n = 0;
        for (const QByteArray& line : Lines())
            n += line.contains(what);
        return n;
    }
    // Logons over SMB (not the KDC's), refused ones only when asked.
    int SmbLogons(bool refused = false) const {
        int n = 0;
        for (const QByteArray& line : Lines()) {
            const bool smb = line.contains("Auth: [SMB2,") || line.contains("Auth: [SMB,");
            n += smb && (!refused || !line.contains("status [NT_STATUS_OK]"));
        }
        return n;
    }
    QByteArray Text() const { return Lines().join('\n'); }

private:
    static qint64 Size() { return QFile(qEnvironmentVariable("ORVANE_DC_LOG")).size(); }
    qint64 Start = 0;
};

inline const QByteArray KerberosAlice = "Successful AuthZ: [SMB2,krb5] user [ORV]\\[alice]";
inline const QByteArray Anonymous = "ANONYMOUS LOGON";

} // namespace dc
