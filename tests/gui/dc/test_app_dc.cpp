// The window's "Use my Kerberos ticket" against the domain controller of scripts/dc-fixture.
// With ORVANE_SCREENSHOTS set to a folder, the window and the dialog are saved there as PNGs.

#include "app/kxApplication.h"
#include "app/kxMain.h"
#include "app/kxTreeDisplay.h"
#include "dialogs/kxConnectAs.h"
#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "gui/kxWhenModal.h"
#include "kxDcFixture.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

namespace {

void Shot(QWidget& w, const QString& name) {
    const QString dir = qEnvironmentVariable("ORVANE_SCREENSHOTS");
    if (dir.isEmpty())
        return;
    QTest::qWait(300);
    w.grab().save(dir + u'/' + name + QStringLiteral(".png"));
}

QStringList Addresses(const TkxProjectDoc& doc) {
    QStringList out;
    for (const TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n))
        out << n->Info.AddressText() + u'=' + n->Info.NameText();
    return out;
}

} // namespace

class TestAppDc : public QObject {
    Q_OBJECT
    QTemporaryDir Dir;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(Dir.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(Dir.filePath(QStringLiteral("config"))));
        SetCurrentLanguage(LangEnglish);
        SetupIconTheme();
    }
    void cleanup() { TkxInfoThread::WaitForAll(); }

    // The ticket chosen in the dialog: the search logs on as its principal with Kerberos,
    // never anonymously, and finds what only domain users may read.
    void kerberosTicketFromTheDialog() {
        const QString cache = Dir.filePath(QStringLiteral("krb5cc"));
        QVERIFY(dc::Kinit(cache, dc::Alice, dc::AlicePassword));
        qputenv("KRB5CCNAME", QByteArray("FILE:") + QFile::encodeName(cache));
        dc::TAuditLog log;
        log.Mark();

        TfrmMain w(QStringList{}, TfrmMain::TOptions{false, nullptr});
        w.show();
        w.setGeometry(0, 0, 1100, 700);
        w.Doc().ClearTree();
        TkxParams p;
        p.Masks = QStringLiteral("*.txt");
        w.Doc().SetParams(p);
        w.Doc().AddRange(QStringLiteral("Domain (127.0.0.90-90)"),
                         QStringLiteral("127.0.0.90 - 127.0.0.90"));

        WhenModal<TdlgConnectAs>([&](TdlgConnectAs* d) {
            d->chkGuest->setChecked(false);
            QVERIFY(d->chkKerberos->isEnabled());
            d->chkKerberos->setChecked(true);
            QVERIFY(!d->edtUser->isEnabled() && d->actOK->isEnabled());
            Shot(*d, QStringLiteral("dc-connect-as"));
            QTest::keyClick(d, Qt::Key_Return);
        });
        w.aeMainIdle();
        w.actConnectAs->trigger();
        QCOMPARE(w.Panels[4]->text(), QStringLiteral("User: ") + dc::Alice);

        w.aeMainIdle();
        w.actRun->trigger();
        QVERIFY(WaitFor([&] { return !w.Doc().IsBusy(); }, 120000));
        QCOMPARE(w.Panels[1]->text(), QStringLiteral("Searching stopped successfully"));
        const QStringList found = Addresses(w.Doc());
        QVERIFY2(found.contains(QStringLiteral("\\\\127.0.0.90=dc.orv.test")),
                 qPrintable(found.join(u' ')));
        QVERIFY(found.contains(QStringLiteral("\\\\127.0.0.90\\data\\reports\\q1.txt=q1.txt")));
        QVERIFY(w.reErrors->toPlainText().isEmpty());
        QVERIFY2(log.Count(dc::KerberosAlice) > 0, log.Text());
        QCOMPARE(log.Count(dc::Anonymous), 0);
        QCOMPARE(log.Count("NTLMSSP"), 0);
        Shot(w, QStringLiteral("dc-search"));
        w.Doc().SetModified(false);
    }
};

int main(int argc, char** argv) {
    // Never the user's own secret store: the connect-as dialog asks it for passwords.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    TkxApplication app(argc, argv);
    TestAppDc test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_dc.moc"
