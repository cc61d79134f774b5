// orvane-scan against the domain controller of scripts/dc-fixture, as a domain user runs it:
// who it says it connects as, and which logon the DC's log shows.

#include "kxDcFixture.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Result {
    int Code = -1;
    QString Out, Err;
};

// One run with KRB5CCNAME naming cache (empty: none) and these variables besides.
Result Scan(const QStringList& args, const QString& cache, const QStringList& env = {}) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("KRB5CCNAME"),
             cache.isEmpty() ? QStringLiteral("MEMORY:") : QStringLiteral("FILE:") + cache);
    for (const QString& kv : env)
        e.insert(kv.section(u'=', 0, 0), kv.section(u'=', 1));
    p.setProcessEnvironment(e);
    p.start(qEnvironmentVariable("ORVANE_BIN_DIR") + QStringLiteral("/orvane-scan"),
            QStringList{"--masks", "*.txt", "--csv", "-"} + args);
    p.closeWriteChannel(); // no terminal to ask a password on
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

const QStringList Dc{"--range", "127.0.0.90 - 127.0.0.90", "--run"};
const QString Q1 = QStringLiteral(",file,q1.txt,\\\\127.0.0.90\\data\\reports\\q1.txt,");

} // namespace

class TestCliDc : public QObject {
    Q_OBJECT
    QTemporaryDir Dir;
    QString Alice;
    dc::TAuditLog Log;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(Dir.isValid());
        QVERIFY2(!qEnvironmentVariableIsEmpty("ORVANE_DC_LOG"), "run by scripts/dc-fixture");
        Alice = Dir.filePath(QStringLiteral("alice"));
        QVERIFY(dc::Kinit(Alice, dc::Alice, dc::AlicePassword));
    }
    void init() { Log.Mark(); }

    // --kerberos, and --user with a ticket for that user and no password: the ticket's
    // principal with Kerberos, said at the start; never anonymous, never NTLM.
    void ticket_data() {
        QTest::addColumn<QStringList>("account");
        QTest::newRow("--kerberos") << QStringList{"--kerberos"};
        QTest::newRow("--user with a ticket") << QStringList{"--user", dc::Alice};
    }
    void ticket() {
        QFETCH(QStringList, account);
        const Result r = Scan(Dc + account, Alice);
        QCOMPARE(r.Code, 0);
        QVERIFY2(
            r.Err.startsWith(QStringLiteral("Connecting as alice@ORV.TEST (Kerberos ticket)\n")),
            qPrintable(r.Err));
        QVERIFY2(r.Out.contains(Q1), qPrintable(r.Out));
        QVERIFY2(Log.Count(dc::KerberosAlice) > 0, Log.Text());
        QCOMPARE(Log.Count(dc::Anonymous), 0);
        QCOMPARE(Log.Count("NTLMSSP"), 0);
    }

    // A password logs on too (with Kerberos, the DC being known by its name); a wrong one is a
    // logon failure after one attempt, exit status 3.
    void password() {
        Result r = Scan(Dc + QStringList{"--user", dc::Alice}, {},
                        {QStringLiteral("ORVANE_PASSWORD=") + dc::AlicePassword});
        QCOMPARE(r.Code, 0);
        QVERIFY(r.Err.startsWith(QStringLiteral("Connecting as alice@ORV.TEST with a password\n")));
        QVERIFY(r.Out.contains(Q1));
        QVERIFY2(Log.Count(dc::KerberosAlice) > 0, Log.Text());

        Log.Mark();
        r = Scan(Dc + QStringList{"--user", dc::Alice}, {}, {QStringLiteral("ORVANE_PASSWORD=no")});
        QCOMPARE(r.Code, 3);
        QVERIFY2(r.Err.contains(QStringLiteral(
                     "\\\\127.0.0.90: Thread has stopped with error (Logon failure)")),
                 qPrintable(r.Err));
        QCOMPARE(Log.SmbLogons(), 1);
    }

    // Guest is said too; without a ticket the search says so and asks no server (the other
    // refusals are the engine test's).
    void refusals() {
        Result r = Scan(Dc, Alice);
        QVERIFY(r.Err.startsWith(QStringLiteral("Connecting as guest\n")));
        Log.Mark();
        r = Scan(Dc + QStringList{"--kerberos"}, Dir.filePath(QStringLiteral("none")));
        QCOMPARE(r.Code, 3);
        QVERIFY(r.Err.startsWith(
            QStringLiteral("Connecting with a Kerberos ticket, but there is none\n")));
        QVERIFY(r.Err.contains(QStringLiteral("(There is no Kerberos ticket)")));
        QCOMPARE(Log.SmbLogons(), 0);

        // Someone else's ticket is no password for this user.
        r = Scan(Dc + QStringList{"--user", dc::Bob}, Alice);
        QCOMPARE(r.Code, 2);
        r = Scan(Dc + QStringList{"--user", dc::Alice, "--kerberos"}, Alice);
        QCOMPARE(r.Code, 2);
    }
};

QTEST_GUILESS_MAIN(TestCliDc)
#include "test_cli_dc.moc"
