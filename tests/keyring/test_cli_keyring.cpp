// orvane-scan with a password remembered in a secret store of the test's own, against the
// fixture account on 127.0.0.4: no terminal, no ORVANE_PASSWORD, and the password nowhere
// but in the store and the helpers' socket.

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

namespace {

const QByteArray Password = "fixture-pass-1";

struct Result {
    int Code = -1;
    QString Out, Err;
};

QProcessEnvironment Environment(const QStringList& set = {}, const QStringList& unset = {}) {
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const QString& kv : set)
        e.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
    for (const QString& name : unset)
        e.remove(name);
    return e;
}

// Standard input is no terminal here: a pipe closed at once.
Result Scan(const QStringList& args, const QProcessEnvironment& env = Environment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(qEnvironmentVariable("ORVANE_BIN_DIR") + QStringLiteral("/orvane-scan"), args);
    p.closeWriteChannel();
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QStringList FilesHolding(const QString& dir, const QByteArray& bytes) {
    QStringList found;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly) && f.readAll().contains(bytes))
            found << f.fileName();
    }
    return found;
}

QByteArray ProcFile(const QString& pid, const char* name) {
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid, QString::fromLatin1(name)));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

// The process and its children (the helpers).
QStringList Family(qint64 pid) {
    const QByteArray parent = QByteArray::number(pid);
    QStringList pids{QString::number(pid)};
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
        if (stat.open(QIODevice::ReadOnly) &&
            stat.readAll().split(')').last().split(' ').value(2) == parent)
            pids << entry;
    }
    return pids;
}

} // namespace

class TestCliKeyring : public QObject {
    Q_OBJECT
    QTemporaryDir Dir;

private Q_SLOTS:
    void initTestCase() {
        // libsmbclient reads ~/.smb/smb.conf: an empty one keeps the machine's out.
        QVERIFY(QDir().mkpath(QDir::homePath() + QStringLiteral("/.smb")));
        QFile conf(QDir::homePath() + QStringLiteral("/.smb/smb.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly));
    }

    void rememberedPasswordWithoutTerminal() {
        const QStringList account{"--user", "fixtureuser"};
        // Nothing remembered yet, no terminal: refused at once.
        const Result none = Scan(account + QStringList{"--run"});
        QCOMPARE(none.Code, 2);
        QVERIFY2(none.Err.contains("needs a password"), qPrintable(none.Err));

        const Result kept = Scan(account + QStringList{"--remember-password"},
                                 Environment({"ORVANE_PASSWORD=" + Password}));
        QCOMPARE(kept.Code, 0);

        const QString csv = Dir.filePath(QStringLiteral("private.csv"));
        QProcess p;
        p.setProcessEnvironment(Environment({}, {"ORVANE_PASSWORD"}));
        p.start(qEnvironmentVariable("ORVANE_BIN_DIR") + QStringLiteral("/orvane-scan"),
                account + QStringList{"--range", "127.0.0.4 - 127.0.0.4", "--threads", "1",
                                      "--masks", "*", "--run", "--csv", csv});
        QVERIFY(p.waitForStarted());
        p.closeWriteChannel();
        // Once the walk is under way the helpers are logged on: look at every process then.
        QByteArray progress;
        QVERIFY(QTest::qWaitFor(
            [&] { return (progress += p.readAllStandardError()).contains("nodes 2"); }, 60000));
        const QStringList pids = Family(p.processId());
        QVERIFY2(pids.size() > 1, "no helper found");
        for (const QString& pid : pids) {
            QVERIFY2(!ProcFile(pid, "environ").contains(Password), qPrintable(pid));
            const QByteArray cmdline = ProcFile(pid, "cmdline");
            QVERIFY2(!cmdline.isEmpty() && !cmdline.contains(Password) &&
                         !cmdline.contains("<unreadable>"),
                     qPrintable(pid));
        }
        QVERIFY(p.waitForFinished(120000));
        QFile rows(csv);
        QVERIFY(rows.open(QIODevice::ReadOnly));
        QVERIFY(rows.readAll().contains("\\\\127.0.0.4\\private\\reports\\q1.txt"));

        QVERIFY(FilesHolding(QDir::homePath(), Password).isEmpty());
        QVERIFY(FilesHolding(qEnvironmentVariable("XDG_CONFIG_HOME"), Password).isEmpty());
        QVERIFY(FilesHolding(Dir.path(), Password).isEmpty());

        QCOMPARE(Scan(account + QStringList{"--forget-password"}).Code, 0);
        QCOMPARE(Scan(account + QStringList{"--run"}).Code, 2);
    }

    // No session bus: no store to ask, and still no waiting.
    void noStoreNoTerminal() {
        const Result r = Scan({"--user", "fixtureuser", "--run"},
                              Environment({}, {"DBUS_SESSION_BUS_ADDRESS", "DISPLAY"}));
        QCOMPARE(r.Code, 2);
        QVERIFY2(r.Err.contains("ORVANE_PASSWORD"), qPrintable(r.Err));
    }
};

QTEST_GUILESS_MAIN(TestCliKeyring)
#include "test_cli_keyring.moc"
