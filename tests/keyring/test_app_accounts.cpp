// The window's account choice with a secret store of the test's own: a remembered password
// is there again after a restart (of the keeper and of the whole window), fills the dialog,
// and is in no file of the session.

#include "app/kxMain.h"
#include "dialogs/kxConnectAs.h"
#include "document/kxAccounts.h"
#include "document/kxProjectDoc.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"
#include "platform/kxKeyring.h"
#include "platform/kxSecrets.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>
#include <QtTest>

namespace {

const QString Secret = QStringLiteral("p\u00e4ss \u043f\u0430\u0440\u043e\u043b\u044c 1");

bool AnyFileHolds(const QString& dir, const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    const QByteArray utf16(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray bytes = f.readAll();
        if (bytes.contains(utf8) || bytes.contains(utf16))
            return true;
    }
    return false;
}

// Runs step on the dialog once it is up and its first look-up in the store has answered.
void WhenDialog(std::function<void(TdlgConnectAs*)> step) {
    QTimer::singleShot(0, [step] {
        QTRY_VERIFY(qobject_cast<TdlgConnectAs*>(QApplication::activeModalWidget()));
        auto* d = qobject_cast<TdlgConnectAs*>(QApplication::activeModalWidget());
        step(d);
        if (d->isVisible())
            d->close();
    });
}

} // namespace

class TestAppAccounts : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { SetCurrentLanguage(LangEnglish); }

    void rememberedAcrossRestarts() {
        {
            TkxAccounts accounts;
            accounts.Load();
            TkxConnectAs alice;
            alice.Mode = TkxConnectAs::Account;
            alice.User = QStringLiteral("LAN\\alice");
            alice.Password = Secret;
            alice.Remember = true;
            accounts.SetChoice(alice);
            TkxConnectAs bob = alice;
            bob.User = QStringLiteral("bob");
            bob.Password = QStringLiteral("bobs-own");
            accounts.SetChoice(bob, QStringLiteral("\\\\10.0.0.7"));
            QTRY_COMPARE(ReadRememberedPasswordNow(QStringLiteral("LAN\\alice")).Password, Secret);
            QTRY_COMPARE(ReadRememberedPasswordNow(QStringLiteral("\\\\10.0.0.7\\bob")).Password,
                         QStringLiteral("bobs-own"));
        }

        // The window starts again: the user, then the password from the store.
        TkxAccounts accounts;
        QSignalSpy changed(&accounts, &TkxAccounts::Changed);
        accounts.Load();
        QCOMPARE(accounts.Choice().User, QStringLiteral("LAN\\alice"));
        QTRY_COMPARE(accounts.Choice().Password, Secret);
        QVERIFY(!accounts.NeedsPassword() && !accounts.Choice().NoStore);
        QCOMPARE(accounts.StatusText(), QStringLiteral("User: LAN\\alice"));
        QVERIFY(changed.size() >= 2);

        // A host's own account is not kept, but its password is found once the name is typed.
        bool filled = false;
        WhenDialog([&](TdlgConnectAs* d) {
            QVERIFY(d->chkAsOthers->isChecked());
            d->chkAsOthers->setChecked(false);
            d->chkGuest->setChecked(false);
            QTest::keyClicks(d->edtUser, QStringLiteral("bob"));
            QTest::keyClick(d->edtUser, Qt::Key_Return); // done with the name
            QTRY_COMPARE(d->edtPassword->text(), QStringLiteral("bobs-own"));
            QVERIFY(d->chkRemember->isChecked() && !d->lblNoStore->isVisible());
            // Another name is another account: the password found goes.
            QTest::keyClick(d->edtUser, Qt::Key_End);
            QTest::keyClicks(d->edtUser, QStringLiteral("by"));
            QVERIFY(d->edtPassword->text().isEmpty());
            filled = true;
            QTest::keyClick(d, Qt::Key_Escape);
        });
        QVERIFY(!ExecuteConnectAs(nullptr, accounts, QStringLiteral("10.0.0.7")));
        QVERIFY(filled);

        // Unticking "Remember" forgets it.
        WhenDialog([](TdlgConnectAs* d) {
            QCOMPARE(d->edtPassword->text(), Secret);
            QVERIFY(d->chkRemember->isChecked());
            d->chkRemember->setChecked(false);
            QTest::keyClick(d, Qt::Key_Return);
        });
        QVERIFY(ExecuteConnectAs(nullptr, accounts));
        QTRY_COMPARE(ReadRememberedPasswordNow(QStringLiteral("LAN\\alice")).Outcome,
                     TkxKeyringAnswer::NotFound);

        const QString home = qEnvironmentVariable("HOME");
        QVERIFY(!home.isEmpty());
        QVERIFY(!AnyFileHolds(home, Secret));
        QVERIFY(!AnyFileHolds(qEnvironmentVariable("XDG_CONFIG_HOME"), Secret));
    }

    // Through the window: remembered from the dialog it opens, found again by a new window on
    // the same settings, so a search starts without asking.
    void windowRemembersAcrossRestarts() {
        QSettings(QStringLiteral("KX"), QStringLiteral("Orvane")).clear();
        const QString secret = QStringLiteral("window-пароль");
        auto net = std::make_shared<TkxFakeServices>();
        {
            TfrmMain w({}, TfrmMain::TOptions{false, net});
            w.show();
            WhenDialog([&](TdlgConnectAs* d) {
                d->chkGuest->setChecked(false);
                QTest::keyClicks(d->edtUser, QStringLiteral("carol"));
                QTest::keyClicks(d->edtPassword, QStringLiteral("window-"));
                d->edtPassword->insert(secret.mid(7)); // beyond what key clicks can type
                QTRY_VERIFY(d->chkRemember->isEnabled());
                d->chkRemember->setChecked(true);
                QTest::keyClick(d, d->actOK->isEnabled() ? Qt::Key_Return : Qt::Key_Escape);
            });
            w.aeMainIdle();
            w.actConnectAs->trigger();
            QCOMPARE(w.Panels[4]->text(), QStringLiteral("User: carol"));
            QTRY_COMPARE(ReadRememberedPasswordNow(QStringLiteral("carol")).Password, secret);
            w.Doc().SetModified(false);
            QVERIFY(w.close());
        }
        TfrmMain again({}, TfrmMain::TOptions{false, net});
        again.show();
        QTRY_COMPARE(again.Panels[4]->text(), QStringLiteral("User: carol"));
        QTRY_VERIFY(!again.Accounts->NeedsPassword());
        QCOMPARE(again.Accounts->Choice().Password, secret);
        // The process holding the password may not be dumped; the services forget it when a
        // search ends and are handed it again when the next one starts.
        QVERIFY(!TkxNotDumpable::ProcessDumpable());
        for (int search = 0; search < 2; ++search) {
            again.aeMainIdle();
            again.actRun->trigger();
            QVERIFY(WaitIdle(again.Doc()));
        }
        const std::vector<QString> handed = net->HandedSoFar();
        QCOMPARE(std::vector<QString>(handed.end() - 4, handed.end()),
                 (std::vector<QString>{"carol|" + secret, "forgot", "carol|" + secret, "forgot"}));
        again.Doc().SetModified(false);

        QVERIFY(!AnyFileHolds(qEnvironmentVariable("HOME"), secret));
        QVERIFY(!AnyFileHolds(qEnvironmentVariable("XDG_CONFIG_HOME"), secret));
    }
};

QTEST_MAIN(TestAppAccounts)
#include "test_app_accounts.moc"
