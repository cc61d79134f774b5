// Searches with the real services against the domain controller of scripts/dc-fixture: which
// logon each account choice really makes, as the DC's log tells it. 127.0.0.90 is dc.orv.test;
// 127.0.0.91 has no DNS name, and 127.0.0.92 one that does not map back to it.

#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "kxDcFixture.h"
#include "kxSearchRun.h"
#include "lang/kxLanguages.h"
#include "platform/kxKerberos.h"
#include "platform/kxPlatformServices.h"

#include <QTemporaryDir>
#include <QTest>

#include <map>

namespace {

QByteArray FirstFailure(const TkxSearchOutcome& o) {
    return o.Failed.empty() ? QByteArray()
                            : (o.Failed.begin()->first + u' ' + o.Failed.begin()->second).toUtf8();
}

QString Stopped(const QString& reason) {
    return QStringLiteral("Thread has stopped with error (%1)").arg(reason);
}

const QString Dc = QStringLiteral("127.0.0.90 - 127.0.0.90");
const QString Q1 = QStringLiteral("\\\\127.0.0.90\\data\\reports\\q1.txt");

TkxCredentials Ticket() {
    TkxCredentials c;
    c.UseKerberos = true;
    return c;
}

} // namespace

class TestEngineDc : public QObject {
    Q_OBJECT
    QTemporaryDir Dir;
    dc::TAuditLog Log;

    QString Cache(const char* name) { return Dir.filePath(QString::fromLatin1(name)); }
    void UseCache(const QString& path) {
        qputenv("KRB5CCNAME", QByteArray("FILE:") + QFile::encodeName(path));
    }

private Q_SLOTS:
    void initTestCase() {
        SetCurrentLanguage(LangEnglish);
        QVERIFY(Dir.isValid());
        QVERIFY2(!qEnvironmentVariableIsEmpty("ORVANE_DC_LOG"), "run by scripts/dc-fixture");
    }
    void init() { Log.Mark(); }
    void cleanup() { TkxInfoThread::WaitForAll(); }

    // The ticket alone logs on as its principal, with Kerberos, by the host's name: never
    // anonymously, never with NTLM. A kinit as someone else is followed from the next search.
    void ticketLogsOnAsItsPrincipal() {
        QVERIFY(dc::Kinit(Cache("alice"), dc::Alice, dc::AlicePassword));
        UseCache(Cache("alice"));
        auto services = std::make_shared<TkxPlatformServices>();
        services->SetCredentials(Ticket());
        TkxSearchOutcome found = SearchToEnd(services, {Dc});
        QVERIFY2(found.Failed.empty(), FirstFailure(found));
        QVERIFY(found.Names.count(Q1));
        QCOMPARE(found.Names[QStringLiteral("\\\\127.0.0.90")], QStringLiteral("dc.orv.test"));
        QVERIFY2(Log.Count(dc::KerberosAlice) > 0, Log.Text());
        QCOMPARE(Log.Count(dc::Anonymous), 0);
        QCOMPARE(Log.Count("NTLMSSP"), 0);

        QVERIFY(dc::Kinit(Cache("alice"), dc::Bob, dc::BobPassword));
        Log.Mark();
        QVERIFY(SearchToEnd(services, {Dc}).Names.count(Q1));
        QVERIFY2(Log.Count("[SMB2,krb5] user [ORV]\\[bob]") > 0, Log.Text());
        QCOMPARE(Log.Count("[ORV]\\[alice]"), 0);
    }

    // A password logs on with Kerberos where the host has a name, with NTLM where it has not.
    void passwordUsesKerberosByName() {
        qputenv("KRB5CCNAME", "MEMORY:");
        auto services = std::make_shared<TkxPlatformServices>();
        services->SetCredentials(AccountWith(dc::Alice, dc::AlicePassword));
        const TkxSearchOutcome found =
            SearchToEnd(services, {QStringLiteral("127.0.0.90 - 127.0.0.91")});
        QVERIFY2(found.Failed.empty(), FirstFailure(found));
        QVERIFY(found.Names.count(QStringLiteral("\\\\127.0.0.91\\data\\reports\\q1.txt")));
        QVERIFY2(Log.Count(dc::KerberosAlice) > 0, Log.Text());
        for (const QByteArray& line : Log.Lines()) {
            if (line.contains("[SMB2,NTLMSSP]"))
                QVERIFY2(line.contains("127.0.0.91:445"), line);
        }
    }

