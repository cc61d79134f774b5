// Searches from the window against the Samba fixture servers on 127.0.0.2 to 127.0.0.4, and
// the workgroup LAN servers on 127.0.0.81 and 127.0.0.82.
// With ORVANE_SCREENSHOTS set to a folder, the window is saved there as PNGs at each step.

#include "app/kxApplication.h"
#include "app/kxMain.h"
#include "dialogs/kxConnectAs.h"
#include "dialogs/kxRange.h"
#include "dialogs/kxTargets.h"
#include "document/kxAccounts.h"
#include "document/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "gui/kxPrivateSettings.h"
#include "gui/kxWhenModal.h"
#include "gui/kxWindowRun.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"
#include "model/kxErrors.h"

#include <QAction>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTreeView>
#include <QTreeWidget>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

const QString Finished = QStringLiteral("Searching stopped successfully");

// Serves the event loop until the search is over and the status says `state`. (QTRY_ and qWait
// sleep between their looks, and a search waits for the window each pass.)
// The fixture holds a denied share and a folder loop: their failed tasks follow as a detail.
bool WaitForState(TfrmMain& w, const QString& state) {
    return WaitFor([&] { return !w.Doc().IsBusy() && w.Panels[1]->text().startsWith(state); },
                   120000);
}

// The node below `parent` with this caption.
TkxNode* Child(const TkxNode* parent, const QString& name) {
    if (!parent)
        return nullptr;
    for (const auto& c : parent->Children)
        if (c->Info.NameText() == name)
            return c.get();
    return nullptr;
}

QModelIndex IndexOf(const TfrmMain& w, const TkxNode* node) {
    return w.tvMain->model()->index(
        node->Row, 0, node->Parent->IsRoot() ? QModelIndex() : IndexOf(w, node->Parent));
}

void Shot(TfrmMain& w, const QByteArray& name) {
    const QString dir = qEnvironmentVariable("ORVANE_SCREENSHOTS");
    if (dir.isEmpty())
        return;
    QTest::qWait(300); // icons and repaints settle
    QPixmap shot = QGuiApplication::platformName() == u"xcb"
                       ? w.screen()->grabWindow(0, w.x(), w.y(), w.width(), w.height())
                       : w.grab();
    shot.save(dir + u'/' + QString::fromLatin1(name) + QStringLiteral(".png"));
}

// Stands in for the desktop's handler of files.
class TFileOpener : public QObject {
    Q_OBJECT
public:
    TFileOpener() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "Open"); }
    ~TFileOpener() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    QStringList Files;
public Q_SLOTS:
    void Open(const QUrl& url) { Files << url.toLocalFile(); }
};

// The dialog's account fields filled in and confirmed.
void ChooseAccount(TdlgConnectAs* d, const QString& password) {
    if (d->chkAsOthers)
        d->chkAsOthers->setChecked(false);
    d->chkGuest->setChecked(false);
    d->edtUser->clear();
    QTest::keyClicks(d->edtUser, QStringLiteral("fixtureuser"));
    d->edtPassword->clear();
    QTest::keyClicks(d->edtPassword, password);
    QTest::keyClick(d, Qt::Key_Return);
}

QStringList Addresses(const TkxProjectDoc& doc) {
    QStringList out;
    for (const TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n))
        out << n->Info.AddressText();
    return out;
}

// The host's context menu as a right click opens it.
void HostMenu(TfrmMain& w, const TkxNode* host) {
    const QModelIndex at = IndexOf(w, host);
    w.tvMain->scrollTo(at);
    const QPoint p = w.tvMain->viewport()->mapTo(&w, w.tvMain->visualRect(at).center());
    QTest::mouseClick(w.windowHandle(), Qt::RightButton, {}, p);
}

// With ORVANE_SCREENSHOTS: the Search menu, a host's context menu and the dialog opened from
// the window, in the current language.
void ShotConnectAs(TfrmMain& w, const TkxNode* host, const QString& language) {
    if (qEnvironmentVariable("ORVANE_SCREENSHOTS").isEmpty())
        return;
    const QByteArray suffix = language.toLatin1();
    Shot(w, "connect-status-" + suffix);
    w.menuBar()->setActiveAction(w.miSearch->menuAction());
    Shot(w, "connect-menu-" + suffix);
    w.miSearch->close();
    HostMenu(w, host);
    Shot(w, "connect-host-menu-" + suffix);
    w.pmTree->close();
    WhenModal<TdlgConnectAs>([&](TdlgConnectAs* d) {
        d->chkGuest->setChecked(false);
        Shot(w, "connect-dialog-" + suffix);
        QTest::keyClick(d, Qt::Key_Escape);
    });
    Trigger(w, w.actConnectAs);
}

