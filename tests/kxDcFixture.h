#pragma once

// For tests that run beside the domain controller of scripts/dc-fixture (realm ORV.TEST, the DC
// dc.orv.test on 127.0.0.90): tickets from kinit, and the DC's log of the logons it saw.

#include <QByteArrayList>
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace dc {

inline const QString Alice = QStringLiteral("alice@ORV.TEST");
inline const QString AlicePassword = QStringLiteral("alice-Pass-1");
inline const QString Bob = QStringLiteral("bob@ORV.TEST");
inline const QString BobPassword = QStringLiteral("bob-Pass-2");

// A ticket for principal in the file cache at path; lifetime as kinit takes it ("20s").
// posix_spawn rather than QProcess: ThreadSanitizer takes QProcess's vfork for a fork of a
// threaded process, and the engine tests run under it.
inline bool Kinit(const QString& path, const QString& principal, const QString& password,
                  const QString& lifetime = {}) {
    QFile::remove(path);
    QList<QByteArray> args{"kinit", "-c", "FILE:" + QFile::encodeName(path)};
    if (!lifetime.isEmpty())
        args << "-l" << lifetime.toUtf8();
    args << principal.toUtf8();
    std::vector<char*> argv;
    for (QByteArray& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int in[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, "kinit", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    const QByteArray typed = (password + u'\n').toUtf8();
    const bool written =
        rc == 0 && write(in[1], typed.constData(), size_t(typed.size())) == ssize_t(typed.size());
    close(in[1]);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid)
        return false;
    return written && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
