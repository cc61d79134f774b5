#include "platform/kxKeyring.h"

#include <QDirIterator>
#include <QProcess>
#include <QtTest>

namespace {

// A password with quotes, blanks and letters outside ASCII, as users choose them.
const QString Secret =
    QStringLiteral("p\u00e4ss \"w\u00f6rd\" '\u043f\u0430\u0440\u043e\u043b\u044c'");

bool AnyFileHolds(const QString& dir, const QByteArray& bytes) {
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (f.open(QIODevice::ReadOnly) && f.readAll().contains(bytes))
            return true;
    }
    return false;
}

} // namespace

class TestPlatformKeyring : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() {
        if (qEnvironmentVariableIsSet("ORVANE_NO_KEYRING") !=
            (QString::fromLatin1(QTest::currentTestFunction()) == u"noStore"))
            QSKIP("needs the other kind of session");
    }

    // Without a session bus there is nothing to keep a password in, and the caller is told so
    // at once (the password is then kept for the run only).
    void noStore() {
        const TkxKeyringAnswer a = RememberPasswordNow(QStringLiteral("dave"), Secret);
        QCOMPARE(a.Outcome, TkxKeyringAnswer::NoStore);
        QVERIFY(!a.ErrorText.isEmpty());
        QCOMPARE(ReadRememberedPasswordNow(QStringLiteral("dave")).Outcome,
                 TkxKeyringAnswer::NoStore);
    }

    void rememberReadForget() {
        const QString alice = QStringLiteral("FIXTURE\\alice");
        const QString bob = QStringLiteral("bob@FIXTURE.TEST");
        QCOMPARE(ReadRememberedPasswordNow(alice).Outcome, TkxKeyringAnswer::NotFound);
        QCOMPARE(RememberPasswordNow(alice, Secret).Outcome, TkxKeyringAnswer::Ok);
        QCOMPARE(RememberPasswordNow(bob, QStringLiteral("other")).Outcome, TkxKeyringAnswer::Ok);

        const TkxKeyringAnswer read = ReadRememberedPasswordNow(alice);
        QCOMPARE(read.Outcome, TkxKeyringAnswer::Ok);
        QCOMPARE(read.Password, Secret);
        QCOMPARE(ReadRememberedPasswordNow(bob).Password, QStringLiteral("other"));

        // The store keeps it encrypted: no file of the session holds it in clear.
        const QString home = qEnvironmentVariable("HOME");
        QVERIFY(!home.isEmpty());
        QVERIFY(!AnyFileHolds(home, Secret.toUtf8()));
        QVERIFY(!AnyFileHolds(
            home, QByteArray(reinterpret_cast<const char*>(Secret.utf16()), Secret.size() * 2)));

        QCOMPARE(ForgetPasswordNow(alice).Outcome, TkxKeyringAnswer::Ok);
        QCOMPARE(ReadRememberedPasswordNow(alice).Outcome, TkxKeyringAnswer::NotFound);
        QCOMPARE(ReadRememberedPasswordNow(bob).Outcome, TkxKeyringAnswer::Ok);
    }

    // The window reads asynchronously: the answer arrives through the event loop, and never
    // after its receiver is gone.
    void asynchronousAnswers() {
        QVERIFY(RememberPasswordNow(QStringLiteral("carol"), Secret).Outcome ==
                TkxKeyringAnswer::Ok);
        std::optional<TkxKeyringAnswer> got;
        QObject receiver;
        ReadRememberedPassword(QStringLiteral("carol"), &receiver,
                               [&](const TkxKeyringAnswer& a) { got = a; });
        QVERIFY(!got);
        QTRY_VERIFY(got.has_value());
        QCOMPARE(got->Password, Secret);

        bool called = false;
        auto* gone = new QObject;
        ReadRememberedPassword(QStringLiteral("carol"), gone,
                               [&](const TkxKeyringAnswer&) { called = true; });
        delete gone;
        QTest::qWait(200);
        QVERIFY(!called);
    }
};

QTEST_GUILESS_MAIN(TestPlatformKeyring)

#include "test_platform_keyring.moc"