std::unique_ptr<TfrmMain> Open(const TkxParams& params) {
    auto w = NewWindow();
    w->show();
    w->setGeometry(0, 0, 1100, 700);
    NewSearch(*w, params);
    return w;
}

} // namespace

class TestAppSearchSmb : public QObject {
    Q_OBJECT
    TkxPrivateSettings Config;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(Config.isValid());
        SetupIconTheme();
    }
    void cleanup() {
        TkxInfoThread::WaitForAll();
        SetCurrentLanguage(LangEnglish);
    }

    // Run to the end: the matches and the way to them in bold with icons, the details of a
    // node, the thread list emptied.
    void runFindsTheMatches() {
        TkxParams p;
        p.Depth = 5;
        p.Masks = QStringLiteral("deep.txt;отчёт.txt");
        auto w = Open(p);
        w->Doc().AddRange(QStringLiteral("Fixture (127.0.0.2-3)"),
                          QStringLiteral("127.0.0.2 - 127.0.0.3"));
        Shot(*w, "default");
        Trigger(*w, w->actRun);
        QVERIFY(WaitForState(*w, Finished));
        QCOMPARE(w->lvThreads->model()->rowCount(), 0);

        const TkxNode* range = w->Doc().Tree().Root()->Children[0].get();
        const TkxNode* host = range->Children[0].get();
        const TkxNode* pub = Child(host, QStringLiteral("public"));
        QVERIFY(pub);
        const TkxNode* level3 = Child(Child(Child(pub, "level1"), "level2"), "level3");
        QVERIFY(level3);
        const TkxNode* deep = Child(level3, QStringLiteral("deep.txt"));
        QVERIFY(deep &&
                Child(Child(pub, QStringLiteral("Документы")), QStringLiteral("отчёт.txt")));
        QAbstractItemModel* shown = w->tvMain->model();
        for (const TkxNode* n = deep; !n->IsRoot(); n = n->Parent)
            QVERIFY2(shown->data(IndexOf(*w, n), Qt::FontRole).value<QFont>().bold(),
                     qPrintable(n->Info.NameText()));
        QVERIFY(!shown->data(IndexOf(*w, Child(host, "big")), Qt::FontRole).value<QFont>().bold());

        // Open the way down and click the folder: its matching children are listed.
        for (const TkxNode* n = level3; !n->IsRoot(); n = n->Parent)
            w->tvMain->expand(IndexOf(*w, n));
        const QModelIndex at = IndexOf(*w, level3);
        w->tvMain->scrollTo(at);
        QTest::mouseClick(w->tvMain->viewport(), Qt::LeftButton, {},
                          w->tvMain->visualRect(at).center());
        QCOMPARE(w->SelectedNode(), level3);
        QCOMPARE(w->lvDir->topLevelItemCount(), 1);
        QCOMPARE(w->lvDir->topLevelItem(0)->text(1), deep->Info.AddressText());
        QTRY_VERIFY(deep->ImageIndex >= 0);
        QTRY_VERIFY(!w->lvDir->topLevelItem(0)->icon(0).isNull());
        QVERIFY(host->ImageIndex >= 0 && host->ImageIndex != deep->ImageIndex);
        for (int c = 0; c < 6; ++c) // widened, as a user would
            w->lvDir->resizeColumnToContents(c);
        Shot(*w, "search");

        // The share denied to guests carries the mark of its failed task in the tree (icon,
        // tip, what a screen reader hears) and in the detail list of its host.
        const TkxNode* denied = Child(host, QStringLiteral("denied"));
        QVERIFY(denied);
        const QModelIndex deniedAt = IndexOf(*w, denied);
        const QString reason = QStringLiteral("Thread has stopped with error (Access denied)");
        QCOMPARE(shown->data(deniedAt, Qt::DecorationRole).value<QIcon>().cacheKey(),
                 FailedTaskIcon().cacheKey());
        QVERIFY(shown->data(deniedAt, Qt::ToolTipRole).toString().endsWith(reason));
        QVERIFY(shown->data(deniedAt, Qt::AccessibleDescriptionRole).toString().contains(reason));
        w->tvMain->collapse(IndexOf(*w, pub));
        w->tvMain->scrollTo(IndexOf(*w, host));
        QTest::mouseClick(w->tvMain->viewport(), Qt::LeftButton, {},
                          w->tvMain->visualRect(IndexOf(*w, host)).center());
        const QList<QTreeWidgetItem*> rows =
            w->lvDir->findItems(denied->Info.AddressText(), Qt::MatchExactly, 1);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0]->toolTip(0), reason);
        QCOMPARE(rows[0]->icon(0).cacheKey(), FailedTaskIcon().cacheKey());
        w->tvMain->scrollTo(deniedAt);
        Shot(*w, "failed");

        try {
            w->Doc().ReadProject(QStringLiteral("/nonexistent/office.kxor"));
        } catch (...) {
            ReportApplicationError(std::current_exception());
        }
        QVERIFY(w->reErrors->isVisible());
        Shot(*w, "errors");
        SetCurrentLanguage(LangRussian);
        w->SendApplyTexts();
        w->Doc().SetModified(false);
        Shot(*w, "search-ru");
    }

    // A searched project through the File commands: saved, replaced by a new one, opened again
    // node for node with its parameters, changed and saved to its own file without a
    // question, exported next to itself.
    void fileCommandsRoundTrip() {
        TkxParams p;
        p.Depth = 5;
        p.Masks = QStringLiteral("deep.txt;отчёт.txt");
        auto w = Open(p);
        w->Doc().AddRange(QStringLiteral("Fixture (127.0.0.2-3)"),
                          QStringLiteral("127.0.0.2 - 127.0.0.3"));
        Trigger(*w, w->actRun);
        QVERIFY(WaitForState(*w, Finished));
        const QStringList searched = Dump(w->Doc());
        QVERIFY(searched.size() > 20);

        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("fixture scan.kxor"));
        QStringList asked;
        w->AskSaveQuestion = [&] {
            asked << QStringLiteral("question");
            return true;
        };
        w->AskProjectFileName = [&](bool save) {
            asked << (save ? QStringLiteral("save") : QStringLiteral("open"));
            return file;
        };
        Trigger(*w, w->actSaveAs);
        QVERIFY(!w->Doc().Modified());
        Trigger(*w, w->actNew); // nothing to save: no question
        QVERIFY(!w->Doc().Tree().HasNodes());
        QCOMPARE(w->edtMasks->text(), QStringLiteral("*.*"));
        Trigger(*w, w->actOpen);
        QCOMPARE(asked, QStringList({"save", "open"}));
        QCOMPARE(Dump(w->Doc()), searched);
        QCOMPARE(w->edtMasks->text(), p.Masks);
        QCOMPARE(w->edtDepth->text(), QStringLiteral("5"));
        QCOMPARE(w->windowTitle(),
                 QStringLiteral("Orvane - fixture scan [%1]").arg(w->Doc().PendingCount()));
        QCOMPARE(w->RecentProjects().value(0), file);

        Trigger(*w, w->actPack);
        const QStringList packed = Dump(w->Doc());
        QVERIFY(packed.size() < searched.size());
        Trigger(*w, w->actSave);
        QCOMPARE(asked.size(), 2);
        w->Doc().ReadProject(file);
        QCOMPARE(Dump(w->Doc()), packed);

        TFileOpener desktop;
        Trigger(*w, w->actXML);
        const QString xml = dir.filePath(QStringLiteral("fixture scan.xml"));
        QCOMPARE(desktop.Files, QStringList({xml}));
        QFile f(xml);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QXmlStreamReader reader(&f);
        int infos = 0;
        while (!reader.atEnd())
            if (reader.readNext() == QXmlStreamReader::StartElement && reader.name() == u"Info")
                ++infos;
        QVERIFY2(!reader.hasError(), qPrintable(reader.errorString()));
        QCOMPARE(infos, packed.size());
        // The pane holds the searches' failed tasks (the denied share, the folder loop), no
        // error of a command.
        const QStringList lines = w->reErrors->toPlainText().split(u'\n');
        QVERIFY(lines.size() > 3);
        for (qsizetype i = 1; i < lines.size(); i += 3)
            QVERIFY2(lines[i].startsWith(QStringLiteral("\\\\127.0.0.")), qPrintable(lines[i]));
    }

    // A list pasted into Add targets... searches what the same ranges typed one by one into
    // the range dialog search: the same tree, node for node.
    void targetsListFindsWhatTypedRangesFind() {
        TkxParams p;
        p.Depth = 4;
        p.Masks = QStringLiteral("*.txt");
        auto search = [&](const std::function<void(TfrmMain&)>& add) {
            auto w = Open(p);
            add(*w);
            Trigger(*w, w->actRun);
            [&] { QVERIFY(WaitForState(*w, Finished)); }();
            return Dump(w->Doc());
        };
        const QStringList fromList = search([](TfrmMain& w) {
            WhenModal<TdlgTargets>([](TdlgTargets* d) {
                d->memoTargets->setPlainText(QStringLiteral("# the guest servers\n"
                                                            "Servers=127.0.0.1/30\n"
                                                            "!127.0.0.0\n"
                                                            "!127.0.0.2\n"
                                                            "127.0.0.2\n"));
                QTest::keyClick(d, Qt::Key_Return);
            });
            Trigger(w, w.actAddTargets);
        });
        const QStringList typed = search([](TfrmMain& w) {
            for (const auto& [name, last] :
                 {std::pair{"Servers #1", "1"}, std::pair{"Servers #2", "3"}, std::pair{"", "2"}}) {
                WhenModal<TdlgRange>([name = QString::fromUtf8(name),
                                      last = QString::fromLatin1(last)](TdlgRange* d) {
                    const QString shownName =
                        name.isEmpty() ? QStringLiteral("127.0.0.") + last : name;
                    for (auto [edit, text] :
                         {std::pair{d->edtName, shownName},
                          std::pair{d->edtB1, QStringLiteral("127")},
                          std::pair{d->edtB2, QStringLiteral("0")},
                          std::pair{d->edtB3, QStringLiteral("0")}, std::pair{d->edtB4, last},
                          std::pair{d->edtE4, last}}) {
                        edit->selectAll();
                        QTest::keyClicks(edit, text);
                    }
                    QTest::keyClick(d, Qt::Key_Return);
                });
                Trigger(w, w.actRAdd);
            }
        });
        QCOMPARE(fromList.mid(0, 1),
                 QStringList({"0|Servers #1 (127.0.0.1-1)|127.0.0.1 - 127.0.0.1|||||0|0|1|1"}));
        QCOMPARE(fromList.filter(QStringLiteral("\\\\127.0.0.3\\docs\\")).size(), 4);
        QVERIFY(fromList.filter(QStringLiteral("\\\\127.0.0.2\\")).size() > 10);
        QCOMPARE(fromList, typed);
    }

    // Stop as soon as the first results are in, then Continue: the tree ends up whole.
    void stopThenContinue() {
        TkxParams p;
        p.TotalThreads = 4;
        p.Masks = QStringLiteral("*");
        auto w = Open(p);
        TkxInfo share;
        share.SetAddress(QStringLiteral("\\\\127.0.0.2\\bulk"));
        share.SetName(QStringLiteral("bulk"));
        share.SetKind(ikShare);
        w->Doc().AddInfoNode(std::move(share), nullptr);
        bool stopped = false;
        connect(w->Doc().TreeViewModel(), &QAbstractItemModel::rowsInserted, w.get(), [&] {
            if (!stopped && w->actStop->isEnabled()) {
                stopped = true;
                QMetaObject::invokeMethod(
                    w.get(), [&] { w->actStop->trigger(); }, Qt::QueuedConnection);
            }
        });
        Trigger(*w, w->actContinue);
        w->aeMainIdle();
        QVERIFY(WaitForState(*w, QStringLiteral("User has stopped the searching")));
        QVERIFY(stopped && w->Doc().PendingCount() > 0);
        w->aeMainIdle();
        QVERIFY(w->actContinue->isEnabled());
        w->actContinue->trigger();
        QVERIFY(WaitForState(*w, Finished));

        int entries = 0;
        QDirIterator it(qEnvironmentVariable("ORVANE_FIXTURE_DIR") + QStringLiteral("/trees/bulk"),
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++entries;
        }
        QCOMPARE(w->Doc().Tree().NodeCount(), 1 + entries);
        QCOMPARE(w->Doc().PendingCount(), 0);
        w->Doc().SetModified(false);
    }

    // The secured server from the window: as guest [private] is listed with nothing inside
    // and its failed task stays in the errors pane; with the fixture account chosen in the
    // dialog the same search lists its files; an account given to one host from its context
    // menu is used for that host only (127.0.0.3 would refuse that password).
    void connectAsFromTheWindow() {
        TkxParams p;
        p.Masks = QStringLiteral("*");
        auto w = Open(p);
        const TkxNode* range = w->Doc().AddRange(QStringLiteral("Secured (127.0.0.3-4)"),
                                                 QStringLiteral("127.0.0.3 - 127.0.0.4"));
        const QString priv = QStringLiteral("\\\\127.0.0.4\\private");
        const QString files[] = {priv + QStringLiteral("\\plan.txt"),
                                 priv + QStringLiteral("\\reports\\q1.txt")};
        const QString docs = QStringLiteral("\\\\127.0.0.3\\docs\\manual.txt");
        const QString logonFailure =
            QStringLiteral("\\\\127.0.0.3: Thread has stopped with error (Logon failure)");
        Trigger(*w, w->actRun);
        QVERIFY(WaitForState(*w, Finished));
        QCOMPARE(w->Panels[4]->text(), QStringLiteral("User: Guest"));
        QStringList found = Addresses(w->Doc());
        QVERIFY(found.contains(priv) && found.contains(docs));
        QCOMPARE(found.filter(priv + u'\\').size(), 0);
        QTRY_VERIFY(w->reErrors->isVisible());
        QVERIFY(w->reErrors->toPlainText().contains(
            priv + QStringLiteral(": Thread has stopped with error (Access denied)")));

        WhenModal<TdlgConnectAs>(
            [](TdlgConnectAs* d) { ChooseAccount(d, QStringLiteral("fixture-pass-1")); });
        Trigger(*w, w->actConnectAs);
        QCOMPARE(w->Panels[4]->text(), QStringLiteral("User: fixtureuser"));
        Trigger(*w, w->actRun);
        QVERIFY(WaitForState(*w, Finished));
        found = Addresses(w->Doc());
        for (const QString& file : files)
            QVERIFY2(found.contains(file), qPrintable(file));
        QTRY_COMPARE(w->reErrors->toPlainText().count(logonFailure), 1);

        // Guest again for every host, the account for .4 alone.
        WhenModal<TdlgConnectAs>([](TdlgConnectAs* d) {
            d->chkGuest->setChecked(true);
            QTest::keyClick(d, Qt::Key_Return);
        });
        Trigger(*w, w->actConnectAs);
        QCOMPARE(w->Panels[4]->text(), QStringLiteral("User: Guest"));
        w->tvMain->expand(IndexOf(*w, range));
        const TkxNode* four = nullptr;
        for (const auto& c : range->Children)
            if (c->Info.AddressText() == u"\\\\127.0.0.4")
                four = c.get();
        QVERIFY(four);
        HostMenu(*w, four);
        QTRY_VERIFY(w->pmTree->isVisible());
        w->pmTree->close();
        WhenModal<TdlgConnectAs>([](TdlgConnectAs* d) {
            QVERIFY(d->chkAsOthers && d->chkAsOthers->isChecked());
            ChooseAccount(d, QStringLiteral("fixture-pass-1"));
        });
        w->actConnectHostAs->trigger();
        Trigger(*w, w->actRun);
        QVERIFY(WaitForState(*w, Finished));
        found = Addresses(w->Doc());
        for (const QString& file : {files[0], files[1], docs})
            QVERIFY2(found.contains(file), qPrintable(file));
        QCOMPARE(w->reErrors->toPlainText().count(logonFailure), 1);
        QCOMPARE(w->Panels[4]->text(), QStringLiteral("User: Guest"));

        // What a user sees, in both languages.
        w->tvMain->expand(IndexOf(*w, range));
        for (const auto& c : range->Children)
            if (c->Info.AddressText() == u"\\\\127.0.0.4")
                four = c.get();
        ShotConnectAs(*w, four, QStringLiteral("en"));
        SetCurrentLanguage(LangRussian);
        w->SendApplyTexts();
        ShotConnectAs(*w, four, QStringLiteral("ru"));
        w->Doc().SetModified(false);
    }

    // A workgroup LAN: 127.0.0.81 has no DNS name but a NetBIOS one, which its node, the tree
    // and the details show; 127.0.0.82 speaks only SMB1, a failed task that says so until the
    // Search menu allows SMB1. A restart keeps both choices.
    void workgroupLan() {
        TkxParams p;
        p.Masks = QStringLiteral("*.txt");
        auto w = Open(p);
        QVERIFY(w->actNetbios->isCheckable() && w->actNetbios->isChecked());
        QVERIFY(w->actAllowSmb1->isCheckable() && !w->actAllowSmb1->isChecked());
        const TkxNode* range = w->Doc().AddRange(QStringLiteral("Lan (127.0.0.81-2)"),
                                                 QStringLiteral("127.0.0.81 - 127.0.0.82"));
        Trigger(*w, w->actRun);
        QVERIFY(WaitForState(*w, Finished));
        const TkxNode* named = range->Children[0].get();
        QCOMPARE(named->Info.NameText(), QStringLiteral("FILESRV81"));
        w->tvMain->expand(IndexOf(*w, range));
        const QModelIndex at = IndexOf(*w, named);
        QCOMPARE(w->tvMain->model()->data(at).toString(), QStringLiteral("FILESRV81"));
        QTest::mouseClick(w->tvMain->viewport(), Qt::LeftButton, {},
                          w->tvMain->visualRect(at).center());
        // The SMB1 server found nothing: it is listed for its failed task only.
        QCOMPARE(w->lvDir->topLevelItemCount(), 2);
        QCOMPARE(w->lvDir->topLevelItem(0)->text(0), QStringLiteral("FILESRV81"));
        QCOMPARE(w->lvDir->topLevelItem(0)->text(1), QStringLiteral("\\\\127.0.0.81"));
        QCOMPARE(w->lvDir->topLevelItem(1)->text(1), QStringLiteral("\\\\127.0.0.82"));
        const QString smb1 = QStringLiteral("\\\\127.0.0.82: Thread has stopped with error (The "
                                            "server speaks only SMB1, which is turned off)");
        QTRY_VERIFY(w->reErrors->toPlainText().contains(smb1));
        QVERIFY(range->Children[1]->Children.empty());
        Shot(*w, "lan-en");
        w->menuBar()->setActiveAction(w->miSearch->menuAction());
        Shot(*w, "lan-menu-en");
        w->miSearch->close();

        Trigger(*w, w->actAllowSmb1);
        Trigger(*w, w->actNetbios);
        QVERIFY(w->actAllowSmb1->isChecked() && !w->actNetbios->isChecked());
        Trigger(*w, w->actRun);
        QVERIFY(WaitForState(*w, Finished));
        QCOMPARE(range->Children[0]->Info.NameText(), QStringLiteral("127.0.0.81"));
        const TkxNode* old = Child(range->Children[1].get(), QStringLiteral("old"));
        QVERIFY(old && Child(old, QStringLiteral("old.txt")));
        QCOMPARE(w->reErrors->toPlainText().count(smb1), 1);
        SetCurrentLanguage(LangRussian);
        w->SendApplyTexts();
        w->menuBar()->setActiveAction(w->miSearch->menuAction());
        Shot(*w, "lan-menu-ru");
        w->miSearch->close();
        w->Doc().SetModified(false);
        w.reset();

        auto again = Open(p);
        QVERIFY(!again->actNetbios->isChecked() && again->actAllowSmb1->isChecked());
        Trigger(*again, again->actNetbios);
        Trigger(*again, again->actAllowSmb1);
        again.reset();
        QVERIFY(Open(p)->actNetbios->isChecked());
    }
};

int main(int argc, char** argv) {
    // Never the user's own secret store: the connect-as dialog asks it for passwords.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    TkxApplication app(argc, argv);
    TestAppSearchSmb test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_search_smb.moc"
