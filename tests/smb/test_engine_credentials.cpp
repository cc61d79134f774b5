// Searches as guest, as the fixture account and with per-host accounts against the secured
// fixture servers: 127.0.0.4 admits "fixtureuser" with fixture-pass-1 to [private], and
// 127.0.0.3 knows the same account with fixture-pass-3. Each server logs its failed logons, so
// the attempts a search makes can be counted.

#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "kxSearchRun.h"
#include "lang/kxLanguages.h"
#include "platform/kxPlatformServices.h"

#include <QDir>
#include <QDirIterator>
#include <QTest>

#include <map>

namespace {

const QString Three = QStringLiteral("127.0.0.3");
const QString Four = QStringLiteral("127.0.0.4");

TkxCredentials Account(const QString& password) {
    return AccountWith(QStringLiteral("fixtureuser"), password);
}

// Failed logons of the fixture account the server has logged so far.
int FailedLogons(const QString& server) {
    int count = 0;
    QDirIterator it(qEnvironmentVariable("ORVANE_FIXTURE_DIR") + "/srv-" + server + "/log",
                    {QStringLiteral("log.*")}, QDir::Files);
    while (it.hasNext()) {
        QFile f(it.next());
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : f.readAll().split('\n'))
            count += line.contains("[fixtureuser]") && line.contains("NT_STATUS_WRONG_PASSWORD");
    }
    return count;
}

QString Range(const QString& first, const QString& last) {
    return first + QStringLiteral(" - ") + last;
}

const QString LogonFailure = QStringLiteral("Thread has stopped with error (Logon failure)");

} // namespace

class TestEngineCredentials : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { SetCurrentLanguage(LangEnglish); }
    void cleanup() { TkxInfoThread::WaitForAll(); }

    // A guest sees [private] listed and denied; the account reads it.
    void guestAndAccount() {
        auto services = std::make_shared<TkxPlatformServices>();
        const QString priv = QStringLiteral("\\\\127.0.0.4\\private");
        TkxSearchOutcome guest = SearchToEnd(services, {Range(Four, Four)});
        QVERIFY(guest.Addresses.contains(priv));
        QCOMPARE(guest.Addresses.filter(priv + u'\\').size(), 0);
        QCOMPARE(guest.Failed[priv],
                 QStringLiteral("Thread has stopped with error (Access denied)"));

        services->SetCredentials(Account(QStringLiteral("fixture-pass-1")));
        TkxSearchOutcome user = SearchToEnd(services, {Range(Four, Four)});
        QVERIFY2(!user.Failed.count(priv), qPrintable(user.Failed[priv]));
        for (const char* file : {"\\plan.txt", "\\reports\\q1.txt"})
            QVERIFY2(user.Addresses.contains(priv + QString::fromLatin1(file)), file);
    }

    // A wrong password fails each host's task with the server's reason and costs each server
    // one failed logon per search, also when many tasks of the host start at once.
    void wrongPasswordOneAttemptPerHost() {
        auto services = std::make_shared<TkxPlatformServices>();
        services->SetCredentials(Account(QStringLiteral("wrong")));
        const int three = FailedLogons(Three), four = FailedLogons(Four);
        TkxSearchOutcome hosts = SearchToEnd(services, {Range(Three, Four)});
        // The services forget the password when a search ends: each search is handed it.
        services->SetCredentials(Account(QStringLiteral("wrong")));
        QCOMPARE(hosts.Failed[QStringLiteral("\\\\127.0.0.3")], LogonFailure);
        QCOMPARE(hosts.Failed[QStringLiteral("\\\\127.0.0.4")], LogonFailure);
        QCOMPARE(FailedLogons(Three), three + 1);
        QCOMPARE(FailedLogons(Four), four + 1);

        QStringList tops;
        for (const char* path : {"private", "mixed", "walk", "mixed\\open", "walk\\top1",
                                 "walk\\top2", "walk\\top3", "private\\reports"})
            tops << QStringLiteral("\\\\127.0.0.4\\") + QString::fromLatin1(path);
        TkxSearchOutcome folders = SearchToEnd(services, tops);
        QCOMPARE(int(folders.Failed.size()), tops.size());
        for (const auto& [address, state] : folders.Failed)
            QCOMPARE(state, LogonFailure);
        QCOMPARE(FailedLogons(Four), four + 2);
    }

    // A host's own account is used for that host only, and the other hosts keep the default.
    void perHostCredentials() {
        auto services = std::make_shared<TkxPlatformServices>();
        const QString priv = QStringLiteral("\\\\127.0.0.4\\private\\plan.txt");
        const QString docs = QStringLiteral("\\\\127.0.0.3\\docs\\manual.txt");
        const int three = FailedLogons(Three), four = FailedLogons(Four);

        // Guest by default, the account at .4: had .3 been asked with .4's password, it
        // would have refused it.
        const TkxCredentials one = Account(QStringLiteral("fixture-pass-1"));
        services->SetHostCredentials(Four, &one);
        TkxSearchOutcome mixed = SearchToEnd(services, {Range(Three, Four)});
        QVERIFY(mixed.Addresses.contains(priv));
        QVERIFY(mixed.Addresses.contains(docs));
        QVERIFY(!mixed.Failed.count(QStringLiteral("\\\\127.0.0.3")));

        // The account by default (right for .4), .3 with its own password.
        services->SetHostCredentials(Four, nullptr);
        services->SetCredentials(one);
        const TkxCredentials other = Account(QStringLiteral("fixture-pass-3"));
        services->SetHostCredentials(QStringLiteral("127.0.0.3"), &other);
        TkxSearchOutcome both = SearchToEnd(services, {Range(Three, Four)});
        QVERIFY(both.Addresses.contains(priv));
        QVERIFY(both.Addresses.contains(docs));
        QCOMPARE(FailedLogons(Three), three);
        QCOMPARE(FailedLogons(Four), four);

        // Without its own, .3 gets the default password, which is not its own.
        services->SetHostCredentials(Three, nullptr);
        services->SetCredentials(one);
        TkxSearchOutcome back = SearchToEnd(services, {Range(Three, Four)});
        QCOMPARE(back.Failed[QStringLiteral("\\\\127.0.0.3")], LogonFailure);
        QVERIFY(back.Addresses.contains(priv));
        QCOMPARE(FailedLogons(Three), three + 1);
    }
};

QTEST_GUILESS_MAIN(TestEngineCredentials)
#include "test_engine_credentials.moc"
