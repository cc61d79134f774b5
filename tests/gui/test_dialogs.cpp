#include "app/kxApplication.h"
#include "dialogs/kxAbout.h"
#include "dialogs/kxConnectAs.h"
#include "dialogs/kxMasks.h"
#include "dialogs/kxRange.h"
#include "dialogs/kxTargets.h"
#include "document/kxAccounts.h"
#include "gui/kxPrivateSettings.h"
#include "gui/kxWhenModal.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"
#include "lang/kxTranslate.h"
#include "platform/kxKerberos.h"
#include "storage/kxUtils.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSettings>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <functional>

namespace {

void Retype(QLineEdit* edit, const QString& text) {
    edit->selectAll();
    QTest::keyClicks(edit, text);
}

// The dialog's result and the two texts it hands back ("-" when left untouched).
QStringList RunRangeDialog(std::function<void(TdlgRange*)> step) {
    WhenModal<TdlgRange>(std::move(step));
    QString name = QStringLiteral("-"), range = QStringLiteral("-");
    const bool confirmed = ExecuteRangeDialog(nullptr, name, range);
    return {confirmed ? QStringLiteral("OK") : QStringLiteral("Cancel"), name, range};
}

// "name|b1.b2.b3.b4|e1.e2.e3.e4"
QString Fields(const TdlgRange* d) {
    return QStringLiteral("%1|%2.%3.%4.%5|%6.%7.%8.%9")
        .arg(d->edtName->text(), d->edtB1->text(), d->edtB2->text(), d->edtB3->text(),
             d->edtB4->text(), d->edtE1->text(), d->edtE2->text(), d->edtE3->text(),
             d->edtE4->text());
}

// A file ticket cache (format 4) holding nothing but its default principal.
QByteArray CCache(const QList<QByteArray>& components, const QByteArray& realm) {
    QByteArray b("\x05\x04\x00\x0c", 4);
    b += QByteArray(12, '\x01'); // a header tag the reader must skip
    auto u32 = [&b](quint32 v) {
        for (int shift = 24; shift >= 0; shift -= 8)
            b += char((v >> shift) & 0xFF);
    };
    u32(1);
    u32(quint32(components.size()));
    u32(quint32(realm.size()));
    b += realm;
    for (const QByteArray& c : components) {
        u32(quint32(c.size()));
        b += c;
    }
    return b;
}

// What the keeper handed to the services, one line per call.
class TRecordedServices : public TkxFakeServices {
public:
    QStringList Calls;
    void SetCredentials(const TkxCredentials& c) override { Calls << Text(c); }
    void SetHostCredentials(const QString& host, const TkxCredentials* c) override {
        Calls << host + QStringLiteral(": ") + (c ? Text(*c) : QStringLiteral("default"));
    }
    static QString Text(const TkxCredentials& c) {
        return QStringLiteral("%1|%2|%3|%4").arg(c.Domain, c.User, c.Password).arg(c.UseKerberos);
    }
};

TkxConnectAs As(TkxConnectAs::TMode mode, const QString& user = {}, const QString& password = {}) {
    TkxConnectAs c;
    c.Mode = mode;
    c.User = user;
    c.Password = password;
    return c;
}

// Runs the connect-as dialog on `choice` with `step`; "OK" or "Cancel".
QString RunConnectAs(TkxConnectAs& choice, std::function<void(TdlgConnectAs*)> step,
                     const QString& host = {}) {
    WhenModal<TdlgConnectAs>(std::move(step));
    return ExecuteConnectAsDialog(nullptr, choice, host) ? QStringLiteral("OK")
                                                         : QStringLiteral("Cancel");
}

} // namespace