    // A wrong password for user@REALM (the DC answers NT_STATUS_NOT_FOUND, EINVAL to the
    // library) is a logon failure for the host and every folder of it, and costs one attempt;
    // DOMAIN\user the same.
    void wrongPasswordIsALogonFailure() {
        qputenv("KRB5CCNAME", "MEMORY:");
        for (const QString& user : {dc::Alice, QStringLiteral("ORV\\alice")}) {
            Log.Mark();
            auto services = std::make_shared<TkxPlatformServices>();
            services->SetCredentials(AccountWith(user, QStringLiteral("wrong")));
            const QStringList tops{Dc, QStringLiteral("\\\\127.0.0.90\\data"),
                                   QStringLiteral("\\\\127.0.0.90\\data\\reports"),
                                   QStringLiteral("\\\\127.0.0.90\\sysvol")};
            const TkxSearchOutcome failed = SearchToEnd(services, tops);
            QCOMPARE(int(failed.Failed.size()), 4);
            for (const auto& [address, state] : failed.Failed)
                QCOMPARE(state, Stopped(QStringLiteral("Logon failure")));
            QCOMPARE(Log.SmbLogons(true), 1);
            QCOMPARE(Log.SmbLogons(), 1);
        }
    }

    // The ticket alone never reaches a server it can not log on to: no name, no ticket, an
    // expired one. Each is a lasting failure with its reason.
    void ticketOnlyRefusals() {
        QVERIFY(dc::Kinit(Cache("alice"), dc::Alice, dc::AlicePassword));
        UseCache(Cache("alice"));
        auto services = std::make_shared<TkxPlatformServices>();
        services->SetCredentials(Ticket());
        TkxSearchOutcome nameless =
            SearchToEnd(services, {QStringLiteral("127.0.0.91 - 127.0.0.92")});
        for (const char* host : {"127.0.0.91", "127.0.0.92"})
            QCOMPARE(nameless.Failed[QStringLiteral("\\\\") + QString::fromLatin1(host)],
                     Stopped(QStringLiteral("Kerberos needs the server's name; no DNS name "
                                            "maps to ") +
                             QString::fromLatin1(host)));
        // The name a reverse zone claims is still the caption.
        QCOMPARE(nameless.Names[QStringLiteral("\\\\127.0.0.92")], QStringLiteral("dc.orv.test"));

        UseCache(Cache("none"));
        TkxSearchOutcome none = SearchToEnd(services, {Dc, QStringLiteral("\\\\127.0.0.90\\data")});
        QCOMPARE(none.Failed[QStringLiteral("\\\\127.0.0.90")],
                 Stopped(QStringLiteral("There is no Kerberos ticket")));
        QCOMPARE(none.Failed[QStringLiteral("\\\\127.0.0.90\\data")],
                 Stopped(QStringLiteral("There is no Kerberos ticket")));

        QVERIFY(dc::Kinit(Cache("short"), dc::Alice, dc::AlicePassword, QStringLiteral("20s")));
        UseCache(Cache("short"));
        const TkxTicketCache cache = FindTicketCache();
        QCOMPARE(cache.Principal, dc::Alice);
        QVERIFY(cache.HasTicket && !cache.ExpiredAt(QDateTime::currentSecsSinceEpoch()));
        QVERIFY(cache.Expires - QDateTime::currentSecsSinceEpoch() <= 20);
        QTest::qWait(int(cache.Expires - QDateTime::currentSecsSinceEpoch() + 1) * 1000);
        TkxSearchOutcome expired = SearchToEnd(services, {Dc});
        QCOMPARE(expired.Failed[QStringLiteral("\\\\127.0.0.90")],
                 Stopped(QStringLiteral("The Kerberos ticket has expired")));
        QCOMPARE(Log.SmbLogons(), 0);
        QCOMPARE(Log.Count(dc::Anonymous), 0);
    }
};

QTEST_GUILESS_MAIN(TestEngineDc)
#include "test_engine_dc.moc"
