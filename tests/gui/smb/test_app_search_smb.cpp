// Searches from the window against the Samba fixture servers on 127.0.0.2 and 127.0.0.3.
// With ORVANE_SCREENSHOTS set to a folder, the window is saved there as PNGs at each step.

#include "app/kxApplication.h"
#include "app/kxMain.h"
#include "app/kxProjectDoc.h"
#include "engine/kxThreadForInfo.h"
#include "kxFakeServices.h"
#include "lang/kxLanguages.h"
#include "model/kxErrors.h"

#include <QAction>
#include <QDesktopServices>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
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

void Shot(TfrmMain& w, const char* name) {
    const QString dir = qEnvironmentVariable("ORVANE_SCREENSHOTS");
    if (dir.isEmpty())
        return;
    QTest::qWait(300); // icons and repaints settle
    QPixmap shot = QGuiApplication::platformName() == u"xcb"
                       ? w.screen()->grabWindow(0, w.x(), w.y(), w.width(), w.height())
                       : w.grab();
    shot.save(dir + u'/' + QLatin1String(name) + QStringLiteral(".png"));
}

// Every node in pre-order with its level, texts and flags, as a project file keeps it.
QStringList Dump(const TkxProjectDoc& doc) {
    QStringList out;
    for (const TkxNode* n = doc.Tree().NextPreOrder(nullptr); n; n = doc.Tree().NextPreOrder(n)) {
        const TkxInfo& r = n->Info;
        out << QStringList{QString::number(n->Level()),
                           r.NameText(),
                           r.AddressText(),
                           r.SizeRawText(),
                           r.CreatingText(),
                           r.EditTimeText(),
                           r.LastAccessText(),
                           QString::number(r.Matched),
                           QString::number(r.HasMatch),
                           QString::number(r.Kind),
                           QString::number(r.Scanned)}
                   .join(u'|');
    }
    return out;
}

void Trigger(TfrmMain& w, QAction* action) {
    w.aeMainIdle();
    action->trigger();
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

std::unique_ptr<TfrmMain> Open(const TkxParams& params) {
    auto w = std::make_unique<TfrmMain>(QStringList{}, TfrmMain::TOptions{false, nullptr});
    w->show();
    w->setGeometry(0, 0, 1100, 700);
    w->Doc().ClearTree();
    w->Doc().SetParams(params);
    return w;
}

} // namespace

class TestAppSearchSmb : public QObject {
    Q_OBJECT
    QTemporaryDir Config;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(Config.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(Config.path()));
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
        w->aeMainIdle();
        w->actRun->trigger();
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
        QVERIFY(w->reErrors->isHidden());
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
        w->aeMainIdle();
        w->actContinue->trigger();
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
};

int main(int argc, char** argv) {
    TkxApplication app(argc, argv);
    TestAppSearchSmb test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app_search_smb.moc"