class TestDialogs : public QObject {
    Q_OBJECT
    TkxPrivateSettings ConfigDir;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(ConfigDir.isValid());
        QSettings(QStringLiteral("KX"), QStringLiteral("Orvane")).clear();
        SetCurrentLanguage(LangEnglish);
    }

    // First use with nothing stored, then the values typed last come back, after OK, after
    // Escape and after the close box alike; the texts handed back follow the fields as typed.
    void rangeDialogAcrossUses() {
        QCOMPARE(RunRangeDialog([](TdlgRange* d) {
                     QCOMPARE(d->windowTitle(), QStringLiteral("Add range"));
                     QCOMPARE(d->lblBegin->text(), QStringLiteral("First IP"));
                     QCOMPARE(Fields(d), QStringLiteral("|127.0.0.1|127.0.0.1"));
                     QTest::keyClick(d->edtName, Qt::Key_Return);
                     QVERIFY(d->isVisible() && !d->actOK->isEnabled());
                     QTest::keyClicks(d->edtName, QStringLiteral("Office"));
                     Retype(d->edtB1, QStringLiteral("192"));
                     Retype(d->edtB2, QStringLiteral("168"));
                     Retype(d->edtB4, QStringLiteral("7"));
                     Retype(d->edtE4, QStringLiteral("254"));
                     Retype(d->edtB4, QStringLiteral("1"));
                     QCOMPARE(Fields(d), QStringLiteral("Office|192.168.0.1|192.168.0.254"));
                     QTest::keyClick(d->edtE4, Qt::Key_Return);
                 }),
                 QStringList({"OK", "Office (192.168.0.1-254)", "192.168.0.1 - 192.168.0.254"}));

        QCOMPARE(RunRangeDialog([](TdlgRange* d) {
                     QCOMPARE(Fields(d), QStringLiteral("Office|192.168.0.1|192.168.0.254"));
                     Retype(d->edtName, QStringLiteral("Lab"));
                     Retype(d->edtB1, QStringLiteral("300"));
                     QTest::keyClick(d->edtB1, Qt::Key_Escape);
                     QVERIFY(!d->isVisible());
                 }),
                 QStringList({"Cancel", "-", "-"}));
        QCOMPARE(RunRangeDialog([](TdlgRange* d) {
                     QCOMPARE(Fields(d), QStringLiteral("Lab|300.168.0.1|300.168.0.254"));
                     Retype(d->edtB4, QStringLiteral("9"));
                     d->close();
                 }),
                 QStringList({"Cancel", "-", "-"}));
        QCOMPARE(RunRangeDialog([](TdlgRange* d) {
                     QCOMPARE(d->edtB4->text(), QStringLiteral("9"));
                     QTest::mouseClick(d->sbOK, Qt::LeftButton);
                 }),
                 QStringList({"OK", "Lab (44.168.0.9-254)", "44.168.0.9 - 44.168.0.254"}));
    }

    // Both buttons 1.5 times the wider caption (halves to even) but never narrower than the
    // designed Cancel, touching, Cancel 8 pixels from the right edge; in both languages.
    // With nothing stored the dialog opens centred on its owner.
    void layoutButtons() {
        QCOMPARE(RoundHalfEven(112.5), 112);
        QCOMPARE(RoundHalfEven(113.5), 114);
        QCOMPARE(RoundHalfEven(74.25), 74);
        for (quint32 language : {LangEnglish, LangRussian}) {
            SetCurrentLanguage(language);
            QSettings(QStringLiteral("KX"), QStringLiteral("Orvane"))
                .remove(QStringLiteral("Data1"));
            QWidget owner;
            owner.setGeometry(100, 80, 900, 700);
            TdlgMasks d(&owner);
            d.show();
            QTRY_COMPARE(d.sbCancel->text(), TextCancel());
            QCOMPARE(d.sbOK->text(), QStringLiteral("OK"));
            const QSize outer = d.frameGeometry().size();
            QCOMPARE(d.pos(),
                     QPoint(100 + (900 - outer.width()) / 2, 80 + (700 - outer.height()) / 2));

            auto expected = [&](const QString& ok, const QString& cancel) {
                const QFontMetrics m(d.font());
                return std::max({RoundHalfEven(1.5 * m.horizontalAdvance(ok)),
                                 RoundHalfEven(1.5 * m.horizontalAdvance(cancel)),
                                 TdlgAbst::DesignButtonWidth});
            };
            auto check = [&](int width) {
                QCOMPARE(d.sbOK->width(), width);
                QCOMPARE(d.sbCancel->width(), width);
                QCOMPARE(d.sbCancel->x() + d.sbCancel->width(),
                         d.sbCancel->parentWidget()->width() - 8);
                QCOMPARE(d.sbOK->x() + d.sbOK->width(), d.sbCancel->x());
                QCOMPARE(d.sbOK->y(), d.sbCancel->y());
            };
            check(expected(QStringLiteral("OK"), TextCancel()));

            const QString longCaption = TextTranslateRequest();
            d.actCancel->setText(longCaption);
            d.LayoutButtons();
            QVERIFY(expected(QStringLiteral("OK"), longCaption) > 75);
            check(expected(QStringLiteral("OK"), longCaption));
            // The dialog widens to keep the pair inside.
            QTRY_VERIFY(d.sbOK->x() >= 8);
        }
        SetCurrentLanguage(LangEnglish);
    }

    // Masks one per line and back: blanks separate like ';', a mask holding a blank comes
    // back quoted, empty entries survive, and Cancel returns the input exactly.
    void editMasksRoundTrips() {
        QStringList shown;
        auto edit = [&shown](const QString& input, std::function<void(TdlgMasks*)> change = {},
                             bool confirm = true) {
            WhenModal<TdlgMasks>([&shown, change, confirm](TdlgMasks* d) {
                QCOMPARE(d->windowTitle(), TextMasks());
                shown = MemoLines(d->memoMasks);
                if (change)
                    change(d);
                QTest::keyClick(d, confirm ? Qt::Key_Return : Qt::Key_Escape);
            });
            return EditMasks(nullptr, input);
        };
        QCOMPARE(edit(QStringLiteral("*.avi;*.mp3")), QStringLiteral("*.avi;*.mp3"));
        QCOMPARE(shown, QStringList({"*.avi", "*.mp3"}));
        QCOMPARE(edit(QStringLiteral("*.avi; *.mp3")), QStringLiteral("*.avi;*.mp3"));
        QCOMPARE(edit(QStringLiteral(";*.a;;*.b;")), QStringLiteral(";*.a;;*.b;"));
        QCOMPARE(shown, QStringList({"", "*.a", "", "*.b", ""}));

        const QString quoted = edit(QString(), [](TdlgMasks* d) {
            QTest::keyClicks(d->memoMasks, QStringLiteral("My *.doc"));
            QTest::keyClick(d->memoMasks, Qt::Key_Return);
            QTest::keyClicks(d->memoMasks, QStringLiteral("say \"hi\""));
        });
        QCOMPARE(quoted, QStringLiteral("\"My *.doc\";\"say \"\"hi\"\"\""));
        QCOMPARE(edit(quoted), quoted);
        QCOMPARE(shown, QStringList({"My *.doc", "say \"hi\""}));

        const QString messy = QStringLiteral("  *.a ;;\t x  ");
        auto clear = [](TdlgMasks* d) { d->memoMasks->clear(); };
        QCOMPARE(edit(messy, clear, false), messy);
        QCOMPARE(edit(messy, clear), QString());
        QCOMPARE(edit(messy, [](TdlgMasks* d) { d->memoMasks->setPlainText("\n"); }),
                 QStringLiteral("\"\""));
    }

    // A pasted list: the live line counts and names overlaps, a wrong line keeps OK disabled
    // (Enter too) until it is mended, and OK hands back the ranges in order.
    void targetsDialogPastedList() {
        TkxTargetList targets;
        WhenModal<TdlgTargets>([](TdlgTargets* d) {
            QCOMPARE(d->windowTitle(), QStringLiteral("Add targets"));
            QCOMPARE(d->sbFromFile->text(), QStringLiteral("From file..."));
            QCOMPARE(d->lblSummary->text(), QStringLiteral("Ranges: 0, addresses: 0"));
            QVERIFY(!d->actOK->isEnabled());
            QGuiApplication::clipboard()->setText(
                QStringLiteral("Office=192.0.2.0/24\r\n!192.0.2.1\r\n# branch servers\r\n"
                               "198.51.100.7 - 198.51.100.20\r\n198.51.100.10\r\n"));
            d->memoTargets->paste();
            QCOMPARE(d->lblSummary->text(),
                     QStringLiteral("Ranges: 4, addresses: 270; 2 ranges overlap"));
            QVERIFY(d->actOK->isEnabled());
            QTest::keyClicks(d->memoTargets, QStringLiteral("10.0.0.300"));
            QCOMPARE(d->lblSummary->text(),
                     QStringLiteral("Line 6: '10.0.0.300' has an octet over 255"));
            QVERIFY(!d->actOK->isEnabled());
            QTest::keyClick(d, Qt::Key_Return);
            QVERIFY(d->isVisible());
            QVERIFY(d->Targets().empty());
            for (int i = 0; i < 3; ++i)
                QTest::keyClick(d->memoTargets, Qt::Key_Backspace);
            QTest::keyClicks(d->memoTargets, QStringLiteral("1"));
            QTRY_VERIFY(d->actOK->isEnabled());
            QCOMPARE(d->lblSummary->text(),
                     QStringLiteral("Ranges: 5, addresses: 271; 2 ranges overlap"));
            QTest::mouseClick(d->sbOK, Qt::LeftButton);
        });
        QVERIFY(ExecuteTargetsDialog(nullptr, targets));
        QCOMPARE(targets.size(), size_t(5));
        QCOMPARE(targets[1].Caption(), QStringLiteral("Office #2 (192.0.2.2-255)"));
        QCOMPARE(targets[4].RangeText(), QStringLiteral("10.0.0.1 - 10.0.0.1"));
    }

    // A block above 65,536 addresses needs the box ticked, and the consent goes with the text
    // it was given for; a file that is no text leaves the field alone and says which line;
    // a good file replaces the field, and Undo brings the old text back. In Russian too.
    void targetsDialogLargeRangesAndFiles() {
        QTemporaryDir dir;
        const QString binary = dir.filePath(QStringLiteral("image.bin"));
        const QString list = dir.filePath(QStringLiteral("list.txt"));
        QFile f(binary);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray("10.0.0.1\n\x7f"
                           "ELF\0\1",
                           15));
        f.close();
        QFile g(list);
        QVERIFY(g.open(QIODevice::WriteOnly));
        g.write("# lab\r\nLab=10.9.0.0/30\r\n");
        g.close();

        for (quint32 language : {LangEnglish, LangRussian}) {
            SetCurrentLanguage(language);
            const bool en = language == LangEnglish;
            TdlgTargets d(nullptr);
            d.show();
            QCoreApplication::sendPostedEvents(&d, TfrmAbst::ApplyTextsEvent());
            QVERIFY(!d.cbAllowLarge->isVisible());
            d.memoTargets->setPlainText(QStringLiteral("10.0.0.0/8"));
            QCOMPARE(d.lblSummary->text(),
                     en ? QStringLiteral("10.0.0.0 - 10.255.255.255 holds 16,777,216 addresses")
                        : QString::fromUtf8("10.0.0.0 - 10.255.255.255 содержит адресов: "
                                            "16\u00a0777\u00a0216"));
            QVERIFY(d.cbAllowLarge->isVisible() && !d.actOK->isEnabled());
            d.cbAllowLarge->click();
            QVERIFY(d.actOK->isEnabled());
            QCOMPARE(d.lblSummary->text(),
                     en ? QStringLiteral("Ranges: 1, addresses: 16,777,216")
                        : QString::fromUtf8("Диапазонов: 1, адресов: 16\u00a0777\u00a0216"));
            d.memoTargets->appendPlainText(QStringLiteral("10.0.0.1"));
            QVERIFY(d.cbAllowLarge->isChecked() && d.actOK->isEnabled());
            d.memoTargets->setPlainText(QStringLiteral("10.0.0.0/7"));
            QVERIFY(!d.cbAllowLarge->isChecked() && !d.actOK->isEnabled());
            d.cbAllowLarge->click();
            d.memoTargets->setPlainText(QStringLiteral("10.0.0.0/24"));
            QVERIFY(!d.cbAllowLarge->isVisible() && d.actOK->isEnabled());
            d.memoTargets->setPlainText(QStringLiteral("10.0.0.0/7"));
            QVERIFY(!d.cbAllowLarge->isChecked() && !d.actOK->isEnabled());

            d.memoTargets->setPlainText(QStringLiteral("10.0.0.1"));
            QVERIFY(!d.LoadFile(binary));
            QCOMPARE(d.lblSummary->text(),
                     en ? QStringLiteral("image.bin is not text (line 2)")
                        : QString::fromUtf8("image.bin — не текст (строка 2)"));
            QCOMPARE(d.memoTargets->toPlainText(), QStringLiteral("10.0.0.1"));
            QVERIFY(!d.actOK->isEnabled());
            QVERIFY(!d.LoadFile(dir.filePath(QStringLiteral("gone.txt"))));
            QVERIFY(d.lblSummary->text().startsWith(en ? "gone.txt can not be read: "
                                                       : "Не удаётся прочитать gone.txt: "));
            QVERIFY(d.LoadFile(list));
            QCOMPARE(d.memoTargets->toPlainText(), QStringLiteral("# lab\nLab=10.9.0.0/30\n"));
            QVERIFY(d.actOK->isEnabled());
            QCOMPARE(d.Targets().size(), size_t(1));
            d.memoTargets->undo();
            QCOMPARE(d.memoTargets->toPlainText(), QStringLiteral("10.0.0.1"));
            d.memoTargets->setPlainText(QStringLiteral("10.0.0.1\n10.0.0.1"));
            QCOMPARE(
                d.lblSummary->text(),
                en ? QStringLiteral("Ranges: 2, addresses: 2; 2 ranges overlap")
                   : QString::fromUtf8("Диапазонов: 2, адресов: 2; пересекаются диапазоны: 2"));
        }
        SetCurrentLanguage(LangEnglish);
    }

    // Escape closes the about box at once, other keys leave it open; it shows the version
    // and stores nothing.
    void aboutClosesOnEscapeOnly() {
        QSettings(QStringLiteral("KX"), QStringLiteral("Orvane")).clear();
        bool stayedOpen = false;
        WhenModal<TdlgAbout>([&](TdlgAbout* about) {
            QCOMPARE(about->lblName->text(),
                     QStringLiteral("Orvane (%1)").arg(ProgramVersionText()));
            QVERIFY(about->windowTitle().isEmpty());
            for (Qt::Key key : {Qt::Key_Return, Qt::Key_Space, Qt::Key_A, Qt::Key_F4})
                QTest::keyClick(about, key);
            stayedOpen = about->isVisible();
            QTest::keyClick(about, Qt::Key_Escape);
            QVERIFY(!about->isVisible());
        });
        TdlgAbout about(nullptr);
        about.StartTimer();
        about.Execute();
        QVERIFY(stayedOpen);
        QVERIFY(!about.isVisible());
        QVERIFY(QSettings(QStringLiteral("KX"), QStringLiteral("Orvane")).allKeys().isEmpty());
    }

    // Guest by default with every other field off, in both languages; as no secret store
    // runs for these tests, the dialog says so and offers no remembering.
    void connectAsTexts() {
        const QString shots = qEnvironmentVariable("ORVANE_SHOT_DIR");
        const QStringList titles{"Connect as", "Connect to this host as (10.0.0.7)",
                                 "Подключаться как", "Подключаться к этому узлу как (10.0.0.7)"};
        int shown = 0;
        for (quint32 language : {LangEnglish, LangRussian}) {
            SetCurrentLanguage(language);
            for (const QString& host : {QString(), QStringLiteral("10.0.0.7")}) {
                TkxConnectAs choice;
                choice.Mode = host.isEmpty() ? TkxConnectAs::Guest : TkxConnectAs::Account;
                RunConnectAs(
                    choice,
                    [&](TdlgConnectAs* d) {
                        QCOMPARE(d->windowTitle(), titles[shown++]);
                        QCOMPARE(d->chkAsOthers != nullptr, !host.isEmpty());
                        QCOMPARE(d->chkGuest->text(), language == LangEnglish ? "Guest" : "Гость");
                        QCOMPARE(d->edtUser->isEnabled(), !host.isEmpty());
                        QVERIFY(!d->chkKerberos->isEnabled()); // no ticket cache here
                        QTRY_VERIFY(d->lblNoStore->isVisible());
                        QVERIFY(!d->chkRemember->isEnabled());
                        if (!shots.isEmpty())
                            d->grab().save(
                                QStringLiteral("%1/connect-as-%2.png").arg(shots).arg(shown));
                    },
                    host);
            }
        }
        QCOMPARE(shown, 4);
        SetCurrentLanguage(LangEnglish);
    }

    // OK needs a user in one of the three forms and a password; Guest and "same as the
    // other hosts" need nothing. The choice handed back is what the fields say.
    void connectAsOkConditions() {
        TkxConnectAs choice;
        choice.User = QStringLiteral("LAN\\alice");
        choice.Remember = true;
        QCOMPARE(
            RunConnectAs(
                choice,
                [](TdlgConnectAs* d) {
                    QVERIFY(d->actOK->isEnabled());
                    QTest::mouseClick(d->chkGuest, Qt::LeftButton, Qt::KeyboardModifiers(),
                                      QPoint(4, d->chkGuest->height() / 2));
                    QVERIFY(d->edtUser->isEnabled() && d->edtPassword->isEnabled());
                    QCOMPARE(d->edtUser->text(), QStringLiteral("LAN\\alice"));
                    QVERIFY(!d->actOK->isEnabled()); // no password
                    QTest::keyClicks(d->edtPassword, QStringLiteral("s3cret"));
                    QVERIFY(d->actOK->isEnabled());
                    for (const char* bad : {"a\\b\\c", "\\alice", "LAN\\", "alice@", "@LAN", " "}) {
                        Retype(d->edtUser, QString::fromLatin1(bad));
                        QVERIFY2(!d->actOK->isEnabled(), bad);
                    }
                    for (const char* good : {"alice@LAN.TEST", "alice", "LAN\\bob"}) {
                        Retype(d->edtUser, QString::fromLatin1(good));
                        QVERIFY2(d->actOK->isEnabled(), good);
                    }
                    QTest::keyClick(d->edtPassword, Qt::Key_Return);
                }),
            QStringLiteral("OK"));
        QCOMPARE(choice.Mode, TkxConnectAs::Account);
        QCOMPARE(choice.User, QStringLiteral("LAN\\bob"));
        QCOMPARE(choice.Password, QStringLiteral("s3cret"));
        QVERIFY(!choice.Remember && choice.NoStore); // nothing to remember it in
        const TkxCredentials c = choice.Credentials();
        QCOMPARE(TRecordedServices::Text(c), QStringLiteral("LAN|bob|s3cret|0"));

        QCOMPARE(RunConnectAs(
                     choice,
                     [](TdlgConnectAs* d) {
                         QVERIFY(!d->chkAsOthers->isChecked() && d->actOK->isEnabled());
                         d->chkAsOthers->setChecked(true);
                         QVERIFY(!d->chkGuest->isEnabled() && !d->edtUser->isEnabled());
                         QTest::keyClick(d, Qt::Key_Return);
                     },
                     QStringLiteral("10.0.0.7")),
                 QStringLiteral("OK"));
        QCOMPARE(choice.Mode, TkxConnectAs::AsOtherHosts);
    }

    // The ticket is offered only when there is a cache, and its principal is what the
    // status bar shows.
    void connectAsKerberos() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("krb5cc"));
        QFile file(path);
        const QByteArray cache = CCache({"alice", "admin"}, "LAN.TEST");
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(cache) == cache.size());
        file.close();
        QCOMPARE(CCachePrincipal(cache), QStringLiteral("alice/admin@LAN.TEST"));
        QCOMPARE(CCachePrincipal(cache.left(cache.size() - 3)), QString());
        QCOMPARE(CCachePrincipal(QByteArray("\x05\x02junk")), QString());

        const QByteArray saved = qgetenv("KRB5CCNAME");
        for (const QString& name : {QStringLiteral("MEMORY:"), dir.filePath("missing"),
                                    QStringLiteral("DIR:") + dir.path()}) {
            qputenv("KRB5CCNAME", name.toUtf8());
            QVERIFY2(!FindTicketCache().Present, qPrintable(name));
        }
        qputenv("KRB5CCNAME", QByteArray("DIR::") + QFile::encodeName(path));
        QCOMPARE(FindTicketCache().Principal, QStringLiteral("alice/admin@LAN.TEST"));
        qputenv("KRB5CCNAME", "MEMORY:");
        TkxConnectAs choice;
        choice.Mode = TkxConnectAs::Kerberos;
        RunConnectAs(choice, [](TdlgConnectAs* d) {
            QVERIFY(!d->chkKerberos->isChecked() && !d->chkKerberos->isEnabled());
            QVERIFY(d->edtUser->isEnabled());
        });

        qputenv("KRB5CCNAME", QByteArray("FILE:") + QFile::encodeName(path));
        QCOMPARE(FindTicketCache().Principal, QStringLiteral("alice/admin@LAN.TEST"));
        choice.Mode = TkxConnectAs::Guest;
        QCOMPARE(RunConnectAs(choice,
                              [](TdlgConnectAs* d) {
                                  QVERIFY(!d->chkKerberos->isEnabled());
                                  d->chkGuest->setChecked(false);
                                  QVERIFY(d->chkKerberos->isEnabled());
                                  d->chkKerberos->setChecked(true);
                                  QVERIFY(!d->edtUser->isEnabled() && !d->edtPassword->isEnabled());
                                  QVERIFY(d->actOK->isEnabled());
                                  QTest::keyClick(d, Qt::Key_Return);
                              }),
                 QStringLiteral("OK"));
        QCOMPARE(choice.Mode, TkxConnectAs::Kerberos);
        QVERIFY(choice.Credentials().UseKerberos);

        TkxAccounts accounts;
        accounts.Load();
        accounts.SetChoice(choice);
        QCOMPARE(accounts.StatusText(), QStringLiteral("User: alice/admin@LAN.TEST"));
        qputenv("KRB5CCNAME", saved);
    }

    // The choice for every host comes back at the next start, without its password unless
    // remembered; a host's own lasts while the program runs. The services hear of each.
    void accountsKeepChoices() {
        QSettings(QStringLiteral("KX"), QStringLiteral("Orvane")).clear();
        auto services = std::make_shared<TRecordedServices>();
        {
            TkxAccounts accounts;
            accounts.Load();
            accounts.SetNetServices(services);
            QCOMPARE(accounts.StatusText(), QStringLiteral("User: Guest"));
            accounts.SetChoice(As(TkxConnectAs::Account, " LAN\\alice ", "pw-alice"));
            accounts.SetChoice(As(TkxConnectAs::Account, "bob", "pw-bob"),
                               QStringLiteral("\\\\10.0.0.7"));
            QCOMPARE(accounts.Choice(QStringLiteral("10.0.0.7")).User, QStringLiteral("bob"));
            QCOMPARE(accounts.Choice(QStringLiteral("10.0.0.8")).Mode, TkxConnectAs::AsOtherHosts);
            QVERIFY(!accounts.NeedsPassword());
            SetCurrentLanguage(LangRussian);
            QCOMPARE(accounts.StatusText(), QStringLiteral("Пользователь: LAN\\alice"));
            SetCurrentLanguage(LangEnglish);
            accounts.SetChoice(As(TkxConnectAs::AsOtherHosts), QStringLiteral("10.0.0.7"));
            QCOMPARE(accounts.HostCount(), 0);
        }
        QCOMPARE(services->Calls, QStringList({"|||0", "LAN|alice|pw-alice|0",
                                               "10.0.0.7: |bob|pw-bob|0", "10.0.0.7: default"}));

        TkxAccounts restarted;
        restarted.Load();
        QCOMPARE(restarted.Choice().Mode, TkxConnectAs::Account);
        QCOMPARE(restarted.Choice().User, QStringLiteral("LAN\\alice"));
        QVERIFY(restarted.NeedsPassword()); // not remembered: asked again
        QCOMPARE(restarted.Choice(QStringLiteral("10.0.0.7")).Mode, TkxConnectAs::AsOtherHosts);
    }

    // 55 lines in the first other keyboard language, saved as UTF-16 LE with a BOM and CR LF
    // after every line; Cancel writes nothing, and without other languages nothing opens.
    void translationFile() {
        QTemporaryDir dir;
        const QString fileName = dir.filePath(QStringLiteral("words"));
        qputenv("ORVANE_KEYBOARD_LANGUAGES", "1033,1031,1036");

        WhenModal<TdlgTranslate>([](TdlgTranslate* d) {
            QCOMPARE(d->windowTitle(), TextSendTranslation());
            QTest::keyClick(d, Qt::Key_Escape);
        });
        ExecuteTranslateRequest(nullptr);
        QVERIFY(QDir(dir.path()).isEmpty());

        QStringList lines;
        WhenModal<TdlgTranslate>([&](TdlgTranslate* d) {
            lines = MemoLines(d->memoTrans);
            QCOMPARE(lines.size(), 55);
            QCOMPARE(lines.front(), LanguageText(1031, txtFileName));
            QVERIFY(lines.back().endsWith(
                QStringLiteral(" (Please, send me result of the translation)")));
            WhenModal<QFileDialog>([&](QFileDialog* save) {
                QCOMPARE(save->windowTitle(), TextSaveAs());
                QCOMPARE(save->defaultSuffix(), QStringLiteral("txt"));
                save->selectFile(fileName);
                QMetaObject::invokeMethod(save, "accept");
            });
            d->memoTrans->moveCursor(QTextCursor::Start);
            QTest::keyClicks(d->memoTrans, QStringLiteral("Dateiname "));
            d->memoTrans->insertPlainText(QStringLiteral("Ω "));
            lines[0].prepend(QStringLiteral("Dateiname Ω "));
            QTest::mouseClick(d->sbOK, Qt::LeftButton);
        });
        ExecuteTranslateRequest(nullptr);
        QFile saved(fileName + QStringLiteral(".txt"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QStringEncoder utf16(QStringConverter::Utf16LE);
        const QByteArray text =
            utf16.encode((lines + QStringList{""}).join(QStringLiteral("\r\n")));
        QCOMPARE(saved.readAll(), QByteArray("\xFF\xFE", 2) + text);

        qputenv("ORVANE_KEYBOARD_LANGUAGES", "1033,1049,2057");
        bool opened = false;
        const QPointer<QTimer> watch = WhenModal<QWidget>([&](QWidget*) { opened = true; });
        ExecuteTranslateRequest(nullptr);
        QVERIFY(!opened);
        delete watch.data();
    }
};

int main(int argc, char** argv) {
    // Never the user's own secret store: these tests run as if none were running.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    TkxApplication app(argc, argv);
    TestDialogs test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_dialogs.moc"
